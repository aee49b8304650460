#!/usr/bin/env bash
# vm_audio_bench.sh [BUILD_DIR] [SECONDS]
# Two-way call audio through a real Linux USB host: boots the lab guest,
# pairs quor-console with quor-phone-sim there, and for SECONDS (default
# 60) plays 1 kHz bursts with aplay while arecord records the phone's
# 600 Hz tone. Prints the URB completion intervals of both endpoints, the
# delay from the host's USB stack to the phone simulator, the xruns ALSA
# reported, the phone's packet counts and the recording's analysis.
# Figures only; it never fails on timing. VM_CACHE and VM_PRIORITY as for
# the vm test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${QUOR_BIN_DIR:-$root/build}}
seconds=${2:-60}
lab=$root/tests/vm/lab

"$lab/build-vm.sh" > /dev/null
payload=$(mktemp -d /tmp/quor-vm-bench.XXXXXX)
trap 'rm -rf "$payload"' EXIT
"$root/tests/vm/make_payload.sh" "$build" "$payload"
VM_TIMEOUT=$((seconds * 3 + 120)) "$lab/run-vm.sh" "$payload" bench "$seconds" |
    sed -n 's/^vm-figure: //p; s/^vm: //p'
