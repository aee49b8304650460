#!/usr/bin/env bash
# Fails, naming the files, when a C++ source of ours differs from the
# repository's .clang-format style. With --fix it formats them instead.
set -euo pipefail
cd "$(dirname "$0")/.."
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
  mapfile -t files < <(find src tools tests bench -name '*.cpp' -o -name '*.h')
fi
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
mapfile -t unformatted < <(for f in "${files[@]}"; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || echo "$f"
done)
if [ ${#unformatted[@]} -gt 0 ]; then
  printf 'not formatted (scripts/check_format.sh --fix): %s\n' "${unformatted[@]}"
  exit 1
fi
echo "check_format: ${#files[@]} files formatted"
