#!/bin/bash
# run-vm.sh PAYLOAD_DIR [ARG...]
# Boots the lab guest under QEMU (TCG) with PAYLOAD_DIR copied to /payload,
# runs "sh /payload/run.sh ARG..." there, prints the serial console on stdout,
# powers off and exits with run.sh's exit code (124: timed out, 125: no exit
# code seen, e.g. kernel panic).
#
# Environment:
#   VM_TIMEOUT  seconds before qemu is killed (default 300)
#   VM_MEM      guest memory in MiB (default 1024)
#   VM_SMP      guest CPUs (default 2)
#   VM_VERBOSE  1: show all kernel messages on the console (default: errors only)
#   VM_APPEND   extra kernel command line
#   VM_LOG      also keep the raw console log in this file
#   VM_PRIORITY nice value the guest runs at where allowed (default -10; empty:
#               as the caller)
set -euo pipefail
. "$(dirname "$0")/lib.sh"

# The guest's USB audio runs in real time on an emulated CPU and needs most
# of two host CPUs for it: this script, QEMU and the reader of its console
# get them before other work on the machine, in a session of their own
# (see with-priority.sh).
if [ -n "${VM_PRIORITY--10}" ] && [ -z "${LAB_VM_PRIORITY_SET:-}" ]; then
    export LAB_VM_PRIORITY_SET=1
    exec setsid -w "$LAB_DIR/with-priority.sh" "${VM_PRIORITY--10}" "$0" "$@"
fi

{ [ $# -ge 1 ] && [ -f "$1/run.sh" ]; } || die "usage: run-vm.sh PAYLOAD_DIR [ARG...] (PAYLOAD_DIR must contain run.sh)"
PAYLOAD=$(cd "$1" && pwd); shift
if [ ! -s "$OUT/initramfs.cpio.gz" ] || [ ! -s "$OUT/vmlinuz" ]; then "$LAB_DIR/build-vm.sh"; fi

WORK=$(mktemp -d /tmp/lab-vm.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# Payload archive: the directory, the libraries its ELF files need, the args.
mkdir -p "$WORK/root/payload"
cp -a "$PAYLOAD/." "$WORK/root/payload/"
while IFS= read -r -d '' f; do
    is_elf "$f" && copy_elf_libs "$f" "$WORK/root"
done < <(find "$WORK/root/payload" -type f -print0)
: > "$WORK/root/payload/.lab-args"
for a in "$@"; do printf '%s\n' "$a" >> "$WORK/root/payload/.lab-args"; done
cpio_gz "$WORK/root" "$WORK/payload.cpio.gz"
# The kernel unpacks concatenated archives in order; later files win.
cat "$OUT/initramfs.cpio.gz" "$WORK/payload.cpio.gz" > "$WORK/initrd"

loglevel=3; [ "${VM_VERBOSE:-0}" = 1 ] && loglevel=7
KERNEL=$OUT/vmlinuz; [ -s "$OUT/vmlinux" ] && KERNEL=$OUT/vmlinux   # see build-vm.sh
BIOS=(); [ -f /usr/share/qemu/qboot.rom ] && BIOS=(-bios /usr/share/qemu/qboot.rom)  # quiet, fast
LOG=$WORK/console.log
start=$(date +%s%N)
set +e
timeout --kill-after=5 "${VM_TIMEOUT:-300}" \
    qemu-system-x86_64 -machine pc -accel tcg -cpu max \
    -m "${VM_MEM:-1024}" -smp "${VM_SMP:-2}" \
    -kernel "$KERNEL" -initrd "$WORK/initrd" \
    -append "console=ttyS0 edd=off loglevel=$loglevel panic=-1 ${VM_APPEND:-}" \
    "${BIOS[@]}" -nographic -nodefaults -serial stdio -no-reboot -net none \
    < /dev/null 2>&1 | tee "$LOG" | {
    while IFS= read -r line || [ -n "$line" ]; do
        line=${line%$'\r'}
        case $line in "lab-vm: payload starts"*)   # add the host's view of boot time
            line+=" (host: qemu start + $(( ($(date +%s%N) - start) / 1000000 )) ms)" ;;
        esac
        printf '%s\n' "$line"
    done; }
qrc=${PIPESTATUS[0]}
set -e
end=$(date +%s%N)
[ -n "${VM_LOG:-}" ] && cp "$LOG" "$VM_LOG"

rc=$(sed -n 's/^===LAB-VM-EXIT \([0-9]*\)===\r*$/\1/p' "$LOG" | tail -n1)
echo "lab-vm: host wall time $(( (end - start) / 1000000 )) ms (qemu exit $qrc)" >&2
if [ -n "$rc" ]; then exit "$rc"; fi
if [ "$qrc" = 124 ] || [ "$qrc" = 137 ]; then
    echo "lab-vm: timed out after ${VM_TIMEOUT:-300}s" >&2; exit 124
fi
echo "lab-vm: guest gave no exit code" >&2
exit 125
