#!/usr/bin/env bash
# Installs what is missing, then configures and builds into build/ (or
# $BUILD_DIR): everything, or the targets named in $BUILD_TARGETS.
set -euo pipefail
cd "$(dirname "$0")/.."
# Compiler cache hits across clones of the repository.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
./scripts/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
# shellcheck disable=SC2086 # the targets are words
ninja -C "$BUILD_DIR" ${BUILD_TARGETS:-}
