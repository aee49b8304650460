# Guest side of the vm test and of the audio benchmark; run-vm.sh runs it
# as "sh /payload/run.sh MODE [ARG]" inside the lab guest:
#   run.sh test [STEP...]  the checks of a real USB host (exit 1 if any fails)
#   run.sh bench SECONDS   two-way call audio for SECONDS, figures only
cd /payload || exit 2
. ./guest_lib.sh

# Libraries loaded at run time (not named by any ELF file's dependencies)
# travel in sysroot/ and go to their places here.
[ -d sysroot ] && cp -a sysroot/. /
mkdir -p "$WORK"
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
bench)
    . ./guest_bench.sh
    run_bench "${2:-60}"
    ;;
*)
    echo "usage: run.sh test | bench SECONDS" >&2
    exit 2
    ;;
esac
