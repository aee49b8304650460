# Helpers for the scripts that run inside the lab guest (busybox sh, no
# python): result lines, waiting, the two programs under test and the USB
# device as the guest kernel sees it. Sourced by run.sh.
#
# Output lines the host side picks up:
#   vm: TEXT                    progress and raw figures
#   vm-check: PASS|FAIL NAME: DETAIL
#   vm-figure: NAME: VALUE      what the closing note quotes

CHECKS_PASSED=0
CHECKS_FAILED=0
TOOLS=/payload
WORK=/tmp/quor-vm
PHONE_LOG=$WORK/phone.log
CONSOLE_LOG=$WORK/console.log
DIAG_LOG=$WORK/home/quor.log
# quor-console runs as this user, without root rights; quor-helper runs as
# root and plugs the device in for it (authorizing that uid, as polkit does
# for the user of the active session).
CONSOLE_UID=4321
HELPER_LOG=$WORK/helper.log
HELPER_SOCKET=$WORK/helper.sock
PHONE_WAV=$WORK/phone.wav
MODEL=T54
VID=2f1c
PID=0455
# The shortest standstill of the guest that the real-time checks allow for:
# one 10 ms frame of audio.
STALL_MS=10
# A standstill that leaves a real-time step's attempt unfit to judge (see
# real_time_step), and the bounds on a step's attempts: their number, and
# the time after which no new attempt begins.
FREEZE_MS=250
REAL_TIME_ATTEMPTS=6
REAL_TIME_STEP_S=100

say() { echo "vm: $*"; }
figure() { echo "vm-figure: $*"; }

# pass_if NAME DETAIL CONDITION...: runs the condition as a command.
pass_if() {
    local name=$1 detail=$2
    shift 2
    if "$@"; then
        CHECKS_PASSED=$((CHECKS_PASSED + 1))
        echo "vm-check: PASS $name: $detail"
    else
        CHECKS_FAILED=$((CHECKS_FAILED + 1))
        echo "vm-check: FAIL $name: $detail"
    fi
}

# Milliseconds since boot (10 ms steps).
now_ms() { awk '{ printf "%d\n", $1 * 1000 }' /proc/uptime; }

# awk_true EXPR: true when the awk expression (numbers only) holds.
awk_true() { awk "BEGIN { exit !($1) }"; }

# value_of KEY LINE: the value of KEY=VALUE in a line of figures.
value_of() { echo "$2" | tr ' ' '\n' | sed -n "s/^$1=//p" | head -n1; }

# wait_until SECONDS COMMAND...: polls every 0.1 s; false on time-out.
wait_until() {
    local deadline
    deadline=$(($(now_ms) + $1 * 1000))
    shift
    until "$@"; do
        [ "$(now_ms)" -ge "$deadline" ] && return 1
        sleep 0.1
    done
}

lines_of() { wc -l < "$1"; }

# new_lines_match FILE FROM PATTERN: PATTERN on a line after line FROM.
new_lines_match() { tail -n +$(($2 + 1)) "$1" | grep -qE "$3"; }

# wait_line SECONDS FILE FROM PATTERN
wait_line() { wait_until "$1" new_lines_match "$2" "$3" "$4"; }

# The guest's own clock while real-time work runs (quor-vm-stalls): how
# often and how long it stood still because the emulator did not run.
# start_clock_watch NAME, then stop_clock_watch NAME, which prints a figure
# and sets STALLS, STALL_LOST_MS and STALL_WORST_MS (empty when the watch
# gave no figures).
start_clock_watch() {
    "$TOOLS"/quor-vm-stalls "$STALL_MS" > "$WORK/clock-$1.txt" 2>&1 &
    CLOCK_WATCH=$!
}

stop_clock_watch() {
    local line
    kill -TERM "$CLOCK_WATCH"
    wait "$CLOCK_WATCH"
    CLOCK_FILE=$WORK/clock-$1.txt
    line=$(grep '^watch:' "$CLOCK_FILE")
    STALLS=$(value_of stalls "$line")
    STALL_LOST_MS=$(value_of lost_ms "$line")
    STALL_WORST_MS=$(value_of worst_ms "$line")
    figure "$1: the guest stood still ${STALLS:-?} times for ${STALL_MS} ms or more, ${STALL_LOST_MS:-?} ms in all, at most ${STALL_WORST_MS:-?} ms at once"
}

# stood_still_between FROM_MS TO_MS: the standstills of the last clock
# watch that began between the two times (ms on CLOCK_MONOTONIC), added up
# (ms).
stood_still_between() {
    awk -v from="$1" -v to="$2" '/^stall / {
            split($2, at, "="); split($3, len, "=")
            if (at[2] / 1000 >= from && at[2] / 1000 <= to) sum += len[2]
        }
        END { printf "%.1f", sum }' "$CLOCK_FILE"
}

# real_time_step NAME: runs the step's audio (NAME_audio) under the clock
# watch and judges it (NAME_judge), on an attempt in which the guest never
# stood still for FREEZE_MS or more at once. ALSA gives up on a stream that
# fills no period for about its buffer's length (0.5 s), so such a
# standstill can fail aplay or arecord whatever the device does; the
# attempt is said to be unfit and run again, up to REAL_TIME_ATTEMPTS
# attempts begun within REAL_TIME_STEP_S seconds. A step that no attempt
# could judge fails: every run judges each audio step.
real_time_step() {
    local attempt=1 deadline
    deadline=$(($(now_ms) + REAL_TIME_STEP_S * 1000))
    while :; do
        start_clock_watch "$1"
        "$1_audio"
        stop_clock_watch "$1"
        awk_true "${STALL_WORST_MS:-0} < $FREEZE_MS" && break
        say "$1: the guest stood still ${STALL_WORST_MS} ms at once in attempt $attempt, long enough for ALSA to give up on any device"
        if [ "$attempt" -ge "$REAL_TIME_ATTEMPTS" ] || [ "$(now_ms)" -ge "$deadline" ]; then
            pass_if "$1-judged" "in each of $attempt attempts (${REAL_TIME_STEP_S} s) the guest stood still for $FREEZE_MS ms or more at once" false
            return 0
        fi
        attempt=$((attempt + 1))
    done
    [ "$attempt" -gt 1 ] && say "$1: judged on attempt $attempt"
    "$1_judge"
}

# --- the programs under test ---------------------------------------------

# The phone simulator, commands through fd 4. Extra options are passed on.
start_phone() {
    mkfifo "$WORK/phone.in"
    "$TOOLS"/quor-phone-sim --model "$MODEL" --vid "0x$VID" --pid "0x$PID" \
        --record "$PHONE_WAV" "$@" < "$WORK/phone.in" > "$PHONE_LOG" 2>&1 &
    exec 4> "$WORK/phone.in"
    wait_line 30 "$PHONE_LOG" 0 '^listening 7063'
}

phone_cmd() { echo "$*" >&4; }

# quor-helper as root on its own socket, its journal lines in HELPER_LOG.
start_helper() {
    "$TOOLS"/quor-helper --socket "$HELPER_SOCKET" --allow-uid "$CONSOLE_UID" \
        > "$HELPER_LOG" 2>&1 &
    HELPER_PROC=$!
    wait_line 30 "$HELPER_LOG" 0 'listening on '
}

# quor-console as CONSOLE_UID on the vhci back end (or the one its options
# ARGS name), commands through fd 3; the phone at 127.0.0.1, the audio
# streaming interfaces open the call's media, the diagnostic lines in
# quor.log.
start_console() {
    export QUOR_HOME=$WORK/home XDG_RUNTIME_DIR=$WORK/run LANG=C.UTF-8
    export QUOR_HELPER_SOCKET=$HELPER_SOCKET
    unset QUOR_VBUS
    mkdir -p "$QUOR_HOME" "$XDG_RUNTIME_DIR"
    printf '[SECTION 1]\nPhoneIP=2130706433\nAutoPair=0\nAutoRun=0\nAutoMin=0\nAutoRepair=0\nAsNmDev=1\nDebug=1\n' \
        > "$QUOR_HOME/config.ini"
    chmod 755 "$WORK"
    chown -R "$CONSOLE_UID:$CONSOLE_UID" "$QUOR_HOME" "$XDG_RUNTIME_DIR"
    mkfifo "$WORK/console.in"
    "$TOOLS"/setpriv --reuid="$CONSOLE_UID" --regid="$CONSOLE_UID" --clear-groups \
        "$TOOLS"/quor-console "$@" < "$WORK/console.in" > "$CONSOLE_LOG" 2>&1 &
    CONSOLE_PROC=$!
    exec 3> "$WORK/console.in"
    wait_line 60 "$CONSOLE_LOG" 0 '^status: Not Paired$'
}

console_cmd() { echo "$*" >&3; }

# The program's threads and open descriptors.
task_count() { ls "/proc/$CONSOLE_PROC/task" | wc -l; }
fd_count() { ls "/proc/$CONSOLE_PROC/fd" | wc -l; }
# Clock ticks of CPU time the program has used.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# --- the device as the kernel sees it ------------------------------------

# The device's sysfs name (e.g. 1-1), empty when it is not there.
usb_device() {
    for d in /sys/bus/usb/devices/*; do
        [ -f "$d/idVendor" ] || continue
        if [ "$(cat "$d/idVendor")" = "$VID" ] && [ "$(cat "$d/idProduct")" = "$PID" ]; then
            basename "$d"
            return
        fi
    done
}

driver_of() { basename "$(readlink "/sys/bus/usb/devices/$1/driver" 2>/dev/null)" 2>/dev/null; }

# The ALSA card number of the device's audio control interface.
card_of() { ls "/sys/bus/usb/devices/$1:1.0/sound" 2>/dev/null | sed -n 's/^card//p' | head -n1; }

hidraw_of() { ls /sys/bus/usb/devices/"$1":1.3/*/hidraw 2>/dev/null | head -n1; }

# Enumeration is done when all four interfaces are bound and the card's
# PCM nodes and the hidraw node exist.
enumerated() {
    local card
    DEV=$(usb_device)
    [ -n "$DEV" ] || return 1
    card=$(card_of "$DEV")
    [ "$(driver_of "$DEV:1.0")" = snd-usb-audio ] && [ "$(driver_of "$DEV:1.1")" = snd-usb-audio ] &&
        [ "$(driver_of "$DEV:1.2")" = snd-usb-audio ] && [ "$(driver_of "$DEV:1.3")" = usbhid ] &&
        [ -n "$card" ] && [ -e "/dev/snd/pcmC${card}D0p" ] && [ -e "/dev/snd/pcmC${card}D0c" ] &&
        [ -n "$(hidraw_of "$DEV")" ] && [ -e "/dev/$(hidraw_of "$DEV")" ]
}

device_gone() { [ -z "$(usb_device)" ]; }

# Kernel tasks and processes in uninterruptible sleep (D state), as
# PID:(NAME).
stuck_tasks() {
    for s in /proc/[0-9]*/stat; do
        awk '$3 == "D" { print $1 ":" $2 }' "$s" 2>/dev/null
    done
}

# The tasks of stuck_tasks that stay in D state for 2 s (looked at every
# 0.1 s): a task passing through it, as the hub's work queue does while it
# debounces a port, is not stuck.
lasting_stuck_tasks() {
    local left now kept t i=0
    left=$(stuck_tasks)
    while [ -n "$left" ] && [ $i -lt 20 ]; do
        sleep 0.1
        now=" $(stuck_tasks | tr '\n' ' ') "
        kept=
        for t in $left; do
            case "$now" in *" $t "*) kept="$kept $t" ;; esac
        done
        left=${kept# }
        i=$((i + 1))
    done
    echo "$left"
}

# vhci_hcd ports in use (the status files list every port; 004 is free).
vhci_ports_in_use() {
    cat /sys/devices/platform/vhci_hcd.0/status* 2>/dev/null |
        awk 'NR > 1 && $1 != "hub" && ($3 + 0) != 4 { n++ } END { print n + 0 }'
}

# Pairs and waits for the state and the full enumeration: 0, or 1 after
# printing why not. ENUM_MS is how long enumeration took.
pair_and_enumerate() {
    local from t0
    from=$(lines_of "$CONSOLE_LOG")
    t0=$(now_ms)
    console_cmd pair
    if ! wait_line 30 "$CONSOLE_LOG" "$from" '^status: Paired\(Sign Out\)$'; then
        say "pairing did not finish: $(tail -n 5 "$CONSOLE_LOG" | tr '\n' '|')"
        return 1
    fi
    if ! wait_until 30 enumerated; then
        say "enumeration did not finish (device '$(usb_device)')"
        return 1
    fi
    ENUM_MS=$(($(now_ms) - t0))
}

# Unpairs and waits for the state and the device to leave the bus.
unpair_and_detach() {
    local from t0
    from=$(lines_of "$CONSOLE_LOG")
    t0=$(now_ms)
    console_cmd pair
    if ! wait_line 30 "$CONSOLE_LOG" "$from" '^status: Not Paired$' || ! wait_until 10 device_gone; then
        say "unpairing did not finish: $(tail -n 5 "$CONSOLE_LOG" | tr '\n' '|')"
        return 1
    fi
    UNPAIR_MS=$(($(now_ms) - t0))
}

# Kernel log lines of priority warning or higher since the payload began
# (KERNEL_LOG_START lines), less the ones vhci_hcd
# prints for every device: its frame-number stub ("Not yet implemented",
# asked for at each stream start, and its rate-limit notes) and the port
# reset of a full-speed device ("vhci_device speed not set"); and less the
# note of a timer interrupt that ran long, which the emulated guest prints
# when the machine running it did not run the emulator for a while.
kernel_problems() {
    dmesg -r | tail -n +$((KERNEL_LOG_START + 1)) | sed -n 's/^<\([0-4]\)>\(\[[ 0-9.]*\] \)\{0,1\}/\1 /p' |
        grep -vE '^[0-4] (usb usb[0-9]+: Not yet implemented|vhci_get_frame_number: [0-9]+ callbacks suppressed|vhci_hcd: vhci_device speed not set|hrtimer: interrupt took [0-9]+ ns)$'
}
