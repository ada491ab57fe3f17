#!/bin/sh
# SPDX-License-Identifier: MIT
# Fetches what the emulated board boots, once: Debian's ARMv7 kernel (the package that
# linux-image-armmp depends on, armhf), those of its virtio drivers that it builds as
# modules, its device trees, and a static BusyBox (busybox-static, armhf). They go to the
# cache, outside the work tree; once they are there, nothing is fetched again and the board
# works offline.
#
# The cache then holds:
#   vmlinuz         the kernel
#   busybox         the static BusyBox
#   kernel-package  the name of the kernel's package, on one line
#   modules         the modules that the guest loads, one file name a line, in load order
#                   (it may be empty: a driver built into the kernel needs none)
#   *.ko            each module that `modules` names, uncompressed
#   dtbs/           the kernel's own Cyclone V device trees (socfpga_cyclone5*.dtb)
#   apt/            the fetch's own apt: see below
#   lock            held by the fetch that runs: another into the same cache waits for it,
#                   then finds the cache full
#   fetch.*         a running fetch's work, removed on every way out; one that a kill -9
#                   left is removed by the next fetch that takes the lock, which it gets
#                   once what the killed fetch had started has ended
#
# Which driver is a module is the kernel's own word: its config file says =m or =y. Debian
# 12 builds virtio_mmio and virtio_console as modules under /lib/modules; Debian 13 builds
# virtio_console in, and its modules are under /usr/lib/modules.
#
# It asks Debian's archive through an apt of its own, kept under the cache in apt/: its own
# configuration, sources list (the main suite of this machine's release, armhf only,
# signed by the Debian archive keyring), package lists, downloads and an empty package
# status. It reads nothing of this machine's apt configuration but its proxy, writes
# nothing outside the cache, and needs no root: any user fetches into a cache of their own.
#
# usage: fetch.sh            fetch, unless the cache holds everything already
#        fetch.sh --where    print the cache directory: $EMUBOARD_CACHE, else
#                            battery-voltage/emuboard under the user's cache directory
# Environment: DEBIAN_MIRROR (default http://deb.debian.org/debian): the archive to ask.
set -eu
say() { echo "emuboard: $*" >&2; }
cache=${EMUBOARD_CACHE:-}
[ -n "$cache" ] || cache=$(sh "$(dirname "$0")/../cache-dir.sh" emuboard)
case ${1:-} in
--where) echo "$cache"; exit 0 ;;
"") ;;
*) echo "usage: fetch.sh [--where]" >&2; exit 2 ;;
esac

cached() {
    for f in vmlinuz busybox kernel-package; do [ -s "$cache/$f" ] || return 1; done
    [ -f "$cache/modules" ] || return 1
    while read -r m; do [ -s "$cache/$m" ] || return 1; done <"$cache/modules"
    for dtb in "$cache"/dtbs/socfpga_cyclone5*.dtb; do [ -s "$dtb" ] || return 1; done
}
# A fetch's own folders: one that is there while no fetch holds the lock was left by a
# fetch that was killed outright.
leftovers() {
    for d in "$cache"/fetch.*; do [ -e "$d" ] && return 0; done
    return 1
}
cached && ! leftovers && exit 0
case $cache in /*) ;; *) cache=$PWD/$cache ;; esac

# Every way out leaves nothing: the step that runs is stopped and waited for with all that it
# started, and only then is the work folder removed. Each step is a session of its own
# (setsid), so that its group can be signalled and watched whole: a step's children (apt's
# methods, dpkg-deb's tar) outlive a signal to the step alone, and a background job of sh
# ignores SIGINT. dash runs the EXIT trap on exit, but not on a signal: each termination
# signal exits as a shell reports it, through the EXIT trap, whose own failures keep that
# status.
step='' work='' starting='' pending=''
cleanup() {
    status=$?
    set +e
    trap '' HUP INT TERM
    [ -z "$step" ] || stop
    [ -z "$work" ] || rm -rf "$work"
    exit "$status"
}
# A signal between a step's start and the shell learning its pid is acted on once it knows.
on_signal() {
    [ -z "$starting" ] || { pending=$1; return 0; }
    exit "$1"
}
trap cleanup EXIT
trap 'on_signal 129' HUP
trap 'on_signal 130' INT
trap 'on_signal 143' TERM
# running: a process of the step's group is alive. One that has ended, and waits for its
# parent (or, orphaned, for init) to collect it, writes nothing more and does not count.
# In /proc/PID/stat, after the command's name, which may hold anything up to its last ')',
# come the state and the parent, then the group.
running() {
    kill -0 -"$step" 2>/dev/null || return 1
    cat /proc/[0-9]*/stat 2>/dev/null | awk -v group="$step" '
        { sub(/.*\) /, "") }
        $3 == group && $1 != "Z" { alive = 1 }
        END { exit !alive }'
}
# stop: no process of the step is left: its group is told to end, killed if it has not
# after a hundred looks (some 5 s), and waited for; one stuck in the kernel is given up on
# after twice that. While one of its processes lives, the group's number is not given to
# another, so the signal reaches none but the step's.
stop() {
    n=0
    while running && [ $n -lt 200 ]; do
        [ $n != 0 ] || kill -TERM -"$step" 2>/dev/null || :
        [ $n != 100 ] || kill -KILL -"$step" 2>/dev/null || :
        sleep 0.05
        n=$((n + 1))
    done
    wait "$step" 2>/dev/null || :
    step=
}
# run COMMAND...: COMMAND as a step, waited for so that a signal is acted on at once, not
# once it ends. A background job of a shell without job control is no group leader, so
# setsid makes the session in place: the step's pid names its group. The step keeps the
# lock (descriptor 9): what a fetch killed outright had started holds off the next fetch,
# which would otherwise remove a folder that it still writes in.
run() {
    starting=yes
    setsid "$@" &
    step=$!
    starting=
    [ -z "$pending" ] || exit "$pending"
    s=0
    wait "$step" || s=$?
    stop
    return $s
}

# One fetch at a time in a cache: the lock is held until the end, and the cache is looked at
# again once it is held, since the fetch that held it may have filled it.
mkdir -p "$cache"
exec 9>>"$cache/lock" || { say "cannot write $cache/lock"; exit 1; }
if ! flock -n 9; then
    say "another fetch into $cache is running; waiting for it"
    run flock 9 || { say "cannot lock $cache/lock"; exit 1; }
fi
rm -rf "$cache"/fetch.* || :
cached && exit 0

# What the fetch needs of this machine; the Makefile's emu-deps installs it as root.
keyring=
for k in /usr/share/keyrings/debian-archive-keyring.gpg \
    /usr/share/keyrings/debian-archive-keyring.pgp; do
    [ -s "$k" ] && keyring=$k && break
done
missing=
[ -n "$keyring" ] || missing="$missing debian-archive-keyring"
command -v xz >/dev/null || missing="$missing xz-utils"
if [ -n "$missing" ]; then
    say "the fetch needs Debian packages; as root, run: apt-get install -y$missing"
    exit 1
fi
codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}") || codename=
[ -n "$codename" ] || { say "/etc/os-release names no Debian release (VERSION_CODENAME)"; exit 1; }
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
mirror=${mirror%/}

# This machine's proxy for apt, if it has one, before apt's configuration becomes ours.
http_proxy_apt='' https_proxy_apt=
eval "$(apt-config shell http_proxy_apt Acquire::http::Proxy \
    https_proxy_apt Acquire::https::Proxy 2>/dev/null)" || true
set --
[ -z "$http_proxy_apt" ] || set -- "$@" -o "Acquire::http::Proxy=$http_proxy_apt"
[ -z "$https_proxy_apt" ] || set -- "$@" -o "Acquire::https::Proxy=$https_proxy_apt"

state=$cache/apt
mkdir -p "$state/etc/apt.conf.d" "$state/etc/sources.list.d" "$state/etc/preferences.d" \
    "$state/etc/trusted.gpg.d" "$state/etc/auth.conf.d" "$state/lists/partial" \
    "$state/cache/archives/partial" "$state/log"
[ -f "$state/status" ] || : >"$state/status"
echo "deb [arch=armhf signed-by=$keyring] $mirror $codename main" >"$state/etc/sources.list"
# Every directory apt reads or writes is here; the main config file and the parts
# directory too, so that none of this machine's hooks (APT::Update::Post-Invoke...) run.
cat >"$state/apt.conf" <<EOC
Dir::Etc "$state/etc/";
Dir::Etc::main "$state/etc/apt.conf";
Dir::State "$state/";
Dir::State::status "$state/status";
Dir::Cache "$state/cache/";
Dir::Cache::pkgcache "";
Dir::Cache::srcpkgcache "";
Dir::Log "$state/log/";
APT::Architecture "armhf";
APT::Architectures "armhf";
Acquire::Languages "none";
Acquire::GzipIndexes "true";
Acquire::Retries "2";
Debug::NoLocking "true";
EOC
# As root, apt would hand the download to its own user, who may not reach this cache.
[ "$(id -u)" != 0 ] || echo 'APT::Sandbox::User "root";' >>"$state/apt.conf"
APT_CONFIG=$state/apt.conf
export APT_CONFIG

work=$(mktemp -d "$cache/fetch.XXXXXX")
# retry WHAT COMMAND...: COMMAND, up to three times with a pause between; if every try
# fails, says in one line what failed and the first error apt gave.
retry() {
    what=$1; shift
    for try in 1 2 3; do
        "$@" >"$work/log" 2>&1 && return 0
        [ $try = 3 ] || run sleep "${FETCH_PAUSE:-10}"
    done
    why=$(grep -E -m 1 '^(E|Error):' "$work/log" || grep -E -m 1 '^(W|Warning):' "$work/log" ||
        tail -n 1 "$work/log")
    say "$what from $mirror failed 3 times: $why"
    return 1
}
# apt-get update takes an index that it could not fetch for a warning; here it is a failure.
update() {
    run apt-get "$@" update || return 1
    ! grep -E -q '^(E|W|Error|Warning): (Failed to fetch|Some index files failed)' "$work/log"
}
kernel_package() {
    apt-cache depends linux-image-armmp 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}
updated=yes
retry "apt-get update of $codename main armhf" update "$@" || updated=
kernel=$(kernel_package)
if [ -z "$kernel" ]; then
    [ -z "$updated" ] || say "$codename main armhf at $mirror has no linux-image-armmp"
    exit 1
fi
[ -n "$updated" ] || say "going on with the package lists of an earlier fetch"

say "fetching $kernel and busybox-static (armhf, about 45 MB, once)"
cd "$work"
retry "downloading $kernel and busybox-static" run apt-get "$@" download "$kernel" busybox-static ||
    exit 1
cd /
run dpkg-deb -x "$work"/linux-image-*.deb "$work/kernel"
run dpkg-deb -x "$work"/busybox-static_*.deb "$work/busybox"
mkdir -p "$work/cache/dtbs"
set -- "$work"/kernel/boot/vmlinuz-*
[ $# = 1 ] && [ -f "$1" ] || { say "$kernel has no one /boot/vmlinuz-*"; exit 1; }
cp "$1" "$work/cache/vmlinuz"
set -- "$work"/kernel/boot/config-*
[ $# = 1 ] && [ -f "$1" ] || { say "$kernel has no one /boot/config-*"; exit 1; }
config=$1
# The device trees: flat in /usr/lib/linux-image-VERSION/ up to Linux 6.4, under
# intel/socfpga/ there from 6.5 on.
find "$work/kernel/usr/lib" -path '*/linux-image-*/*' -name 'socfpga_cyclone5*.dtb' \
    -exec cp {} "$work/cache/dtbs/" \;
for dtb in "$work"/cache/dtbs/socfpga_cyclone5*.dtb; do
    [ -s "$dtb" ] || { say "$kernel has no socfpga_cyclone5*.dtb"; exit 1; }
done

# unpack COMMAND PACKAGE: COMMAND is there, or the fetch stops and says what to install.
unpack() {
    command -v "$1" >/dev/null && return 0
    say "unpacking $kernel's modules needs $1; as root, run: apt-get install -y $2"
    exit 1
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
[ -n "$b" ] || { say "busybox-static has no /bin/busybox nor /usr/bin/busybox"; exit 1; }
cp "$b" "$work/cache/busybox"
echo "$kernel" >"$work/cache/kernel-package"
# The list last: until it is there, the cache counts as empty.
rm -f "$cache/modules"
rm -rf "$cache/dtbs"
for f in vmlinuz busybox kernel-package dtbs $(cat "$work/cache/modules") modules; do
    mv "$work/cache/$f" "$cache/$f"
done
say "cached in $cache: $kernel, modules: $(tr '\n' ' ' <"$cache/modules")and" \
    "$(find "$cache/dtbs" -name '*.dtb' | wc -l) device trees"
