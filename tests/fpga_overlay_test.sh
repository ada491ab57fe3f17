#!/bin/sh
# SPDX-License-Identifier: MIT
# The device-tree overlay on the Cyclone V device trees that Debian's own armhf kernel
# package ships, as the emulated board's cache keeps them ($CACHE/dtbs, where
# `fetch.sh --where` prints $CACHE). fdtoverlay applies it to each; fdtget then finds the
# lightweight bridge's controller enabled and releasing the bridge; the region's
# fpga-bridges naming that bridge and no other node, so that programming the FPGA through
# the region gates it; and the block's node in the region with the component's compatible,
# at 0xFF241000 for 0x40 bytes as the processor sees it (through every ranges above it),
# with no property but those two, none that the component's parameters could make stale.
# Usage: fpga_overlay_test.sh FPGA_DIR FETCH_SCRIPT
for tool in dtc fdtoverlay fdtget; do
    command -v $tool >/dev/null ||
        { echo "$tool is missing: apt-get install device-tree-compiler"; exit 1; }
done
fpga=$1
# An older fetch.sh takes no --where and would fetch instead.
grep -q -- '--where' "$2" || { echo "$2 cannot say where its cache is (--where)"; exit 1; }
cache=$(sh "$2" --where) && [ -n "$cache" ] || { echo "$2 --where names no cache"; exit 1; }
set -- "$cache"/dtbs/socfpga_cyclone5*.dtb
[ -f "$1" ] || { echo "no Cyclone V device trees in $cache/dtbs: run make emuboard-kernel"; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

out=$(dtc -@ -Wno-avoid_unnecessary_addr_size -I dts -O dtb -o "$tmp/overlay.dtbo" \
    "$fpga/battery_adc.dtso" 2>&1) || { echo "dtc: $out"; exit 1; }
compatible=$(sed -n 's/.*embeddedsw.dts.compatible \(.*\)$/\1/p' "$fpga/battery_adc_hw.tcl")
region=/soc/base_fpga_region
bridge=/soc/fpga_bridge@ff400000

# cpu_address NODE: the node's first reg, as "address size" in the processor's addresses:
# translated through the ranges of each bus above it (empty: the same addresses).
cpu_address() {
    set -- "$1" $(fdtget -t u "$dtb" "$1" reg) || return 1
    node=$1 address=$2 size=$3
    [ $# = 3 ] || { echo "$node: reg is not one address and one size"; return 1; }
    bus=${node%/*}
    while [ -n "$bus" ]; do
        ranges=$(fdtget -t u "$dtb" "$bus" ranges 2>/dev/null) ||
            { echo "$bus has no ranges: $node has no address for the processor"; return 1; }
        if [ -n "$ranges" ]; then
            set -- $ranges
            mapped=
            while [ $# -ge 3 ]; do
                if [ "$address" -ge "$1" ] && [ $((address + size)) -le $(($1 + $3)) ]; then
                    mapped=$((address - $1 + $2))
                    break
                fi
                shift 3
            done
            [ -n "$mapped" ] || { echo "$bus's ranges do not hold $node"; return 1; }
            address=$mapped
        fi
        bus=${bus%/*}
    done
    printf '0x%x 0x%x\n' "$address" "$size"
}

# node_of PHANDLE: the path of the node whose phandle it is, one line each.
node_of() {
    dtc -I dtb -O dts "$dtb" 2>/dev/null | awk -v want="$1" '
        /^[ \t]*[^ \t]+ \{$/ { path[++depth] = $1 == "/" ? "" : $1; next }
        /^[ \t]*\};$/ { depth--; next }
        /^[ \t]*phandle = </ { p = $3; gsub(/[<>;]/, "", p)
            if (p == sprintf("0x%x", want)) {
                out = ""; for (i = 2; i <= depth; i++) out = out "/" path[i]; print out } }'
}

status=0
for dtb in "$@"; do
    name=${dtb##*/}
    fail() { echo "$name: $*"; status=1; }
    fdtoverlay -i "$dtb" -o "$tmp/$name" "$tmp/overlay.dtbo" 2>"$tmp/err" ||
        { fail "fdtoverlay: $(tr -s '\n' ' ' <"$tmp/err")"; continue; }
    dtb=$tmp/$name
    [ "$(fdtget -t s "$dtb" $region compatible)" = fpga-region ] || fail "$region is no FPGA region"
    [ "$(fdtget -t s "$dtb" $bridge compatible)" = altr,socfpga-lwhps2fpga-bridge ] ||
        fail "$bridge is not the lightweight bridge"
    [ "$(fdtget -t s "$dtb" $bridge status 2>/dev/null)" = okay ] || fail "the lightweight bridge is not okay"
    [ "$(fdtget -t u "$dtb" $bridge bridge-enable 2>/dev/null)" = 1 ] ||
        fail "the lightweight bridge is not released from reset (bridge-enable)"
    gates=$(fdtget -t u "$dtb" $region fpga-bridges 2>/dev/null)
    if [ "$(echo $gates | wc -w)" != 1 ]; then
        fail "$region's fpga-bridges is not one bridge: '$gates'"
    elif [ "$(node_of "$gates")" != $bridge ]; then
        fail "$region's fpga-bridges names '$(node_of "$gates" | tr '\n' ' ')', not $bridge"
    fi
    nodes=$(for n in $(fdtget -l "$dtb" $region); do
        [ "$(fdtget -t s "$dtb" "$region/$n" compatible 2>/dev/null)" = "$compatible" ] &&
            echo "$region/$n"
    done)
    [ "$(echo "$nodes" | grep -c .)" = 1 ] ||
        { fail "not one node with compatible $compatible in $region: $nodes"; continue; }
    at=$(cpu_address "$nodes") || { fail "$at"; continue; }
    [ "$at" = "0xff241000 0x40" ] || fail "$nodes is at $at, not 0xff241000 0x40"
    props=$(fdtget -p "$dtb" "$nodes" | sort | tr '\n' ' ')
    [ "$props" = "compatible reg " ] || fail "$nodes holds $props: more than compatible and reg"
    [ $status = 0 ] && echo "$name: $nodes ($compatible) at $at; lightweight bridge okay, gated by the region"
done
exit $status
