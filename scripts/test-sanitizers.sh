#!/usr/bin/env bash
# Builds the core, the console, the simulators and the tests with sanitizers
# and runs the tests under them:
#   asan  every test but the vm test and the soak, the Qt front end's and
#         the integration tests (which run the built programs) included,
#         under AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
#         (build-asan)
#   tsan  every GoogleTest program, the threaded ones among them, under
#         ThreadSanitizer (build-tsan); the Qt front end is left out, as
#         ThreadSanitizer cannot see the locks inside the Qt libraries
# With no argument both run. Any report fails the test: the test programs
# stop at the first one, and the integration tests look for reports in the
# output of every program they run. Only leaks inside libdbus-1 are
# suppressed (tests/support/lsan.supp).
#
#   scripts/test-sanitizers.sh [asan|tsan|all] [ctest options...]
set -euo pipefail
cd "$(dirname "$0")/.."
# Compiler cache hits across clones of the repository.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
./scripts/install-deps.sh
which="${1:-all}"
shift || true
jobs=$(nproc)

# Configures and builds DIR with the sanitizers SANITIZE, the Qt front end
# when GUI is ON.
build() {
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUOR_BUILD_GUI="$3" \
    -DQUOR_WERROR=ON -DQUOR_SANITIZE="$2" >/dev/null
  ninja -C "$1"
}

case "$which" in
  all | asan | tsan) ;;
  *) echo "test-sanitizers.sh: unknown run $which (asan, tsan, all)" >&2; exit 2 ;;
esac

if [ "$which" = all ] || [ "$which" = asan ]; then
  build build-asan address,undefined ON
  # verify_asan_link_order=0: the integration tests run the console under
  # stdbuf, whose preloaded library comes before the ASan runtime.
  # QUOR_TIME_SCALE: the programs run about three times slower.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:verify_asan_link_order=0:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1 \
  LSAN_OPTIONS=suppressions=$PWD/tests/support/lsan.supp \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 QUOR_TIME_SCALE=3 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE "vm|soak" "$@"
fi

if [ "$which" = all ] || [ "$which" = tsan ]; then
  build build-tsan thread OFF
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L "unit|threads" "$@"
fi
