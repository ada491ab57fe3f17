# SPDX-License-Identifier: MIT
# The covers' witness: runs the proof's own model (Yosys's write_aiger -zinit -ascii, with
# its -map) from power-up, every latch at 0, and prints the first step at which each output
# (a cover) is 1. The inputs, by name: a read of word 0 and a write at every clock (so
# every edge that files a code takes both), writedata and SDO's noise 0, the converter's
# bits from a fixed pseudo-random sequence, and reset asserted for one clock, once, at the
# first rising edge after `cover_mid_frame` is reached. Inputs change only at rising edges
# (the odd steps), as the proof assumes. Stops when every output has been 1, or after
# `steps` steps.
# usage: awk -v steps=N -f cover.awk MAP MODEL.aag
NR == FNR {
    if ($1 == "input") { role[$2 + 0] = $4; role_bit[$2 + 0] = $3 + 0 }
    else if ($1 == "output") out_name[$2 + 0] = $4
    next
}
FNR == 1 { I = $3; L = $4; O = $5; A = $6; next }
{ n = FNR - 1 }
n <= I { in_var[n - 1] = int($1 / 2); next }
n <= I + L { lat_var[n - I - 1] = int($1 / 2); lat_next[n - I - 1] = $2; next }
n <= I + L + O { out_lit[n - I - L - 1] = $1; next }
n <= I + L + O + A {
    k = n - I - L - O - 1
    and_var[k] = int($1 / 2)
    a_var[k] = int($2 / 2); a_neg[k] = $2 % 2
    b_var[k] = int($3 / 2); b_neg[k] = $3 % 2
    next
}
END {
    v[0] = 0
    for (j = 0; j < L; j++) v[lat_var[j]] = 0
    reset_at = -1
    left = O
    lfsr = 44257
    for (f = 0; f < steps && left > 0; f++) {
        if (f % 2 == 1) lfsr = (lfsr * 1103 + 12345) % 65536
        for (j = 0; j < I; j++) {
            r = role[j]
            x = 0
            if (r == "avs_read" || r == "avs_write") x = 1
            else if (r == "reset") x = reset_at >= 0 && f >= reset_at && f < reset_at + 2
            else if (r == "next_bit") x = int(lfsr / 256) % 2
            v[in_var[j]] = x
        }
        for (k = 0; k < A; k++) {
            x = v[a_var[k]]
            if (a_neg[k]) x = 1 - x
            if (x) {
                x = v[b_var[k]]
                if (b_neg[k]) x = 1 - x
            }
            v[and_var[k]] = x
        }
        for (j = 0; j < O; j++) {
            if (seen[j]) continue
            l = out_lit[j]
            x = v[int(l / 2)]
            if (l % 2) x = 1 - x
            if (!x) continue
            seen[j] = 1
            left--
            printf "%-8s %-24s at step %d, clock %d (witness)\n", "reached", out_name[j], f, int(f / 2)
            if (out_name[j] == "cover_mid_frame" && reset_at < 0) reset_at = f + 1 + f % 2
        }
        for (j = 0; j < L; j++) {
            l = lat_next[j]
            x = v[int(l / 2)]
            nxt[j] = (l % 2) ? 1 - x : x
        }
        for (j = 0; j < L; j++) v[lat_var[j]] = nxt[j]
    }
}
