# SPDX-License-Identifier: MIT
# A counterexample of yosys-abc (`write_cex -f -n`: every input and latch at every step) as
# a VCD, with the names of Yosys's AIGER map: the model's inputs and every flip-flop that
# keeps a name through clk2fflogic (the properties' own, among them the pins as the step
# before saw them: convst_p, sck_p, sdi_p). A latch that the map marks `invlatch`
# is stored inverted in the model and is shown as its true value. One step, half a clock,
# is 10 time units; `clk` rises at the odd steps.
# usage: awk -f cex2vcd.awk MAP CEX > TRACE.vcd
function code(n,    s, d) {
    s = ""
    n = n + 0
    do {
        d = n % 90
        s = s sprintf("%c", 33 + d)
        n = int(n / 90)
    } while (n > 0)
    return s
}
NR == FNR {
    if ($1 == "input") key = "pi" ($2 + 0)
    else if ($1 == "latch" || $1 == "invlatch") key = "lo" ($2 + 0)
    else next
    # One latch may carry several names.
    c = ++names_of[key]
    name[key, c] = $4
    bit[key, c] = $3
    inv[key] = $1 == "invlatch"
    if (!($4 in width)) { order[++names] = $4; width[$4] = 0 }
    if ($3 + 1 > width[$4]) width[$4] = $3 + 1
    next
}
{
    for (i = 1; i <= NF; i++) {
        split($i, kv, "=")
        split(kv[1], kf, "@")
        k = substr(kf[1], 1, 2) (substr(kf[1], 3) + 0)
        if (!(k in names_of)) continue
        v = kv[2]
        if (inv[k]) v = v == "1" ? "0" : "1"
        for (c = 1; c <= names_of[k]; c++) val[name[k, c], bit[k, c], kf[2]] = v
        if (kf[2] + 1 > steps) steps = kf[2] + 1
    }
}
END {
    print "$timescale 1ns $end"
    print "$scope module battery_adc_props $end"
    for (j = 1; j <= names; j++)
        printf "$var wire %d %s %s $end\n", width[order[j]], code(j), order[j]
    print "$upscope $end"
    print "$enddefinitions $end"
    for (f = 0; f < steps; f++) {
        printf "#%d\n", f * 10
        for (j = 1; j <= names; j++) {
            nm = order[j]
            s = ""
            for (b = width[nm] - 1; b >= 0; b--)
                s = s (((nm, b, f) in val) ? val[nm, b, f] : "x")
            if (f > 0 && s == last[nm]) continue
            last[nm] = s
            if (width[nm] == 1) printf "%s%s\n", s, code(j)
            else printf "b%s %s\n", s, code(j)
        }
    }
    printf "#%d\n", steps * 10
}
