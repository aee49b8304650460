#!/bin/sh
# with-priority.sh NICE COMMAND...
# Runs COMMAND at the nice value NICE. Started by setsid, it also gives its
# session's scheduler group (the kernel's autogroup, where enabled) that
# value: with autogroups a nice value counts only within one session, and
# the group is what competes with the rest of the machine. Where lowering
# the value is not allowed, it says so and runs COMMAND as it is.
nice=$1
shift
group=/proc/self/autogroup
if [ -e "$group" ] && ! echo "$nice" 2> /dev/null > "$group"; then
    echo "lab-vm: cannot give this session's scheduler group nice $nice" >&2
fi
if nice -n "$nice" true 2> /dev/null; then
    exec nice -n "$nice" "$@"
fi
echo "lab-vm: cannot run at nice $nice; running as the caller" >&2
exec "$@"
