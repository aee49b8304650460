#!/usr/bin/env bash
# The vm test: boots the lab guest (a Debian 6.1 kernel with vhci_hcd,
# usbhid and snd-usb-audio under QEMU) with quor-console, quor-phone-sim
# and the guest helpers, and runs the checks of run.sh inside it. Prints
# the guest's output, then the figures and any failed check again.
#
# Environment: QUOR_BIN_DIR (the build folder, or the first argument),
# VM_CACHE (the lab's cache folder, default /var/tmp/quor-vm), VM_TIMEOUT
# (s, default 600), VM_PRIORITY (see lab/run-vm.sh), QUOR_VM_STEPS (some
# of run.sh's steps only, e.g. "hid unpair"), QUOR_VM_MODE (usbip: the
# checks of the USB/IP server back end instead, see guest_usbip.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${QUOR_BIN_DIR:-${1:-}}
[ -n "$build" ] || { echo "vm_test: set QUOR_BIN_DIR or give the build folder" >&2; exit 2; }
lab=$here/lab

"$lab/build-vm.sh"
payload=$(mktemp -d /tmp/quor-vm-payload.XXXXXX)
log=$payload.log
trap 'rm -rf "$payload" "$log"' EXIT
"$here/make_payload.sh" "$build" "$payload"

set +e
# shellcheck disable=SC2086 # the steps are separate words
VM_TIMEOUT=${VM_TIMEOUT:-600} "$lab/run-vm.sh" "$payload" "${QUOR_VM_MODE:-test}" ${QUOR_VM_STEPS:-} | tee "$log"
rc=${PIPESTATUS[0]}
set -e
echo
echo "===== vm test summary (guest exit code $rc) ====="
grep -E '^vm-figure: |^vm-check: FAIL |^vm: [0-9]+ checks' "$log" || true
exit "$rc"
