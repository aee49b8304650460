#!/usr/bin/env bash
# make_payload.sh BUILD_DIR PAYLOAD_DIR
# Packs what the lab guest runs for the vm test and the audio benchmark:
# quor-console, quor-phone-sim and the SRTP library beside them, the
# guest helpers, and the guest scripts (run.sh is the entry point). The
# lab's run-vm.sh copies the shared libraries that each ELF file names;
# libraries loaded at run time by name go under sysroot/, which run.sh
# copies over the guest's root.
set -euo pipefail
[ $# = 2 ] || { echo "usage: make_payload.sh BUILD_DIR PAYLOAD_DIR" >&2; exit 2; }
build=$1 out=$2
here=$(cd "$(dirname "$0")" && pwd)

programs="quor-console quor-phone-sim libquor_srtp_kit.so quor-vm-tone quor-vm-hidraw quor-vm-stalls"
for f in $programs; do
    [ -f "$build/$f" ] || { echo "make_payload: $build/$f is missing (build first)" >&2; exit 1; }
done
mkdir -p "$out"
for f in $programs; do cp "$build/$f" "$out/"; done
cp "$here/run.sh" "$here/guest_lib.sh" "$here/guest_test.sh" "$here/guest_bench.sh" \
    "$here/guest_usbip.sh" "$out/"

# libsrtp2 on Debian does its crypto through NSS, which loads its software
# token and its crypto core with dlopen from the folder libnss3 lives in;
# without them srtp_init fails and no call audio flows.
nss=$(ldd "$build/libquor_srtp_kit.so" | awk '$1 ~ /^libnss3\.so/ { print $3 }')
if [ -n "$nss" ]; then
    dir=$(dirname "$nss")
    mkdir -p "$out/sysroot$dir"
    for m in libsoftokn3.so libfreeblpriv3.so; do
        [ -f "$dir/$m" ] || { echo "make_payload: $dir/$m is missing (libnss3 package)" >&2; exit 1; }
        cp -L "$dir/$m" "$out/sysroot$dir/"
    done
fi
