#!/usr/bin/env bash
# Cross-builds the Windows programs into build-windows/ (or $BUILD_DIR) with
# mingw-w64: quor-console.exe, quor_srtp_kit.dll (libsrtp2 from Debian's
# sources, fetched once into build-windows/srtp-src) and the unit tests
# that run under Wine. Everything, or the targets named in $BUILD_TARGETS.
set -euo pipefail
cd "$(dirname "$0")/.."
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
./scripts/install-deps.sh
BUILD_DIR=${BUILD_DIR:-build-windows}
./scripts/fetch-srtp-source.sh "$BUILD_DIR/srtp-src"
srtp_dir=$(ls -d "$PWD/$BUILD_DIR"/srtp-src/libsrtp2-*/ | head -n 1)
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DQUOR_SRTP_SOURCE_DIR="${srtp_dir%/}" "$@" >/dev/null
# shellcheck disable=SC2086 # the targets are words
ninja -C "$BUILD_DIR" ${BUILD_TARGETS:-all}
