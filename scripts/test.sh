#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh -DQUOR_WERROR=ON
# The real-kernel test boots a guest (tests/vm); run it with: ctest -L vm
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "$(nproc)" -LE vm "$@"
