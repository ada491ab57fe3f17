# SPDX-License-Identifier: MIT
# Replays a counterexample on an ASCII AIGER model (Yosys's write_aiger -zinit -ascii):
# the inputs of each step from yosys-abc's `write_cex -n` (piN@F=V), every latch starting
# at 0. Prints every input and latch at every step in the form cex2vcd.awk reads
# (piN@F=V loN@F=V ...), so that a counterexample found on a reduced model still shows the
# whole model. usage: awk -f aigsim.awk CEX MODEL.aag
function val(l) { return (l % 2) ? 1 - v[int(l / 2)] : v[int(l / 2)] }
NR == FNR {
    for (i = 1; i <= NF; i++) {
        split($i, kv, "=")
        split(kv[1], kf, "@")
        if (substr(kf[1], 1, 2) != "pi") continue
        pi[substr(kf[1], 3) + 0, kf[2] + 0] = kv[2]
        if (kf[2] + 1 > steps) steps = kf[2] + 1
    }
    next
}
FNR == 1 { I = $3; L = $4; O = $5; A = $6; next }
{ n = FNR - 1 }
n <= I { in_lit[n - 1] = $1; next }
n <= I + L { lat_lit[n - I - 1] = $1; lat_next[n - I - 1] = $2; next }
n <= I + L + O { next }
n <= I + L + O + A { and_l[n - I - L - O - 1] = $1; and_a[n - I - L - O - 1] = $2;
    and_b[n - I - L - O - 1] = $3; next }
END {
    v[0] = 0
    for (j = 0; j < L; j++) v[int(lat_lit[j] / 2)] = 0
    for (f = 0; f < steps; f++) {
        line = ""
        for (j = 0; j < I; j++) {
            x = ((j, f) in pi) ? pi[j, f] + 0 : 0
            v[int(in_lit[j] / 2)] = x
            line = line " pi" j "@" f "=" x
        }
        for (j = 0; j < L; j++) line = line " lo" j "@" f "=" v[int(lat_lit[j] / 2)]
        for (k = 0; k < A; k++) v[int(and_l[k] / 2)] = val(and_a[k]) * val(and_b[k])
        for (j = 0; j < L; j++) nxt[j] = val(lat_next[j])
        for (j = 0; j < L; j++) v[int(lat_lit[j] / 2)] = nxt[j]
        print substr(line, 2)
    }
}
