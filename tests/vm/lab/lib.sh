# shellcheck shell=bash disable=SC2034
# Shared helpers for build-vm.sh and run-vm.sh (sourced, not run).

LAB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CACHE=${VM_CACHE:-/var/tmp/quor-vm}   # downloads and the built guest stay outside the repository
OUT=$CACHE/out            # vmlinuz, initramfs.cpio.gz, kernel-version

die() { echo "lab-vm: $*" >&2; exit 1; }

is_elf() { [ -f "$1" ] && [ "$(head -c4 "$1" 2>/dev/null | od -An -c | tr -d ' ')" = '177ELF' ]; }

# copy_elf_libs ELF ROOT [LIBPATH]
# Copies every shared object the ELF needs (as resolved by ldd, with LIBPATH
# searched first) into ROOT at the same absolute path, following symlinks.
# Fails if any library cannot be resolved.
copy_elf_libs() {
    local elf=$1 root=$2 libpath=${3:-} out lib
    out=$(LD_LIBRARY_PATH=$libpath ldd "$elf" 2>&1) || {
        # static executables and non-executable ELF objects: nothing to copy
        case $out in *"not a dynamic executable"*|*"statically linked"*) return 0 ;; esac
        die "ldd failed on $elf: $out"
    }
    if grep -q "not found" <<<"$out"; then
        die "unresolved libraries for $elf:"$'\n'"$(grep "not found" <<<"$out")"
    fi
    for lib in $(awk '/=>/ { print $3; next } $1 ~ /^\// { print $1 }' <<<"$out"); do
        local dst
        dst=$root/$(guest_path "$lib" "$libpath")
        [ -e "$dst" ] && continue
        mkdir -p "$(dirname "$dst")"
        cp -L "$lib" "$dst"
    done
}

# guest_path LIB LIBPATH: where a library found on the host goes in the guest.
# Libraries found under an extracted package tree keep their path inside it.
guest_path() {
    local lib=$1 dir
    local IFS=:
    for dir in $2; do
        case $lib in "$dir"/*) echo "${dir#"$CACHE"/x/root}/${lib#"$dir"/}"; return ;; esac
    done
    echo "$lib"
}

# cpio_gz DIR FILE: pack DIR (as the guest's /) into a gzipped newc archive.
cpio_gz() {
    (cd "$1" && find . -mindepth 1 | LC_ALL=C sort | cpio --quiet -o -H newc -R 0:0) | gzip -1 > "$2"
}
