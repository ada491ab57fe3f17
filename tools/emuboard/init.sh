#!/bin/busybox sh
# SPDX-License-Identifier: MIT
# PID 1 on the emulated board. It brings up the virtio console ports that carry the
# command's standard output, its standard error and the run's report, runs the command that
# /job gives under board-stamp, reports its status and powers the machine off. The
# kernel's own messages stay on the serial console.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# The kernel's virtio drivers that are modules, in load order: /etc/modules names them, and
# names none where the kernel has them built in.
while read -r m; do insmod "/lib/$m"; done </etc/modules
# The ports, found by name: the virtio console device can come up more than once while its
# driver starts, and a port of an instance that went away takes what is written and passes
# nothing on. So each is opened and held, and taken only once the driver shows it open.
mount -t debugfs debugfs /sys/kernel/debug
port() {
    for p in /sys/class/virtio-ports/*; do
        [ "$(cat "$p/name" 2>/dev/null)" = "emuboard.$1" ] && echo "/dev/${p##*/}" && return
    done
}
held() {
    grep -qx 'guest_connected: 1' "/sys/kernel/debug/virtio-ports/${1##*/}" 2>/dev/null
}
i=0
until out=$(port out) err=$(port err) report=$(port report) &&
    command exec 4>"$out" 5>"$err" 3>"$report" && held "$out" && held "$err" && held "$report"
do
    [ $i -lt 500 ] || poweroff -f
    usleep 20000
    i=$((i + 1))
done 2>/dev/null

# The FPGA manager and its bridges (emuboard --sysfs), in /sys/class beside the kernel's own
# classes, read-only: a tmpfs there, the kernel's classes bound back from a second mount of
# sysfs, and the tree of /sysfs.
if [ -d /sysfs ]; then
    mkdir /tmp/sys && mount -t sysfs sysfs /tmp/sys && mount -t tmpfs -o mode=0755 class /sys/class
    for c in /tmp/sys/class/*; do
        mkdir "/sys/class/${c##*/}" && mount --bind "$c" "/sys/class/${c##*/}"
    done
    cp -a /sysfs/. /sys/class/ && mount -o remount,ro /sys/class
fi

# /job sets `user` (root or nobody), `output` (port, full or closed), `errors` (port or
# closed), `configured` (before, or now: as the command starts) and the command in "$@".
. /job
echo ready >&3
# A design loaded now: the command starts once the block answers with its identity, as it
# would once a load of the design had ended (the host configures it on the line above).
if [ "$configured" = now ]; then
    i=0
    until [ "$(devmem 0xFF24103C 32)" = 0x42414401 ] || [ $i -ge 500 ]; do
        usleep 20000
        i=$((i + 1))
    done
fi
lines=
case $output in
full) exec 4>/dev/full ;;
closed) exec 4>&- ;;
*) lines=--lines ;;
esac
run() {
    if [ "$user" = root ]; then
        board-stamp $lines 3 "$@"
    else
        # /dev/mem open to everyone: what refuses the open is the kernel's own check for
        # CAP_SYS_RAWIO, not the file's mode.
        chmod 0666 /dev/mem
        su -s /bin/sh -c 'exec "$@"' -- nobody su board-stamp $lines 3 "$@"
    fi
}
# A stream closed on the host is closed for the command: not redirected, but closed.
out='>&4' err='2>&5'
[ "$output" = closed ] && out='>&-'
[ "$errors" = closed ] && err='2>&-'
eval "run \"\$@\" $out $err 4>&- 5>&-"
echo "status $?" >&3
poweroff -f
