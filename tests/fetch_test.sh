#!/bin/sh
# SPDX-License-Identifier: MIT
# The kernel fetch, against an archive played here: apt-get and apt-cache stand-ins first in
# PATH that hand out two small packages built with dpkg-deb. Two fetches into one cache at
# once both succeed and download once; a fetch ended by a signal exits as a shell reports
# it and leaves neither its folder nor its download running; a folder that a kill -9 left
# is swept by the next fetch.
# usage: fetch_test.sh FETCH-SCRIPT
set -eu
fetch=$(cd "${1%/*}" && pwd)/${1##*/}
tmp=$(mktemp -d)
# No download outlives the test, whatever a faulty fetch left.
trap 'kill $(cat "$tmp/downloads" 2>/dev/null) 2>/dev/null || :; rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# The archive: a kernel with its drivers built in and one Cyclone V tree, and a BusyBox.
mkdir -p "$tmp/k/DEBIAN" "$tmp/k/boot" "$tmp/k/usr/lib/linux-image-6.1.0-9-armmp" \
    "$tmp/b/DEBIAN" "$tmp/b/bin" "$tmp/bin"
control() { printf 'Package: %s\nVersion: 1\nArchitecture: armhf\nMaintainer: t <t@t>\nDescription: t\n' "$1"; }
control linux-image-6.1.0-9-armmp >"$tmp/k/DEBIAN/control"
control busybox-static >"$tmp/b/DEBIAN/control"
echo kernel >"$tmp/k/boot/vmlinuz-6.1.0-9-armmp"
printf 'CONFIG_VIRTIO=y\nCONFIG_VIRTIO_MMIO=y\nCONFIG_VIRTIO_CONSOLE=y\n' \
    >"$tmp/k/boot/config-6.1.0-9-armmp"
echo tree >"$tmp/k/usr/lib/linux-image-6.1.0-9-armmp/socfpga_cyclone5_socdk.dtb"
echo busybox >"$tmp/b/bin/busybox"
dpkg-deb -b -Zgzip "$tmp/k" "$tmp/linux-image-6.1.0-9-armmp_1_armhf.deb" >/dev/null
dpkg-deb -b -Zgzip "$tmp/b" "$tmp/busybox-static_1_armhf.deb" >/dev/null
# A download logs itself, takes $DELAY seconds, or with $HANG never ends (its pid in hung).
cat >"$tmp/bin/apt-get" <<EOF
#!/bin/sh
for a; do
    case \$a in
    update) exit 0 ;;
    download)
        echo \$\$ >>"$tmp/downloads"
        [ -z "\${HANG:-}" ] || { echo \$\$ >"$tmp/hung"; exec sleep 60; }
        sleep "\${DELAY:-0}"
        exec cp "$tmp"/*.deb . ;;
    esac
done
exit 1
EOF
printf '#!/bin/sh\nprintf "linux-image-armmp\\n  Depends: linux-image-6.1.0-9-armmp\\n"\n' \
    >"$tmp/bin/apt-cache"
chmod +x "$tmp/bin/apt-get" "$tmp/bin/apt-cache"
export PATH="$tmp/bin:$PATH" EMUBOARD_CACHE="$tmp/cache"
downloads() { cat "$tmp/downloads" 2>/dev/null | wc -l; }

# Two at once: one downloads, the other waits for the lock and finds the cache full.
DELAY=2 sh "$fetch" 2>"$tmp/a.log" & a=$!
DELAY=2 sh "$fetch" 2>"$tmp/b.log" & b=$!
wait $a || fail "the first of two fetches at once: status $?: $(cat "$tmp/a.log")"
wait $b || fail "the second of two fetches at once: status $?: $(cat "$tmp/b.log")"
[ "$(downloads)" = 1 ] || fail "two fetches at once downloaded $(downloads) times"
[ "$(cat "$EMUBOARD_CACHE/kernel-package")" = linux-image-6.1.0-9-armmp ] ||
    fail "two fetches at once left no whole cache"
grep -q waiting "$tmp/a.log" "$tmp/b.log" || fail "neither of two fetches at once waited"

# What a kill -9 left: swept by the next fetch, which finds the cache full.
mkdir -p "$EMUBOARD_CACHE/fetch.left/kernel"
sh "$fetch" || fail "a fetch after a kill -9: status $?"
[ ! -e "$EMUBOARD_CACHE/fetch.left" ] || fail "a folder that a kill -9 left is still there"

# A signal while the download runs: 128 + n, and nothing left, the download included.
for sig in HUP:1 INT:2 TERM:15; do
    rm -rf "$EMUBOARD_CACHE" "$tmp/hung"
    # A command started in the background ignores SIGINT unless told otherwise.
    HANG=1 env --default-signal=INT sh "$fetch" 2>/dev/null & f=$!
    i=0
    until [ -s "$tmp/hung" ] || [ $i = 100 ]; do sleep 0.1; i=$((i + 1)); done
    kill -"${sig%:*}" $f
    i=0
    while kill -0 $f 2>/dev/null && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
    [ $i -lt 50 ] || { fail "SIG${sig%:*}: no end within 5 s"; kill -9 $f; }
    status=0
    wait $f || status=$?
    [ $status = $((128 + ${sig#*:})) ] || fail "SIG${sig%:*}: status $status"
    ! ls -d "$EMUBOARD_CACHE"/fetch.* 2>/dev/null || fail "SIG${sig%:*}: the work folder is left"
    ! kill -0 "$(cat "$tmp/hung")" 2>/dev/null || fail "SIG${sig%:*}: the download runs on"
done
exit $failed
