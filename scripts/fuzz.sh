#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default
# 30) on its seed corpus under tests/fuzz/corpus/<target>/. Any crash fails.
set -euo pipefail
cd "$(dirname "$0")/.."
# Compiler cache hits across clones of the repository.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
./scripts/install-deps.sh
seconds="${1:-30}"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUOR_FUZZ=ON -DQUOR_BUILD_TESTS=OFF -DQUOR_BUILD_GUI=OFF >/dev/null
ninja -C build-fuzz
mkdir -p build-fuzz/findings
status=0
for target in build-fuzz/tests/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="tests/fuzz/corpus/$name"
  work="build-fuzz/corpus/$name"
  mkdir -p "$work"
  args=("$work")
  [ -d "$corpus" ] && args+=("$corpus")
  echo "== $name: ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -artifact_prefix="build-fuzz/findings/$name-" \
      -print_final_stats=1 -close_fd_mask=1 "${args[@]}" 2>"build-fuzz/$name.log"; then
    echo "$name found a failure:"; tail -50 "build-fuzz/$name.log"; status=1
  fi
  grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "build-fuzz/$name.log" || true
done
exit $status
