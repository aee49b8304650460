#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default
# 30) on its seed corpus under tests/fuzz/corpus/<target>/, as many at once
# as there are processors (QUOR_FUZZ_JOBS). Any crash, leak or broken check
# fails the run; its input is kept in <build>/findings/. Prints every
# target's executions.
#
#   scripts/fuzz.sh [SECONDS [TARGET...]]
#
# A longer run of one target: scripts/fuzz.sh 3600 fuzz_config_ini. The
# inputs a run finds worth keeping stay in <build>/corpus/<target>/ and are
# taken up by the next run. The build folder is build-fuzz, or
# QUOR_FUZZ_BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
# Compiler cache hits across clones of the repository.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
./scripts/install-deps.sh
seconds="${1:-30}"
shift || true
build="${QUOR_FUZZ_BUILD_DIR:-build-fuzz}"
jobs="${QUOR_FUZZ_JOBS:-$(nproc)}"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUOR_FUZZ=ON -DQUOR_BUILD_TESTS=OFF -DQUOR_BUILD_GUI=OFF >/dev/null
ninja -C "$build" quor_fuzz
mkdir -p "$build/findings"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for t in "$build"/tests/fuzz/fuzz_*; do
    [ -x "$t" ] && targets+=("$(basename "$t")")
  done
fi

# Runs one target; its report goes to <build>/<target>.log, its exit status
# to <build>/<target>.status.
run_target() {
  local name=$1 work="$build/corpus/$1" seeds="tests/fuzz/corpus/$1" rc=0
  mkdir -p "$work"
  local args=("$work")
  [ -d "$seeds" ] && args+=("$seeds")
  "$build/tests/fuzz/$name" -max_total_time="$seconds" -print_final_stats=1 -close_fd_mask=1 \
    -artifact_prefix="$build/findings/$name-" "${args[@]}" >"$build/$name.log" 2>&1 || rc=$?
  echo "$rc" >"$build/$name.status"
}

for name in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run_target "$name" &
done
wait

status=0
for name in "${targets[@]}"; do
  log="$build/$name.log"
  result=FAILED
  [ "$(cat "$build/$name.status" 2>/dev/null)" = 0 ] && result=ok
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log")
  printf '%-24s %-6s %10s executions in %ss, peak %s MB\n' "$name" "$result" "${runs:-?}" \
    "$seconds" "${rss:-?}"
  if [ "$result" = FAILED ]; then tail -60 "$log"; status=1; fi
done
exit $status
