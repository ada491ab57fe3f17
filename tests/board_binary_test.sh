#!/bin/sh
# SPDX-License-Identifier: MIT
# The board's build: a 32-bit ARM executable for the hard-float calling convention,
# statically linked with no interpreter, and our own code for the Cortex-A9 with VFPv3-D16
# and without NEON.
# usage: board_binary_test.sh EXECUTABLE OBJECT-FILE-OF-THE-TOOL
set -u
bin=$1 obj=$2 failed=0
expect() { # expect WHAT yes|no PATTERN TEXT
    if printf '%s\n' "$4" | grep -Eq "$3"; then found=yes; else found=no; fi
    [ "$found" = "$2" ] || { echo "FAIL: $1"; failed=1; }
}
header=$(readelf -h "$bin") attrs=$(readelf -A "$bin") segments=$(readelf -l "$bin")
own=$(readelf -A "$obj")
expect "32-bit ELF" yes 'Class: +ELF32' "$header"
expect "ARM machine" yes 'Machine: +ARM$' "$header"
expect "a fixed-address executable" yes 'Type: +EXEC' "$header"
expect "hard-float ABI flag" yes 'Flags:.*hard-float ABI' "$header"
expect "arguments in VFP registers" yes 'Tag_ABI_VFP_args: VFP registers' "$attrs"
expect "no interpreter" no 'INTERP' "$segments"
expect "no dynamic section" no 'DYNAMIC' "$segments"
expect "our code for ARMv7" yes 'Tag_CPU_arch: v7$' "$own"
expect "our code for VFPv3-D16" yes 'Tag_FP_arch: VFPv3-D16$' "$own"
expect "no NEON in our code" no 'Tag_Advanced_SIMD_arch' "$own"
# What -mcpu=cortex-a9 adds to the compiler's own ARMv7-A default: the Cortex-A9's
# multiprocessing and security extensions. (GCC names the CPU with .cpu and then .arch, so
# Tag_CPU_name reads "7-A" either way.)
expect "our code for the Cortex-A9: MP extensions" yes 'Tag_MPextension_use: Allowed' "$own"
expect "our code for the Cortex-A9: security extensions" yes 'Tag_Virtualization_use: TrustZone' "$own"
[ "$failed" = 0 ] && echo "ok: $bin"
exit "$failed"
