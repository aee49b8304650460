#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo: the connector pairs with
# a simulated desk phone and a simulated PC host, in a network namespace of
# its own with only loopback.
set -euo pipefail
cd "$(dirname "$0")/.."
# Only the programs the demo runs, and the SRTP library the connector loads.
BUILD_TARGETS="quor-console quor-phone-sim quor-host-sim quor_srtp_kit" ./scripts/build.sh
QUOR_BIN_DIR="$PWD/${BUILD_DIR:-build}" exec tests/integration/run_isolated.sh python3 scripts/demo.py
