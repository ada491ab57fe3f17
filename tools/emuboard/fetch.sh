#!/bin/sh
# SPDX-License-Identifier: MIT
# Fetches what the emulated board boots, once: Debian's ARMv7 kernel (the package that
# linux-image-armmp:armhf depends on), its two virtio console modules, and a static
# BusyBox (busybox-static:armhf). They go to the cache, outside the work tree; once they are
# there, nothing is fetched again and the board works offline.
# usage: fetch.sh    (the cache: $EMUBOARD_CACHE, else ~/.cache/battery-voltage/emuboard)
set -eu
cache=${EMUBOARD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/battery-voltage/emuboard}
files="vmlinuz virtio_mmio.ko virtio_console.ko busybox"
have=yes
for f in $files; do [ -s "$cache/$f" ] || have=no; done
[ $have = yes ] && exit 0

say() { echo "emuboard: $*" >&2; }
root() { [ "$(id -u)" = 0 ]; }
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    if ! root; then
        say "Debian's armhf packages are not enabled here. As root, run:"
        say "  dpkg --add-architecture armhf && apt-get update"
        exit 1
    fi
    dpkg --add-architecture armhf
    apt-get update -qq || { say "apt-get update failed: is the Debian archive reachable?"; exit 1; }
fi
kernel_package() {
    apt-cache depends linux-image-armmp:armhf 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}
kernel=$(kernel_package)
if [ -z "$kernel" ] && root; then
    apt-get update -qq || { say "apt-get update failed: is the Debian archive reachable?"; exit 1; }
    kernel=$(kernel_package)
fi
if [ -z "$kernel" ]; then
    say "apt knows no linux-image-armmp:armhf. As root, run: apt-get update"
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 0755 "$work" # apt's download user writes here
say "fetching $kernel and busybox-static:armhf (about 45 MB, once)"
if ! (cd "$work" && apt-get download "$kernel" busybox-static:armhf) >"$work/log" 2>&1; then
    cat "$work/log" >&2
    say "could not download $kernel and busybox-static:armhf from the Debian archive."
    say "Check the network and apt's sources, then run again: make emuboard-kernel"
    exit 1
fi
dpkg-deb -x "$work"/linux-image-*.deb "$work/kernel"
dpkg-deb -x "$work"/busybox-static_*.deb "$work/busybox"
mkdir -p "$work/cache"
cp "$work"/kernel/boot/vmlinuz-* "$work/cache/vmlinuz"
for m in virtio/virtio_mmio char/virtio_console; do
    ko=$(find "$work"/kernel/lib/modules/*/kernel/drivers -path "*/$m.ko*" | head -n 1)
    [ -n "$ko" ] || { say "$kernel has no $m module"; exit 1; }
    case $ko in
    *.xz) xz -dc "$ko" >"$work/cache/${m#*/}.ko" ;;
    *) cp "$ko" "$work/cache/${m#*/}.ko" ;;
    esac
done
cp "$work/busybox/bin/busybox" "$work/cache/busybox"
echo "$kernel" >"$work/cache/kernel-package"
mkdir -p "$cache"
for f in $files kernel-package; do mv "$work/cache/$f" "$cache/$f"; done
say "cached in $cache"
