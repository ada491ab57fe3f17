#!/bin/sh
# SPDX-License-Identifier: MIT
# Fetches what the emulated board boots, once: Debian's ARMv7 kernel (the package that
# linux-image-armmp:armhf depends on), those of its virtio drivers that it builds as modules,
# and a static BusyBox (busybox-static:armhf). They go to the cache, outside the work tree;
# once they are there, nothing is fetched again and the board works offline.
#
# The cache then holds:
#   vmlinuz         the kernel
#   busybox         the static BusyBox
#   kernel-package  the name of the kernel's package, on one line
#   modules         the modules that the guest loads, one file name a line, in load order
#                   (it may be empty: a driver built into the kernel needs none)
#   *.ko            each module that `modules` names, uncompressed
#
# Which driver is a module is the kernel's own word: its config file says =m or =y. Debian
# 12 builds virtio_mmio and virtio_console as modules under /lib/modules; Debian 13 builds
# virtio_console in, and its modules are under /usr/lib/modules.
# usage: fetch.sh    (the cache: $EMUBOARD_CACHE, else ~/.cache/battery-voltage/emuboard)
set -eu
cache=${EMUBOARD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/battery-voltage/emuboard}

say() { echo "emuboard: $*" >&2; }
cached() {
    for f in vmlinuz busybox kernel-package; do [ -s "$cache/$f" ] || return 1; done
    [ -f "$cache/modules" ] || return 1
    while read -r m; do [ -s "$cache/$m" ] || return 1; done <"$cache/modules"
}
cached && exit 0

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
set -- "$work"/kernel/boot/vmlinuz-*
[ $# = 1 ] && [ -f "$1" ] || { say "$kernel has no one /boot/vmlinuz-*"; exit 1; }
cp "$1" "$work/cache/vmlinuz"
set -- "$work"/kernel/boot/config-*
[ $# = 1 ] && [ -f "$1" ] || { say "$kernel has no one /boot/config-*"; exit 1; }
config=$1

# unpack COMMAND PACKAGE: COMMAND is there, or is installed now.
unpack() {
    command -v "$1" >/dev/null && return 0
    if ! root; then
        say "unpacking the kernel's modules needs $1. As root, run: apt-get install $2"
        exit 1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$2" >/dev/null
}

# The drivers that the guest needs, in load order: the virtio core, the MMIO transport,
# the console. Each is built in, or a module to cache and load, or missing.
: >"$work/cache/modules"
for driver in VIRTIO:virtio/virtio_ring,virtio/virtio VIRTIO_MMIO:virtio/virtio_mmio \
    VIRTIO_CONSOLE:char/virtio_console; do
    option=CONFIG_${driver%%:*}
    how=$(sed -n "s/^$option=//p" "$config")
    case $how in
    y) continue ;;
    m) ;;
    *) say "$kernel has no $option"; exit 1 ;;
    esac
    for m in $(echo "${driver#*:}" | tr , ' '); do
        ko=$(find "$work"/kernel/lib/modules/*/kernel/drivers \
            "$work"/kernel/usr/lib/modules/*/kernel/drivers \
            -path "*/$m.ko*" 2>/dev/null | head -n 1)
        [ -n "$ko" ] || { say "$kernel builds $option as a module, but has no $m.ko"; exit 1; }
        name=${m##*/}.ko
        case $ko in
        *.ko) cp "$ko" "$work/cache/$name" ;;
        *.ko.xz) unpack xz xz-utils && xz -dc "$ko" >"$work/cache/$name" ;;
        *.ko.zst) unpack zstd zstd && zstd -qdc "$ko" >"$work/cache/$name" ;;
        *.ko.gz) unpack gzip gzip && gzip -dc "$ko" >"$work/cache/$name" ;;
        *) say "$kernel has $ko, compressed in a way I do not know"; exit 1 ;;
        esac
        echo "$name" >>"$work/cache/modules"
    done
done
# /bin on Debian 12, /usr/bin on Debian 13.
for b in "$work"/busybox/usr/bin/busybox "$work"/busybox/bin/busybox ""; do
    [ -z "$b" ] || [ ! -f "$b" ] || break
done
[ -n "$b" ] || { say "busybox-static:armhf has no /bin/busybox nor /usr/bin/busybox"; exit 1; }
cp "$b" "$work/cache/busybox"
echo "$kernel" >"$work/cache/kernel-package"
mkdir -p "$cache"
# The list last: until it is there, the cache counts as empty.
rm -f "$cache/modules"
for f in vmlinuz busybox kernel-package $(cat "$work/cache/modules") modules; do
    mv "$work/cache/$f" "$cache/$f"
done
say "cached in $cache: $kernel, modules: $(echo $(cat "$cache/modules"))"
