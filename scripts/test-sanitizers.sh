#!/usr/bin/env bash
# Builds the core, the console and the simulators with sanitizers and runs
# the tests under them: every test with AddressSanitizer and
# UndefinedBehaviorSanitizer, the threaded ones with ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
# Compiler cache hits across clones of the repository.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
./scripts/install-deps.sh
which="${1:-all}"
jobs=$(nproc)

if [ "$which" = all ] || [ "$which" = asan ]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUOR_BUILD_GUI=OFF \
    -DQUOR_WERROR=ON -DQUOR_SANITIZE=address,undefined >/dev/null
  ninja -C build-asan
  # Unit and threaded tests; the integration tests run the same code end to
  # end in real time, which the sanitizers slow past their time limits.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs" -L "unit|threads"
fi

if [ "$which" = all ] || [ "$which" = tsan ]; then
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUOR_BUILD_GUI=OFF \
    -DQUOR_WERROR=ON -DQUOR_SANITIZE=thread >/dev/null
  ninja -C build-tsan
  # The tests whose subject runs several threads.
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threads
fi
