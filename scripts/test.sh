#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every
# test, stage by stage:
#   main  the unit, threaded, GUI and integration tests
#   vm    the emulated phone against a real Linux USB host in a QEMU guest
#   soak  repeated pair, call and unpair cycles with a leak check
#   asan  the suite, programs included, under AddressSanitizer, LeakSanitizer
#         and UndefinedBehaviorSanitizer
#   tsan  the GoogleTest programs under ThreadSanitizer
#   fuzz  every libFuzzer target for a bounded time
#   windows  the Windows cross build's tests, a call under Wine, and the tray
#            program's checks and a pairing from its window on Xvfb
# With stage names as arguments only those run. Every stage runs even when
# an earlier one fails; the summary lists each stage's result and time.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(main vm soak asan tsan fuzz windows)

run_stage() {
  case "$1" in
    main)
      ./scripts/build.sh -DQUOR_WERROR=ON &&
        ctest --test-dir "$build" --output-on-failure -j "$(nproc)" -LE "vm|soak" ;;
    vm | soak)
      ./scripts/build.sh -DQUOR_WERROR=ON &&
        ctest --test-dir "$build" --output-on-failure -L "$1" ;;
    asan | tsan) ./scripts/test-sanitizers.sh "$1" ;;
    fuzz) ./scripts/fuzz.sh 30 ;;
    windows) ./scripts/test-windows.sh ;;
    *) echo "test.sh: unknown stage $1 (main, vm, soak, asan, tsan, fuzz, windows)" >&2; return 2 ;;
  esac
}

summary=()
status=0
for stage in "${stages[@]}"; do
  echo "===== stage $stage ====="
  start=$SECONDS
  if run_stage "$stage"; then result=passed; else result=FAILED; status=1; fi
  summary+=("$(printf '%-5s %-6s %4d s' "$stage" "$result" $((SECONDS - start)))")
done
echo "===== summary ====="
printf '%s\n' "${summary[@]}"
exit $status
