#!/usr/bin/env bash
# Fetches and unpacks Debian's libsrtp2 sources into $1 (default
# build-windows/srtp-src) with a private apt configuration that adds deb-src
# lines for the suites the machine already uses. Does nothing when the
# unpacked sources are there already.
set -euo pipefail
cd "$(dirname "$0")/.."
dest=${1:-build-windows/srtp-src}
if ls -d "$dest"/libsrtp2-*/ >/dev/null 2>&1; then
  exit 0
fi
mkdir -p "$dest"
apt_dir=$(cd "$(dirname "$dest")" && pwd)/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
: >"$apt_dir/sources.list"
# One deb-src line per Debian suite the system's own sources name.
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list; do
  [ -f "$f" ] || continue
  case "$f" in
  *.sources)
    awk -v out="$apt_dir/sources.list" '
      /^URIs:/ {uri=$2} /^Suites:/ {suites=""; for (i=2;i<=NF;i++) suites=suites" "$i}
      /^Components:/ {comp=""; for (i=2;i<=NF;i++) comp=comp" "$i}
      /^$/ {if (uri ~ /debian/) {n=split(suites,s," "); for (i=1;i<=n;i++) print "deb-src", uri, s[i] comp >> out}; uri=""}
      END {if (uri ~ /debian/) {n=split(suites,s," "); for (i=1;i<=n;i++) print "deb-src", uri, s[i] comp >> out}}' "$f"
    ;;
  *)
    grep -E '^deb[[:space:]]+[^[]*debian' "$f" | sed 's/^deb /deb-src /' >>"$apt_dir/sources.list" || true
    ;;
  esac
done
apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=/nonexistent"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o "Debug::NoLocking=1")
apt-get "${apt_opts[@]}" update -qq
(cd "$dest" && apt-get "${apt_opts[@]}" source -qq libsrtp2)
