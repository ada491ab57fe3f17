#!/bin/sh
# SPDX-License-Identifier: MIT
# The kernel fetch, against an archive played here: apt-get, apt-cache and dpkg-deb
# stand-ins first in PATH hand out two small packages built with dpkg-deb. Each stand-in
# marks its pid and process group. The step that $SLOW names (update, download, extract)
# starts a child that writes where the real step's children do (apt's methods into the
# lists and the download, dpkg-deb's tar into the unpacked tree) every 50 ms, and that
# takes three more writes to end when asked, as tar finishes its file.
# Two fetches at once both succeed and download once. A signal to the fetch's process
# group, as a terminal sends it, inside each step, or in its first milliseconds: 128 + n,
# and no process of the fetch, no work folder, no change to the cache after it returns.
# A fetch killed outright: the next one waits for what it had started, sweeps its folder
# and succeeds. None of it goes through the caller's TMPDIR.
# usage: fetch_test.sh FETCH-SCRIPT
set -eu
fetch=$(cd "${1%/*}" && pwd)/${1##*/}
tmp=$(mktemp -d)
# groups FILE...: the process groups that these marks name.
groups() { cat "$@" 2>/dev/null | awk '{ print $3 }' | sort -u; }
# No process of a faulty fetch outlives the test, nor its folder, which they may write in
# until they are gone. Each fetch runs in a group of its own, so the test's is none of these.
trap 'for g in $(groups "$tmp"/*/marks); do kill -KILL -"$g" 2>/dev/null || :; done
    i=0
    until rm -rf "$tmp" 2>/dev/null || [ $i = 50 ]; do sleep 0.1; i=$((i + 1)); done' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# The archive: a kernel with its drivers built in and one Cyclone V tree, and a BusyBox.
mkdir -p "$tmp/k/DEBIAN" "$tmp/k/boot" "$tmp/k/usr/lib/linux-image-6.1.0-9-armmp" \
    "$tmp/b/DEBIAN" "$tmp/b/bin" "$tmp/bin" "$tmp/debs" "$tmp/failing-rm" "$tmp/callers"
n_case=0
control() { printf 'Package: %s\nVersion: 1\nArchitecture: armhf\nMaintainer: t <t@t>\nDescription: t\n' "$1"; }
control linux-image-6.1.0-9-armmp >"$tmp/k/DEBIAN/control"
control busybox-static >"$tmp/b/DEBIAN/control"
echo kernel >"$tmp/k/boot/vmlinuz-6.1.0-9-armmp"
printf 'CONFIG_VIRTIO=y\nCONFIG_VIRTIO_MMIO=y\nCONFIG_VIRTIO_CONSOLE=y\n' \
    >"$tmp/k/boot/config-6.1.0-9-armmp"
echo tree >"$tmp/k/usr/lib/linux-image-6.1.0-9-armmp/socfpga_cyclone5_socdk.dtb"
echo busybox >"$tmp/b/bin/busybox"
dpkg-deb -b -Zgzip "$tmp/k" "$tmp/debs/linux-image-6.1.0-9-armmp_1_armhf.deb" >/dev/null
dpkg-deb -b -Zgzip "$tmp/b" "$tmp/debs/busybox-static_1_armhf.deb" >/dev/null

cat >"$tmp/step" <<'EOF'
# mark WHAT: WHAT, this process's pid and its process group, a line of $MARKS.
mark() {
    read -r line </proc/self/stat
    set -- "$1" "${line%% *}" ${line##*) }
    echo "$1 $2 $5" >>"$MARKS"
}
# step NAME DIR: marks NAME; if $SLOW is NAME, a child writes into DIR, $WRITES times
# (600 unless told: 30 s), marking NAME-writer first and NAME-done once it has written all.
step() {
    mark "$1"
    [ "${SLOW:-}" = "$1" ] || return 0
    (
        mark "$1-writer"
        writes=${WRITES:-600}
        trap '[ $writes -le 3 ] || writes=3; done=' TERM
        done=yes
        while [ $writes -gt 0 ]; do
            mkdir -p "$2/written/$writes"
            sleep 0.05
            writes=$((writes - 1))
        done
        [ -z "$done" ] || mark "$1-done"
    ) &
    wait $!
}
EOF
cat >"$tmp/bin/apt-get" <<'EOF'
#!/bin/sh
. "${0%/*}/../step"
for a; do
    case $a in
    update) step update "${APT_CONFIG%/*}/lists"; exit 0 ;;
    download) step download "$PWD"; exec cp "${0%/*}"/../debs/*.deb . ;;
    esac
done
exit 1
EOF
cat >"$tmp/bin/dpkg-deb" <<EOF
#!/bin/sh
. "\${0%/*}/../step"
[ "\$1" != -x ] || step extract "\$3"
exec $(command -v dpkg-deb) "\$@"
EOF
printf '#!/bin/sh\nprintf "linux-image-armmp\\n  Depends: linux-image-6.1.0-9-armmp\\n"\n' \
    >"$tmp/bin/apt-cache"
# An rm that fails, as on a folder that something still writes in.
printf '#!/bin/sh\n%s "$@"\necho "rm: cannot remove: Directory not empty" >&2\nexit 1\n' \
    "$(command -v rm)" >"$tmp/failing-rm/rm"
chmod +x "$tmp/bin/apt-get" "$tmp/bin/dpkg-deb" "$tmp/bin/apt-cache" "$tmp/failing-rm/rm"
export PATH="$tmp/bin:$PATH" TMPDIR="$tmp/callers"

# fresh: a case of its own, in a folder of its own: the cache, the stand-ins' marks, the
# fetch's standard error.
fresh() {
    n_case=$((n_case + 1))
    mkdir "$tmp/$n_case"
    export EMUBOARD_CACHE="$tmp/$n_case/cache" MARKS="$tmp/$n_case/marks"
    cache=$EMUBOARD_CACHE log=$tmp/$n_case/log
}
# left: the processes of the case's fetch and steps still running, one "pid (command)" a
# line. One that has ended and waits to be collected writes nothing more.
left() {
    cat /proc/[0-9]*/stat 2>/dev/null | awk -v groups=" $(groups "$MARKS" | tr '\n' ' ') " '
        { match($0, /.*\) /); named = substr($0, 1, RLENGTH - 1) }
        { $0 = substr($0, RLENGTH + 1) }
        index(groups, " " $3 " ") && $1 != "Z" { print named }'
}
# started SHELL [VAR=VALUE...]: the fetch under SHELL, with VARs, in a process group of its
# own as a terminal starts a command; its pid in $f. A background job ignores SIGINT
# unless told otherwise.
started() {
    shell=$1
    shift
    setsid env --default-signal=INT "$@" "$shell" "$fetch" 2>>"$log" &
    f=$!
    echo "fetch $f $f" >>"$MARKS"
}
# until_marked WHAT: waits, 10 s at most, for a stand-in to mark WHAT.
until_marked() {
    i=0
    until grep -q "^$1 " "$MARKS" 2>/dev/null || [ $i = 500 ]; do
        sleep 0.02
        i=$((i + 1))
    done
    [ $i != 500 ] || fail "$case: no $1 within 10 s"
}
# ended STATUS: the fetch in $f has returned STATUS, and left nothing: no process, no work
# folder, nothing in TMPDIR, nothing that changes the cache afterwards. It stops a step in
# a fraction of a second; a step that ignored what it was sent would take the 5 s after
# which the fetch kills it.
ended() {
    i=0
    while kill -0 $f 2>/dev/null && [ $i -lt 300 ]; do sleep 0.05; i=$((i + 1)); done
    [ $i -lt 300 ] || { fail "$case: no end within 15 s"; kill -KILL -$f; }
    [ $i -lt 80 ] || fail "$case: took $((i / 20)) s to end"
    status=0
    wait $f || status=$?
    [ $status = "$1" ] || fail "$case: status $status, not $1: $(tail -n 3 "$log")"
    still=$(left)
    [ -z "$still" ] || fail "$case: still running after the fetch returned:" $still
    ! ls -d "$cache"/fetch.* >/dev/null 2>&1 || fail "$case: the work folder is left"
    [ -z "$(ls -A "$TMPDIR")" ] || fail "$case: written in TMPDIR: $(ls -A "$TMPDIR")"
    before=$(find "$cache" 2>/dev/null | sort)
    sleep 0.3
    [ "$(find "$cache" 2>/dev/null | sort)" = "$before" ] ||
        fail "$case: the cache changes after the end"
}

# Two at once: one downloads, the other waits for the lock and finds the cache full.
# Neither needs the caller's TMPDIR, even one that is not there.
fresh
started sh TMPDIR="$tmp/none" SLOW=download WRITES=10
a=$f
started sh TMPDIR="$tmp/none" SLOW=download WRITES=10
wait $a || fail "the first of two fetches at once: status $?: $(cat "$log")"
wait $f || fail "the second of two fetches at once: status $?: $(cat "$log")"
n=$(grep -c '^download ' "$MARKS") || :
[ "$n" = 1 ] || fail "two fetches at once downloaded $n times"
[ "$(cat "$cache/kernel-package")" = linux-image-6.1.0-9-armmp ] ||
    fail "two fetches at once left no whole cache"
grep -q waiting "$log" || fail "neither of two fetches at once waited"

# A signal inside each step, to the fetch's group or to the fetch alone; the steps up to it
# are the ones that ran, and the last of them did not finish. Some under bash, some with a
# cleanup whose rm fails.
while read -r step ran sig n to shell rm; do
    case="SIG$sig to the $to inside the $step (under $shell, rm $rm)"
    fresh
    path=$PATH
    [ "$rm" = real ] || path=$tmp/failing-rm:$PATH
    started "$shell" SLOW="$step" PATH="$path"
    until_marked "$step-writer"
    if [ "$to" = group ]; then kill -"$sig" -$f; else kill -"$sig" $f; fi
    ended $((128 + n))
    steps=$(awk '$1 !~ /-|fetch/ { print $1 }' "$MARKS" | tr '\n' _)
    [ "$steps" = "${ran}_" ] || fail "$case: the steps that ran: $steps"
    ! grep -q "^$step-done " "$MARKS" || fail "$case: the $step ran to its end"
done <<'EOF'
update   update                   INT  2  group sh   real
update   update                   TERM 15 group bash real
update   update                   HUP  1  group sh   failing
download update_download          INT  2  group bash failing
download update_download          TERM 15 fetch sh   real
download update_download          HUP  1  group sh   real
extract  update_download_extract  INT  2  group sh   real
extract  update_download_extract  TERM 15 group sh   failing
extract  update_download_extract  HUP  1  fetch bash real
extract  update_download_extract  TERM 15 group bash real
EOF

# The first milliseconds: a signal to the group as soon as the fetch's shell runs, or a
# little later, before its first step. (Before the shell, setsid and env ignore SIGINT.)
while read -r delay sig n; do
    case="SIG$sig ${delay} s after the fetch's shell starts"
    fresh
    started sh SLOW=extract
    i=0
    until [ "$(tr '\0' ' ' <"/proc/$f/cmdline" 2>/dev/null)" = "sh $fetch " ] ||
        [ $i = 1000 ]; do i=$((i + 1)); done
    [ "$delay" = 0 ] || sleep "$delay"
    kill -"$sig" -$f
    ended $((128 + n))
done <<'EOF'
0     TERM 15
0     INT  2
0.005 HUP  1
0.01  TERM 15
0.02  INT  2
0.05  HUP  1
EOF

# Killed outright inside the download: the download goes on, holding the lock, so the next
# fetch waits for it before it sweeps the folder, then succeeds.
case="a fetch after a kill -9 inside the download"
fresh
started sh SLOW=download WRITES=10
until_marked download-writer
kill -KILL $f
wait $f 2>/dev/null || :
started sh
ended 0
grep -q waiting "$log" || fail "$case: it did not wait for the killed fetch's download"
[ "$(cat "$cache/kernel-package" 2>/dev/null)" = linux-image-6.1.0-9-armmp ] ||
    fail "$case: no whole cache"
exit $failed
