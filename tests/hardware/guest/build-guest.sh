#!/usr/bin/env bash
# Builds the test guest from Debian packages: the distribution's kernel and an initramfs holding
# busybox, the modules named in modules.list (with what they depend on, decompressed) and init.
# Everything else (Qt, fonts, our binaries) the guest reads from the host over virtio-9p, so a
# rebuild of the project never rebuilds the guest.
#
# Prints the directory holding vmlinuz and initrd.img. Packages are fetched once into
# $PARVOLO_GUEST_CACHE (default ~/.cache/parvolo-guest); the initramfs is rebuilt only when the
# kernel, busybox, init, the module list or this script change.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cache="${PARVOLO_GUEST_CACHE:-${HOME:-/tmp}/.cache/parvolo-guest}"
mkdir -p "$cache/debs"

say() { echo "build-guest: $*" >&2; }

# The kernel the metapackage points at today, so that a new ABI number needs no edit here.
kernel_pkg() {
    local name
    name=$(apt-cache depends linux-image-amd64 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }')
    if [ -z "$name" ]; then
        name=$(apt-cache search --names-only '^linux-image-[0-9.]+-[0-9]+-amd64$' 2>/dev/null |
            awk '{ print $1 }' | sort -V | tail -n 1)
    fi
    echo "$name"
}

# A cached .deb of the package, fetched when missing.
deb_of() {
    local pkg="$1" deb
    deb=$(ls "$cache/debs/${pkg}_"*.deb 2>/dev/null | sort -V | tail -n 1 || true)
    if [ -z "$deb" ]; then
        say "fetching $pkg"
        (cd "$cache/debs" && apt-get download -q "$pkg" >&2) ||
            { say "apt-get download $pkg failed (is 'apt-get update' done?)"; exit 1; }
        deb=$(ls "$cache/debs/${pkg}_"*.deb | sort -V | tail -n 1)
    fi
    echo "$deb"
}

kpkg=$(kernel_pkg)
if [ -z "$kpkg" ]; then
    # Offline with an empty package list: use the newest kernel already cached.
    kpkg=$(ls "$cache/debs" 2>/dev/null | sed -n 's/^\(linux-image-[0-9][^_]*-amd64\)_.*/\1/p' |
        sort -V | tail -n 1)
fi
[ -n "$kpkg" ] || { say "no linux-image-*-amd64 package found (run apt-get update)"; exit 1; }
kdeb=$(deb_of "$kpkg")
bdeb=$(deb_of busybox-static)

key=$( (basename "$kdeb"; basename "$bdeb"; cat "$here/build-guest.sh" "$here/init" \
    "$here/loadmod" "$here/modules.list"; echo "${PARVOLO_GUEST_EXTRA_MODULES:-}") |
    sha256sum | cut -c1-16)
out="$cache/guest-$key"
if [ -f "$out/initrd.img" ] && [ -f "$out/vmlinuz" ]; then
    echo "$out"
    exit 0
fi

say "building the guest in $out"
work=$(mktemp -d "$cache/work.XXXXXX")
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$kdeb" "$work/k"
dpkg-deb -x "$bdeb" "$work/b"
kver=$(ls "$work/k/lib/modules" | head -n 1)
mods="$work/k/lib/modules/$kver/kernel"

root="$work/root"
mkdir -p "$root"/{bin,dev,proc,sys,mnt/host,newroot,lib/modules}
cp "$work/b/bin/busybox" "$root/bin/busybox"
cp "$here/init" "$root/init"
cp "$here/loadmod" "$root/bin/loadmod"
chmod 755 "$root/init" "$root/bin/loadmod"

# Module names use '-' and '_' interchangeably; the initramfs stores them with '_'.
norm() { echo "${1//-/_}"; }
declare -A file_of=()
while IFS= read -r f; do
    base=$(basename "$f")
    file_of[$(norm "${base%%.ko*}")]="$f"
done < <(find "$mods" -name '*.ko' -o -name '*.ko.xz' -o -name '*.ko.zst' -o -name '*.ko.gz')

declare -A done_mod=()
deps_file="$root/lib/modules/deps"
: >"$deps_file"
add_module() {
    local name f deps d
    name=$(norm "$1")
    [ -z "${done_mod[$name]:-}" ] || return 0
    done_mod[$name]=1
    f="${file_of[$name]:-}"
    if [ -z "$f" ]; then
        # Built into the kernel: nothing to load.
        grep -q "/$1.ko\$\|/$name.ko\$" "$work/k/lib/modules/$kver/modules.builtin" 2>/dev/null ||
            say "module $1 is neither a file nor built in; left out"
        return 0
    fi
    case "$f" in
        *.xz) xz -dc "$f" >"$root/lib/modules/$name.ko" ;;
        *.zst) zstd -qdc "$f" >"$root/lib/modules/$name.ko" ;;
        *.gz) gzip -dc "$f" >"$root/lib/modules/$name.ko" ;;
        *) cp "$f" "$root/lib/modules/$name.ko" ;;
    esac
    deps=$(modinfo -F depends "$root/lib/modules/$name.ko" | tr ',' ' ')
    local normed=""
    for d in $deps; do
        add_module "$d"
        normed="$normed $(norm "$d")"
    done
    echo "$name:$normed" >>"$deps_file"
}
for m in $(sed 's/#.*//' "$here/modules.list") ${PARVOLO_GUEST_EXTRA_MODULES:-}; do
    add_module "$m"
done
echo "$kver" >"$root/lib/modules/version"

mkdir -p "$out.tmp"
cp "$work/k/boot/vmlinuz-$kver" "$out.tmp/vmlinuz"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$out.tmp/initrd.img"
echo "$kpkg $kver" >"$out.tmp/kernel"
rm -rf "$out"
mv "$out.tmp" "$out"
# Older builds are dead weight once this one exists.
find "$cache" -maxdepth 1 -name 'guest-*' ! -name "guest-$key" -exec rm -rf {} +
say "kernel $kver, $(wc -l <"$deps_file") modules"
echo "$out"
