#!/bin/sh
# SPDX-License-Identifier: MIT
# How the tool reaches the device, from a trace of real runs on the simulated board: the
# system calls it makes on /dev/mem, standard output and the clock, in order; and, for the
# board's binary, every load it makes from the battery-voltage register.
#
# usage: contract_test.sh host SIMBOARD... -- TOOL
#        contract_test.sh board SIMBOARD... -- QEMU-ARM [ARG]... -- TOOL
# `host` traces with strace; `board` with qemu-arm's own -strace (the target's ABI: mmap2,
# its offset in pages), and logs each instruction of main with the registers before it.
set -u
mode=$1; shift
simboard=""; while [ "$1" != -- ]; do simboard="$simboard $1"; shift; done; shift
emulator=""
if [ "$mode" = board ]; then
    while [ "$1" != -- ]; do emulator="$emulator $1"; shift; done; shift
fi
tool=$1
# qemu 8.1 renamed -singlestep to -one-insn-per-tb, and 10 knows only the new name.
one_insn=-singlestep
if [ "$mode" = board ]; then
    qemu=${emulator# }; qemu=${qemu%% *}
    "$qemu" -h 2>/dev/null | grep -q -e -one-insn-per-tb && one_insn=-one-insn-per-tb
fi
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

reading=305419896 # 0x12345678: every byte differs, so a part of it is no whole reading
line="Battery voltage is: $reading"

# run DEVICE: the tool on the board, traced; sets status, and leaves the trace in $work/trace
# and standard output in $work/out.
run() {
    device=$1
    if [ "$mode" = host ]; then
        set -- strace -o "$work/trace" "$tool"
    else
        # One instruction a block, each logged with the registers, for main alone.
        range=$(arm-linux-gnueabihf-nm -S "$tool" | awk '$4 == "main" { print $1, $2 }')
        start=$(printf '%d' "0x${range% *}") size=$(printf '%d' "0x${range#* }")
        set -- $emulator -strace $one_insn -d exec,cpu,nochain \
            -dfilter "$(printf '0x%x..0x%x' "$start" $((start + size - 1)))" "$tool"
    fi
    status=0
    # shellcheck disable=SC2086
    $simboard --reading "$reading" --device "$device" -- "$@" >"$work/out" 2>"$work/err" || status=$?
    [ "$mode" = host ] || mv "$work/err" "$work/trace"
}

# awk has no hexadecimal numbers of its own.
hex='
function hex(s,    n, i, c) {
    s = tolower(s); sub(/^0x/, "", s); n = 0
    for (i = 1; i <= length(s); i++) {
        c = index("0123456789abcdef", substr(s, i, 1)); if (!c) return -1
        n = n * 16 + c - 1
    }
    return n
}'

# The trace, reduced to the calls the contract names, in a form common to both tracers.
calls() {
    awk "$hex"'
    function num(s) { return s ~ /^0x/ ? hex(s) : s + 0 }
    function ok(r) { return r ~ /^-1/ ? "-1" : "ok" }
    /^[0-9]+ / { sub(/^[0-9]+ /, "") }          # qemu-arm: the pid
    /^[a-z_0-9]+\(/ {
        gsub(/, /, ","); gsub(/ += +/, " = ")
        name = $0; sub(/\(.*/, "", name)
        args = $0; sub(/^[^(]*\(/, "", args); sub(/\) = .*/, "", args); sub(/\)$/, "", args)
        result = $0; if (!sub(/.*\) = /, "", result)) result = "?"
        n = split(args, a, ",")
        if (name == "openat" && a[2] == "\"/dev/mem\"") {
            flags = ""; m = split(a[3], f, "|")
            for (i = 1; i <= m; i++) {
                if (f[i] == "O_LARGEFILE") continue
                if (f[i] == "O_SYNC") flags = flags " O_DSYNC __O_SYNC"
                else flags = flags " " f[i]
            }
            m = split(flags, f, " "); flags = ""
            for (i = 1; i <= m; i++)                # the flags in one order
                for (j = i + 1; j <= m; j++) if (f[j] < f[i]) { t = f[i]; f[i] = f[j]; f[j] = t }
            for (i = 1; i <= m; i++) flags = flags (i > 1 ? "|" : "") f[i]
            print "open /dev/mem " flags " = " ok(result)
            fd = result + 0; started = 1; next
        }
        if (name != "write" && index(args, "/dev/mem")) { print "also on /dev/mem: " $0; next }
        if (!started) next                         # the runtime starting up
        if ((name == "mmap" || name == "mmap2") && a[5] == fd) {
            off = num(a[6]) * (name == "mmap2" ? 4096 : 1)
            printf "map %s %s %s %s fd mem offset 0x%x = %s\n", a[1], num(a[2]), a[3], a[4],
                off, ok(result)
        } else if (name == "munmap") print "munmap " args
        else if (name == "close" && a[1] == fd) print "close mem"
        else if (name == "write") print "write " a[1] " " num(a[n]) " bytes = " result
        else if (name == "clock_nanosleep" || name == "nanosleep") {
            s = args; sub(/^[^{]*\{tv_sec *= */, "", s); ns = s
            sub(/[^0-9].*/, "", s); sub(/^[^,]*,tv_nsec *= */, "", ns); sub(/[^0-9].*/, "", ns)
            print "sleep " s " s " ns " ns"
        } else if (name == "exit_group") print "exit " a[1]
    }' "$work/trace"
}

# expect WHAT STATUS OUTPUT CALLS
expect() {
    [ "$status" = "$2" ] || fail "$1: exit status $status, not $2"
    [ "$(cat "$work/out")" = "$3" ] || fail "$1: output: $(cat "$work/out")"
    calls >"$work/calls"
    printf '%s\n' "$4" >"$work/expected"
    diff -u "$work/expected" "$work/calls" >"$work/diff" ||
        { fail "$1: the calls differ from the contract:"; cat "$work/diff"; }
}

# The register, as the board's binary reads it: in each pass exactly one load that touches
# its four bytes, and that load a whole, aligned 32-bit word at its address.
check_loads() {
    arm-linux-gnueabihf-objdump -d --no-show-raw-insn --disassemble=main "$tool" >"$work/main.s"
    awk "$hex"'
    function reg(name) {
        if (name == "sl") return r[10]; if (name == "fp") return r[11]
        if (name == "ip") return r[12]; if (name == "sp") return r[13]
        if (name == "lr") return r[14]
        sub(/^r/, "", name); return r[name + 0]
    }
    # The bytes a load reads, from the instruction and the registers before it: sets ea
    # and size, or returns 0 where it cannot touch the register (literal pool, stack).
    function access(op, ops,    base, rest, m, k, list) {
        sub(/[ \t]*@.*/, "", ops)
        if (op ~ /^(ldm|pop)/) {
            if (op ~ /^pop/) return 0
            base = ops; sub(/[!,].*/, "", base)
            list = ops; sub(/.*\{/, "", list); m = split(list, k, ",")
            ea = reg(base); size = 4 * m; return 1
        }
        if (!match(ops, /\[[^]]*\]/)) return 0
        rest = substr(ops, RSTART + 1, RLENGTH - 2); m = split(rest, k, ", *")
        if (k[1] == "pc" || k[1] == "sp") return 0
        ea = reg(k[1])
        if (m >= 2 && k[2] ~ /^#/) { sub(/^#/, "", k[2]); ea += k[2] + 0 }
        else if (m >= 2) {
            k[2] = reg(k[2])
            if (m >= 3 && k[3] ~ /^lsl #/) { sub(/^lsl #/, "", k[3]); k[2] *= 2 ^ k[3] }
            ea += k[2]
        }
        if (ea >= 4294967296) ea -= 4294967296
        if (ea < 0) ea += 4294967296
        size = 16                                 # a load of a kind not named below
        if (op ~ /^ldrd/) size = 8
        else if (op ~ /^ldrs?h/) size = 2
        else if (op ~ /^ldrs?b/) size = 1
        else if (op ~ /^ldr/) size = 4
        else if (op ~ /^vldr/) size = (ops ~ /^s/ ? 4 : 8)
        return 1
    }
    FNR == NR {                                   # the disassembly of main
        if (split($0, f, "\t") >= 2 && f[1] ~ /^ *[0-9a-f]+:$/) {
            a = f[1]; gsub(/[ :]/, "", a); op[hex(a)] = f[2]; operands[hex(a)] = f[3]
        }
        next
    }
    /mmap2\(NULL,2097152,/ { s = $0; sub(/.* = /, "", s); target = hex(s) + 266240 }
    /^[0-9]+ write\(1,/ { seen = seen "w" }
    /^Trace / { s = $0; sub(/^[^\/]*\//, "", s); sub(/\/.*/, "", s); pc = hex(s); rows = 0; next }
    /^R[0-9][0-9]=/ {
        for (i = 1; i <= NF; i++) { split($i, v, "="); sub(/^R/, "", v[1]); r[v[1] + 0] = hex(v[2]) }
        if (++rows < 4 || !(pc in op) || op[pc] !~ /^v?ld/ || !target) next
        if (!access(op[pc], operands[pc]) || ea + size <= target || ea >= target + 4) next
        seen = seen "r"
        if (ea != target || size != 4 || op[pc] !~ /^ldr(\.w|\.n)?$/)
            printf "FAIL: %x: %s %s reads %d bytes at register%+d\n", pc, op[pc], operands[pc], size, ea - target
    }
    END {
        if (!target) { print "FAIL: no mapping seen"; exit }
        if (seen != "rwrwrwrwrwrwrwrwrwrw")
            print "FAIL: register loads (r) and lines written (w) came as " seen
    }' "$work/main.s" "$work/trace" >"$work/loads"
    if [ -s "$work/loads" ]; then cat "$work/loads"; failed=1; fi
}


open_call="open /dev/mem O_DSYNC|O_RDWR|__O_SYNC"
map_call="map NULL 2097152 PROT_READ|PROT_WRITE MAP_SHARED fd mem offset 0xff200000"
bytes=$((${#line} + 1))

run image
passes=$(for i in 1 2 3 4 5 6 7 8 9 10; do printf 'write 1 %s bytes = %s\nsleep 1 s 0 ns\n' "$bytes" "$bytes"; done)
lines=$(for i in 1 2 3 4 5 6 7 8 9 10; do echo "$line"; done)
expect "a run" 0 "$lines" "$open_call = ok
$map_call = ok
close mem
$passes
exit 0"
[ "$mode" = host ] || check_loads

run absent
expect "no /dev/mem" 1 "Unable to open /dev/mem" "$open_call = -1
write 1 24 bytes = 24
exit 1"

run unmappable
expect "a /dev/mem that cannot be mapped" 1 "Unable to map /dev/mem" "$open_call = ok
$map_call = -1
close mem
write 1 23 bytes = 23
exit 1"

[ "$failed" = 0 ] && echo "ok: the $mode build keeps the device contract"
exit "$failed"
