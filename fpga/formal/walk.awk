# SPDX-License-Identifier: MIT
# A walk through the proof's own model (Yosys's write_aiger -zinit -ascii, with its -map)
# from power-up, every latch at 0: prints the first step at which each output is 1, and
# stops when every output has been, or after `steps` steps. Inputs change only at rising
# edges (the odd steps), as the proof assumes; the converter's bits come from a fixed
# pseudo-random sequence.
#   mode=cover (the covers' witness): a read of word 0 and a write at every clock, so every
#     edge that files a code takes both; writedata and SDO's noise 0; reset asserted for one
#     clock, once, at the first rising edge after `cover_mid_frame` is reached.
#   mode=random (a planted fault's counterexample): every input from the pseudo-random
#     sequence started at `seed`, reset asserted at one clock in `resets` (none if 0).
#   mode=reads (the same, for a fault that a read of word 0 in any clock may show): the
#     witness's inputs, with no reset unless `cover_mid_frame` is an output.
#   In both, the outputs' first steps are printed as FAIL, and the walk's inputs are written
#   to `trace` in the form aigsim.awk reads (piN@F=V).
# usage: awk -v steps=N [-v mode=random|reads -v seed=S -v resets=R -v trace=FILE]
#            -f walk.awk MAP MODEL.aag
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
    random = mode == "random"
    failing = random || mode == "reads"
    if (random) srand(seed + 0)
    for (f = 0; f < steps && left > 0; f++) {
        if (f % 2 == 1) lfsr = (lfsr * 1103 + 12345) % 65536
        # A random walk's bus and reset: new values at each rising edge.
        if (random && (f % 2 == 1 || f == 0)) {
            for (j = 0; j < I; j++) held_in[j] = rand() < 0.5
            reset_now = resets > 0 && rand() * resets < 1 && f > 0
        }
        line = ""
        for (j = 0; j < I; j++) {
            r = role[j]
            x = 0
            if (random) {
                if (r == "reset") x = reset_now
                else if (r == "next_bit" || r == "sdo_noise") x = rand() < 0.5
                else x = held_in[j]
            } else if (r == "avs_read" || r == "avs_write") x = 1
            else if (r == "reset") x = reset_at >= 0 && f >= reset_at && f < reset_at + 2
            else if (r == "next_bit") x = int(lfsr / 256) % 2
            v[in_var[j]] = x
            if (failing && trace != "") line = line " pi" j "@" f "=" x
        }
        if (failing && trace != "") print substr(line, 2) >trace
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
            if (random)
                printf "%-8s %-24s at step %d, clock %d (random walk, seed %d)\n", "FAIL",
                    out_name[j], f, int(f / 2), seed
            else if (failing)
                printf "%-8s %-24s at step %d, clock %d (reads)\n", "FAIL", out_name[j], f,
                    int(f / 2)
            else
                printf "%-8s %-24s at step %d, clock %d (witness)\n", "reached", out_name[j], f,
                    int(f / 2)
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
