#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# `make check` on Debian 13 ("trixie"), from this machine, as root: makes a clean trixie root
# with mmdebstrap from Debian's archive, clones the current commit into it and runs
# `make check` there as root, which installs the packages it needs inside the root. The
# root gets /proc, /sys, /dev and is a mount point of its own, so that bubblewrap works in
# it. Everything is unmounted and removed afterwards, whatever the outcome, and the exit
# status is the command's.
#
# usage: check.sh [COMMAND...]   (default: make check; run in the clone, inside the root)
#
# Only committed work is checked: the clone is of HEAD. The bare root is kept as a tarball
# for a day in battery-voltage/debian13 under the user's cache directory (tools/cache-dir.sh:
# ~/.cache unless XDG_CACHE_HOME says otherwise), and the packages that make check
# downloads are kept there too, so a second run fetches little. The emulated board's
# kernel is fetched inside the root (Debian 13's differs) into a cache kept there as well.
# Environment: DEBIAN_MIRROR (default http://deb.debian.org/debian): the archive the root
# comes from and the emulated board's kernel is fetched from; DEBIAN13_MIRROR, if set,
# names it for this check alone.
set -euo pipefail

say() { echo "debian13: $*" >&2; }
if [ "$(id -u)" != 0 ]; then
    say "run me as root: I make a root with mmdebstrap and mount into it"
    exit 1
fi
repo=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
commit=$(git -C "$repo" rev-parse HEAD)
[ $# -gt 0 ] || set -- make check

mirror=${DEBIAN13_MIRROR:-${DEBIAN_MIRROR:-http://deb.debian.org/debian}}
mirror=${mirror%/}
export DEBIAN_MIRROR=$mirror
security=${mirror%/debian}/debian-security
cache=$(sh "$repo/tools/cache-dir.sh" debian13)
missing=
for p in mmdebstrap debian-archive-keyring; do
    dpkg-query -W -f='${db:Status-Status}\n' "$p" 2>/dev/null | grep -qx installed ||
        missing="$missing $p"
done
if [ -n "$missing" ]; then
    say "installing$missing"
    sh "$repo/tools/apt-install.sh" $missing
fi

started=$SECONDS
mkdir -p "$cache/archives/partial"
# Kept downloads that no run has needed for a month go.
find "$cache/archives" -name '*.deb' -atime +30 -delete
# The bare root: apt, make and git, and apt's sources for trixie. A day's tarball is reused.
tarball=$cache/trixie-$(date -u +%Y%m%d).tar
if [ ! -f "$tarball" ]; then
    say "making a trixie root from $mirror"
    rm -rf "$cache"/trixie-*.tar "$cache"/trixie-*.tar.part
    mmdebstrap --quiet --variant=apt --format=tar \
        --include=make,git,ca-certificates,debian-archive-keyring trixie "$tarball.part" \
        "deb $mirror trixie main" "deb $mirror trixie-updates main" \
        "deb $security trixie-security main"
    mv "$tarball.part" "$tarball"
    say "root made in $((SECONDS - started)) s"
fi

work=$(mktemp -d "${TMPDIR:-/var/tmp}/debian13.XXXXXX")
root=$work/root
pid=
cleanup() {
    status=$?
    trap - EXIT INT TERM HUP
    # The mounts live in the runner's own mount namespace and go with its processes, which
    # are a process group of their own.
    if [ -n "$pid" ]; then
        kill -TERM -- "-$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        sleep 1
        kill -KILL -- "-$pid" 2>/dev/null || true
    fi
    if findmnt -rno TARGET | grep -q "^$work/"; then
        # Never remove through a mount: the root's /dev is the host's.
        findmnt -rno TARGET | grep "^$work/" | sort -r | xargs -r -n 1 umount -l || true
    fi
    findmnt -rno TARGET | grep -q "^$work/" || rm -rf --one-file-system "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

mkdir "$root"
tar -xf "$tarball" -C "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
# A fresh clone of the current commit, as a new user would have it; the commit need not be
# on a branch.
clone=$root/root/battery-voltage
git -c init.defaultBranch=main init --quiet "$clone"
git -C "$clone" fetch --quiet "$repo" "$commit"
git -C "$clone" checkout --quiet -B main FETCH_HEAD
# The package's Maintainer, as here: DEBFULLNAME and DEBEMAIL, else this clone's git identity.
for key in user.name user.email; do
    value=$(git -C "$repo" config "$key") && git -C "$clone" config "$key" "$value" || true
done
say "ready in $((SECONDS - started)) s; running $* at ${commit:0:12}"

# In a mount namespace of its own: the root bound on itself (a mount point, as bubblewrap
# needs), the kernel's file systems, the host's /dev, the kept package downloads, and the
# emulated board's cache of Debian 13's kernel, kept here too so that it is fetched once.
mkdir -p "$cache/emuboard" "$root/root/.cache/battery-voltage/emuboard"
set -m
unshare --mount --propagation private -- /bin/sh -euc '
    root=$1 archives=$2 emuboard=$3; shift 3
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    mount --bind "$archives" "$root/var/cache/apt/archives"
    mount --bind "$emuboard" "$root/root/.cache/battery-voltage/emuboard"
    # The root becomes the namespace root, not a chroot: in a chroot the kernel makes no user
    # namespace, which an ordinary user board needs. The old root goes, with the host umount,
    # as the new root may have none.
    umount=$(command -v umount)
    cd "$root"
    pivot_root . mnt
    "/mnt$umount" -l /mnt
    exec /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
        CI="${CI:-}" DEBFULLNAME="${DEBFULLNAME:-}" DEBEMAIL="${DEBEMAIL:-}" \
        DEBIAN_MIRROR="$DEBIAN_MIRROR" \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/sh -c "cd /root/battery-voltage && exec \"\$@\"" sh "$@"
' sh "$root" "$cache/archives" "$cache/emuboard" "$@" &
pid=$!
status=0
wait "$pid" || status=$?
pid=
say "$* exited $status after $((SECONDS - started)) s in all"
exit "$status"
