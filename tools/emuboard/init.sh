#!/bin/busybox sh
# PID 1 on the emulated board. It brings up the virtio console ports that carry the
# command's standard output (port 1), its standard error (port 2) and the run's report
# (port 3), runs the command that /job gives under simboard-stamp, reports its status and
# powers the machine off. The kernel's own messages stay on the serial console.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
insmod /lib/virtio_mmio.ko
insmod /lib/virtio_console.ko
# A port's device node can appear a moment before the port opens.
i=0
until (: >/dev/vport0p1 && : >/dev/vport0p2 && : >/dev/vport0p3) 2>/dev/null; do
    [ $i -lt 500 ] || poweroff -f
    usleep 20000
    i=$((i + 1))
done

# /job sets `user` (root or nobody), `output` (port or full) and the command in "$@".
. /job
exec 3>/dev/vport0p3
echo ready >&3
if [ "$output" = full ]; then
    out=/dev/full lines=
else
    out=/dev/vport0p1 lines=--lines
fi
if [ "$user" = root ]; then
    simboard-stamp $lines 3 "$@" >"$out" 2>/dev/vport0p2
else
    # /dev/mem open to everyone: what refuses the open is the kernel's own check for
    # CAP_SYS_RAWIO, not the file's mode.
    chmod 0666 /dev/mem
    job="simboard-stamp $lines 3"
    for arg; do job="$job '$(printf '%s' "$arg" | sed "s/'/'\\\\''/g")'"; done
    su -s /bin/sh nobody -c "exec $job" >"$out" 2>/dev/vport0p2
fi
echo "status $?" >&3
poweroff -f
