# Guest side of the vm test and of the audio benchmark; run-vm.sh runs it
# as "sh /payload/run.sh MODE [ARG]" inside the lab guest:
#   run.sh test [STEP...]  the checks of a real USB host (exit 1 if any fails)
#   run.sh bench SECONDS   two-way call audio for SECONDS, figures only
#   run.sh usbip           the checks with the phone exported by the USB/IP
#                          server and attached by the guest's usbip client
cd /payload || exit 2
. ./guest_lib.sh

# Libraries loaded at run time (not named by any ELF file's dependencies)
# travel in sysroot/ and go to their places here.
[ -d sysroot ] && cp -a sysroot/. /
mkdir -p "$WORK"
# The clock watch (quor-vm-stalls) runs at real-time priority. When the
# machine running the emulator stops it for a while, the guest charges that
# time to whichever thread was on the CPU, and the kernel's limit on
# real-time threads (95 % of each second) would then hold the watch back
# and log "RT throttling activated". The watch sleeps 5 ms between looks,
# so it needs no limit.
echo -1 > /proc/sys/kernel/sched_rt_runtime_us
KERNEL_LOG_START=$(dmesg | wc -l)

# How fast this guest runs, to tell a slow host from a slow device: a
# fixed shell loop that takes about 0.3 s on an idle lab machine.
t0=$(now_ms)
i=0
while [ $i -lt 20000 ]; do i=$((i + 1)); done
figure "guest speed: shell loop of 20000 steps in $(($(now_ms) - t0)) ms"

case ${1:-test} in
test)
    . ./guest_test.sh
    shift
    run_test "$@"
    ;;
usbip)
    . ./guest_test.sh
    . ./guest_usbip.sh
    run_usbip_test
    ;;
bench)
    . ./guest_bench.sh
    run_bench "${2:-60}"
    ;;
*)
    echo "usage: run.sh test | usbip | bench SECONDS" >&2
    exit 2
    ;;
esac
