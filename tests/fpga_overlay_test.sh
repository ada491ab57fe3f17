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
# Nothing else in the tree changes: no node or property outside those two nodes but the
# label that names the bridge. battery_adc_load.dtso, applied after it, adds firmware-name
# to the region and nothing else. Planted in copies of the overlays, a fragment that also
# enables the heavy bridge, firmware-name in the first overlay, and the second aimed at a
# region that is not there each fail by name.
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

# compile DTSO DTBO: as docs/bring-up.md compiles an overlay.
compile() {
    out=$(dtc -@ -Wno-avoid_unnecessary_addr_size -I dts -O dtb -o "$2" "$1" 2>&1) ||
        { echo "dtc: $out"; return 1; }
}
compile "$fpga/battery_adc.dtso" "$tmp/overlay.dtbo" && compile "$fpga/battery_adc_load.dtso" "$tmp/load.dtbo" ||
    exit 1
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

# changes BEFORE AFTER ALLOWED: each property or node that differs between the two trees,
# as "PATH PROPERTY = VALUE" or "PATH {", that the extended regular expression ALLOWED
# does not match.
changes() {
    for t in "$1" "$2"; do
        dtc -I dtb -O dts "$t" 2>/dev/null | awk '
            function here(out, i) { for (i = 2; i <= depth; i++) out = out "/" path[i]; return out == "" ? "/" : out }
            /^[ \t]*[^ \t]+ \{$/ { path[++depth] = $1 == "/" ? "" : $1; print here() " {"; next }
            /^[ \t]*\};$/ { depth--; next }
            /;$/ { line = $0; sub(/^[ \t]+/, "", line); print here() " " line }' | sort >"$t.flat"
    done
    diff "$1.flat" "$2.flat" | sed -n 's/^[<>] //p' | grep -v -E "$3"
}
overlay_changes='^(/__symbols__ (\{|lw_bridge = )|/soc/fpga_bridge@ff400000 (status|bridge-enable|phandle) |/soc/base_fpga_region (ranges|fpga-bridges|#address-cells|#size-cells)[ ;]|/soc/base_fpga_region/adc@ff241000 )'
load_changes='^/soc/base_fpga_region firmware-name = "battery_adc.rbf";$'

# node_of PHANDLE: the path of the node whose phandle it is, one line each.
node_of() {
    dtc -I dtb -O dts "$dtb" 2>/dev/null | awk -v want="$1" '
        /^[ \t]*[^ \t]+ \{$/ { path[++depth] = $1 == "/" ? "" : $1; next }
        /^[ \t]*\};$/ { depth--; next }
        /^[ \t]*phandle = </ { p = $3; gsub(/[<>;]/, "", p)
            if (p == sprintf("0x%x", want)) {
                out = ""; for (i = 2; i <= depth; i++) out = out "/" path[i]; print out } }'
}

# verify OVERLAY LOAD DTB...: the compiled overlays, OVERLAY then LOAD, applied to each tree.
verify() {
    overlay=$1 load=$2 failed=0
    shift 2
    for dtb in "$@"; do
        name=${dtb##*/} base=$dtb
        fdtoverlay -i "$dtb" -o "$tmp/$name" "$overlay" 2>"$tmp/err" ||
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
        other=$(changes "$base" "$dtb" "$overlay_changes" | head -5) && [ -n "$other" ] &&
            fail "the overlay changes more: $other"
        fdtoverlay -i "$dtb" -o "$dtb.load" "$load" 2>"$tmp/err" ||
            { fail "battery_adc_load.dtso: fdtoverlay: $(tr -s '\n' ' ' <"$tmp/err")"; continue; }
        other=$(changes "$dtb" "$dtb.load" "$load_changes" | head -5) && [ -n "$other" ] &&
            fail "battery_adc_load.dtso changes more: $other"
        [ "$(fdtget -t s "$dtb.load" $region firmware-name 2>/dev/null)" = battery_adc.rbf ] ||
            fail "battery_adc_load.dtso does not name battery_adc.rbf in $region"
        [ $failed = 0 ] && echo "$name: $nodes ($compatible) at $at; lightweight bridge okay, gated by the region; nothing else changed; then battery_adc.rbf"
    done
    return $failed
}
fail() { echo "$name: $*"; failed=1; }

status=0
verify "$tmp/overlay.dtbo" "$tmp/load.dtbo" "$@" || status=1

# Planted in copies of the overlays, each fails on the first tree and says PATTERN.
plant() { # plant NAME FILE SED PATTERN
    sed "$3" "$fpga/$2" >"$tmp/$1.dtso"
    if cmp -s "$tmp/$1.dtso" "$fpga/$2"; then echo "planted $1: $3 changes nothing"; status=1; return; fi
    compile "$tmp/$1.dtso" "$tmp/$1.dtbo" || { status=1; return; }
    set -- "$1" "$2" "$3" "$4" "$tmp/overlay.dtbo" "$tmp/load.dtbo"
    case $2 in
    battery_adc.dtso) set -- "$@" "$tmp/$1.dtbo" "$6" ;;
    *) set -- "$@" "$5" "$tmp/$1.dtbo" ;;
    esac
    if out=$(verify "$7" "$8" "$first"); then
        echo "passed with $1"; status=1
    elif ! echo "$out" | grep -q "$4"; then
        printf 'with %s, not "%s" but:\n%s\n' "$1" "$4" "$out"; status=1
    else
        echo "fails with $1: $(echo "$out" | grep -m1 "$4")"
    fi
}
first=$1
plant heavy_bridge_too battery_adc.dtso 's|^\tfragment@1 {|\tfragment@2 {\n\t\ttarget-path = "/soc/fpga_bridge@ff500000";\n\t\t__overlay__ { status = "okay"; };\n\t};\n\n&|' \
    'the overlay changes more: /soc/fpga_bridge@ff500000 status'
plant firmware_in_first battery_adc.dtso 's|fpga-bridges = <&lw_bridge>;|&\n\t\t\tfirmware-name = "battery_adc.rbf";|' \
    'the overlay changes more: /soc/base_fpga_region firmware-name'
plant load_elsewhere battery_adc_load.dtso 's|/soc/base_fpga_region|/soc/fpga_region|' \
    'battery_adc_load.dtso: fdtoverlay'
exit $status
