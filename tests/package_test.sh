#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the board's .deb, checks what it holds and what lintian says of it, runs the
# packaged executable on the simulated board, and builds it again from a clone at another
# path to check that the bytes are the same. Where the board's build has no Maintainer (no
# DEBFULLNAME and DEBEMAIL, no git identity: a fresh machine), the test builds both
# packages itself, under a Maintainer of its own, which never reaches `make package`.
# usage: package_test.sh SOURCE-DIR BUILD-DIR -- SIMBOARD-COMMAND... -- EMULATOR...
set -eu
src=$1 build=$2; shift 3
simboard=""; while [ "$1" != -- ]; do simboard="$simboard $1"; shift; done; shift
emulator="$*"
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

maintainer=$(sed -n 's/^PACKAGE_MAINTAINER:[A-Z]*=//p' "$build/CMakeCache.txt")
own=
if [ -z "$maintainer" ]; then
    maintainer="battery-voltage test <test@battery-voltage.example.org>"
    own=yes
fi
# As make package does: the package's timestamps are the last commit's.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct)
    export SOURCE_DATE_EPOCH
fi

# package SOURCE-DIR BUILD-DIR OUT-DIR: the .deb of the sources at SOURCE-DIR, built only
# as far as the package needs.
package() {
    cmake -S "$1" -B "$2" -DCMAKE_TOOLCHAIN_FILE="$1/cmake/arm-linux-gnueabihf.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
        -DPACKAGE_MAINTAINER="$maintainer" >"$2.log" 2>&1 &&
        cmake --build "$2" --target battery-voltage battery-adc-status man-page \
            package-changelog >>"$2.log" 2>&1 &&
        cpack --config "$2/CPackConfig.cmake" -B "$3" >>"$2.log" 2>&1 ||
        { cat "$2.log"; fail "the package of $1"; }
}
if [ -n "$own" ]; then
    echo "no Maintainer configured; the package is built under: $maintainer"
    package "$src" "$work/build" "$work/out"
else
    cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
        { cat "$work/cpack.log"; fail "cpack"; }
fi
set -- "$work"/out/*.deb
[ $# = 1 ] || fail "expected one .deb, found: $*"
deb=$1
[ "$(basename "$deb")" = battery-voltage_1.0.0_armhf.deb ] || fail "named $(basename "$deb")"
[ "$(dpkg-deb -f "$deb" Architecture)" = armhf ] || fail "architecture $(dpkg-deb -f "$deb" Architecture)"
[ -z "$(dpkg-deb -f "$deb" Depends)" ] || fail "depends on $(dpkg-deb -f "$deb" Depends)"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort | tr '\n' ' ')
[ "$files" = "./usr/bin/battery-adc-status ./usr/bin/battery-voltage \
./usr/share/doc/battery-voltage/changelog.gz ./usr/share/doc/battery-voltage/copyright \
./usr/share/lintian/overrides/battery-voltage ./usr/share/man/man1/battery-adc-status.1.gz \
./usr/share/man/man1/battery-voltage.1.gz " ] || fail "holds: $files"
[ "$(dpkg-deb -f "$deb" Maintainer)" = "$maintainer" ] || fail "maintainer $(dpkg-deb -f "$deb" Maintainer)"

# Debian's own checker: no error and no warning. Its temporary files go in the work folder:
# lintian 2.116 leaves a database file or two behind in $TMPDIR on every run.
TMPDIR=$work lintian --fail-on error,warning "$deb" >"$work/lintian.txt" 2>/dev/null ||
    { cat "$work/lintian.txt"; fail "lintian"; }

dpkg-deb -x "$deb" "$work/root"
for name in battery-voltage battery-adc-status; do
    [ -x "$work/root/usr/bin/$name" ] || fail "$name: not executable"
    readelf -S "$work/root/usr/bin/$name" | grep -q '\.symtab' && fail "$name: not stripped"
    zcat "$work/root/usr/share/man/man1/$name.1.gz" | grep -q '^\.SH EXIT STATUS' ||
        fail "$name: man page"
done
tool=$work/root/usr/bin/battery-voltage

# The packaged binary on the board: ten exact lines and status 0.
status=0
$simboard --reading 4095 -- $emulator "$tool" >"$work/out.txt" 2>"$work/err.txt" || status=$?
expected=$(for i in 1 2 3 4 5 6 7 8 9 10; do echo "Battery voltage is: 4095"; done)
[ "$status" = 0 ] || fail "exit status $status"
[ "$(cat "$work/out.txt")" = "$expected" ] && [ "$(wc -l <"$work/out.txt")" = 10 ] ||
    fail "output: $(cat "$work/out.txt")"
[ ! -s "$work/err.txt" ] || fail "standard error: $(cat "$work/err.txt")"
# And its companion: the register alone at 4095 is no battery_adc block.
status=0
$simboard --reading 4095 -- $emulator "$work/root/usr/bin/battery-adc-status" --keys \
    >"$work/out.txt" 2>"$work/err.txt" || status=$?
[ "$status" = 5 ] && grep -qx 'word0=4095' "$work/out.txt" && grep -qx 'verdict=no-block' \
    "$work/out.txt" && [ ! -s "$work/err.txt" ] || fail "battery-adc-status: status $status: \
$(cat "$work/out.txt" "$work/err.txt")"
# The same bytes from a copy of the sources at another path, built only as far as the
# package needs.
mkdir -p "$work/elsewhere/battery-voltage"
git -C "$src" ls-files -z | (cd "$src" && xargs -0 tar -cf -) |
    tar -C "$work/elsewhere/battery-voltage" -xf -
package "$work/elsewhere/battery-voltage" "$work/elsewhere/build" "$work/elsewhere/out"
cmp "$deb" "$work/elsewhere/out/$(basename "$deb")" || fail "a copy elsewhere makes other bytes"
echo "ok: $(basename "$deb")"
