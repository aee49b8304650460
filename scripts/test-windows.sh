#!/usr/bin/env bash
# The windows stage: cross-builds the Windows programs (build-windows/),
# builds the Linux simulators (build/), then under Wine runs the Windows
# unit tests (build-windows/windows_tests.txt), the call between
# quor-console.exe and the Linux simulators (tests/integration/windows_call.py),
# the tray program's checks on an Xvfb display (tests/windows/test_winui.py)
# and a pairing from its window (tests/integration/windows_tray_pairing.py),
# all inside a network namespace with only loopback.
set -euo pipefail
cd "$(dirname "$0")/.."
win_build=${WINDOWS_BUILD_DIR:-build-windows}
linux_build=${BUILD_DIR:-build}
BUILD_DIR=$win_build ./scripts/build-windows.sh -DQUOR_WERROR=ON
BUILD_DIR=$linux_build BUILD_TARGETS="quor-phone-sim quor-host-sim quor_srtp_kit" \
  ./scripts/build.sh -DQUOR_WERROR=ON

wine=$(dpkg -L wine64 | grep -m1 '/wine64$')
wineserver=$(dpkg -L wine64 | grep -m1 '/wineserver64$')
export WINEPREFIX="$PWD/$win_build/wine/prefix" WINEDEBUG=-all
unset DISPLAY
mkdir -p "$WINEPREFIX"
# A Wine server left from an earlier run would hold the sockets in its own
# network namespace.
"$wineserver" -k 2>/dev/null || true

# Inside the namespace: every unit test, then the call.
cat >"$win_build/run_windows_tests.sh" <<'INNER'
#!/usr/bin/env bash
set -uo pipefail
# Wine's server makes the programs' sockets, so it runs in this namespace,
# one for every program of the stage (a first start also makes the prefix,
# which takes a few seconds).
"$QUOR_WINESERVER" -p 120
trap '"$QUOR_WINESERVER" -k 2>/dev/null || true' EXIT
"$QUOR_WINE" cmd /c exit >/dev/null 2>&1 || true
failed=()
cd "$WIN_BUILD"
while read -r test; do
  [ -n "$test" ] || continue
  echo "--- $test"
  if ! timeout 300 "$QUOR_WINE" "./$test" --gtest_brief=1; then failed+=("$test"); fi
done <windows_tests.txt
echo "--- windows_call.py"
if ! timeout 300 python3 "$SRC/tests/integration/windows_call.py" -v; then
  failed+=(windows_call.py)
fi
# The tray program's windows on an Xvfb display: layouts, texts, tray and
# screenshots (build-windows/screenshots), then a pairing from its window.
echo "--- test_winui.py"
if ! QUOR_WIN_BUILD="$WIN_BUILD" timeout 900 python3 "$SRC/tests/windows/test_winui.py" -v; then
  failed+=(test_winui.py)
fi
echo "--- windows_tray_pairing.py"
if ! timeout 300 python3 "$SRC/tests/integration/windows_tray_pairing.py" -v; then
  failed+=(windows_tray_pairing.py)
fi
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED under Wine: ${failed[*]}"
  exit 1
fi
echo "Every Windows test passed under Wine."
INNER
chmod +x "$win_build/run_windows_tests.sh"
WIN_BUILD="$PWD/$win_build" SRC="$PWD" QUOR_WINE="$wine" QUOR_WINESERVER="$wineserver" QUOR_BIN_DIR="$PWD/$linux_build" \
  QUOR_WINDOWS_BIN_DIR="$PWD/$win_build" \
  tests/integration/run_isolated.sh "$PWD/$win_build/run_windows_tests.sh"
