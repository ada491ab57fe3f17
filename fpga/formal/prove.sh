#!/bin/sh
# SPDX-License-Identifier: MIT
# The formal proof of battery_adc at one setting: battery_adc_props.v (beside this script)
# around the block, turned by Yosys into an AIGER model whose step is half a clock
# (clk2fflogic), one bad-state output per property.
#
# The whole proof: every property but pins_ignore_bus, with the block's own invariants (its
# assertions under `ifdef FORMAL, which tie its counters and state to the frame and to the
# properties' monitors, one output: `invariants`), ORed into one output and proven for all
# time by k-induction in yosys-abc: `bmc3` for the base case (no failure in the first K
# steps from power-up) and `ind` for the step (K steps that hold are always followed by one
# that holds). pins_ignore_bus compares the block with a second, quiet copy of itself and
# is proven on its own: the copies' equal flip-flops merged (`scorr`, signal
# correspondence, proven by induction), then a SAT check, or pdr.
#
# The covers (the cover_* outputs): a witness, the proof's own model run from power-up
# with a read of word 0 and a write on the bus at every clock, SDO carrying the
# converter's bits, and one reset in the middle of a frame (walk.awk), must reach each.
#
# With -o (the planted faults), or where the whole proof does not close, each property is
# proven on its own, without the invariants: `pdr` (for all time) and, where pdr does not
# decide within its time, `bmc3` to a depth, or as deep as it gets in its time (no failure
# up to that step). One line per property or cover:
#   proved   NAME  for all time (ENGINE, S s)
#   bounded  NAME  no failure to step D, clock C (bmc3, S s)
#   FAIL     NAME  at step K, clock C (S s): trace OUT/NAME.vcd (with -n: no trace)
#   reached  COVER at step K, clock C (witness)
# A failing property's counterexample is replayed on the whole model (aigsim.awk) into a
# VCD (cex2vcd.awk; one step = 10 time units; clk rises at the odd steps). The exit status
# is 1 if a property fails or is undecided or a cover is not reached, 2 if the model cannot
# be built, else 0.
#
# usage: prove.sh [-p "NAME=VALUE ..."] [-t PDR_SECONDS] [-d BMC_DEPTH] [-b BMC_SECONDS]
#                 [-k STEPS] [-c COVER_STEPS] [-w STEPS] [-R] [-s SEED] [-r CLOCKS]
#                 [-o "PROPERTY ..."] [-y YOSYS_COMMANDS]
#                 [-j JOBS] [-B] [-n] RTL OUT
#   -p  parameters of battery_adc_props (CLOCK_HZ, BATTERY_CHANNEL, ACQUISITION_NS,
#       BATTERY_ONLY, NEVER_RESET)
#   -t  pdr's time per property on its own (default 60; 0: bmc3 only)
#   -d  bmc3's depth in steps when pdr does not decide (default 0: none, undecided fails)
#   -b  bmc3's time limit, and each half of the k-induction's (default 600)
#   -k  the k-induction's length in steps (default 8)
#   -c  the witness's length in steps (default 100000; 0: no witness, the covers unchecked,
#       for a setting whose wait for the reference is too long to walk)
#   -w  with -o: instead of pdr and bmc3, a random walk of this many steps through each
#       property's cone, legal inputs from a seeded sequence (walk.awk), for a failure
#   -R  with -w: the walk reads word 0 and writes at every clock, as the covers' witness
#       does, instead (for a fault that only a read at the right clock shows)
#   -s  the walk's seed (default 1)
#   -r  the walk asserts reset at one clock in this many (default 0: never)
#   -o  only these properties, each on its own (default: the whole proof and the covers)
#   -y  Yosys commands run on the read design before it is elaborated
#   -j  properties proven at once (default 2)
#   -B  bmc3 first, then pdr on what it did not refute (for runs that expect a failure)
#   -n  no trace of a failure, only its line (for runs that expect one)
set -u
here=$(cd "$(dirname "$0")" && pwd)

# One property: pdr, then bmc3 if pdr did not decide; a failure replayed into a VCD.
prove_one() {
    p=$1
    log=$out/$p.log
    : >"$log"
    rm -f "$out/$p.found" "$out/$p.cex" "$out/$p.vcd"
    start=$(date +%s)
    if [ "$walk" -gt 0 ]; then
        # A random walk of legal inputs through the property's cone; a failure's inputs
        # replayed on the cone into a VCD.
        inputs=$out/$p.found
        [ "$notrace" = 0 ] || inputs=""
        awk -v steps="$walk" -v mode="$walk_mode" -v seed="$seed" -v resets="$resets" \
            -v trace="$inputs" -f "$here/walk.awk" "$out/$p.walk.aim" "$out/$p.walk.aag" \
            >"$out/$p.walk.out" 2>>"$log"
        took=$(($(date +%s) - start))
        how="random walk, seed $seed"
        [ "$walk_mode" = random ] || how="a read of word 0 at every clock"
        if found=$(sed -n 's/^FAIL .* at step \([0-9]*\), clock .*/\1/p' "$out/$p.walk.out") &&
            [ -n "$found" ]; then
            if [ "$notrace" = 1 ]; then
                trace="no trace (-n)"
            elif awk -f "$here/aigsim.awk" "$out/$p.found" "$out/$p.walk.aag" >"$out/$p.cex" &&
                awk -f "$here/cex2vcd.awk" "$out/$p.walk.aim" "$out/$p.cex" >"$out/$p.vcd"; then
                trace="trace $out/$p.vcd"
            else
                trace="no trace: $log"
            fi
            printf '%-8s %-24s at step %s, clock %s (%s, %s s): %s\n' FAIL "$p" \
                "$found" $((found / 2)) "$how" "$took" "$trace"
        else
            printf '%-8s %-24s no failure in a walk of %s steps (%s, %s s)\n' \
                UNDECIDED "$p" "$walk" "$how" "$took"
        fi
        return
    fi
    verdict="" step=""
    run_bmc() {
        # bmc3 -v reports each frame it has cleared, so a run that its time stops still
        # says how deep it got.
        timeout $((bmc_time + 3)) yosys-abc -c "read_aiger $reduced; bmc3 -v -F $depth -T $bmc_time; \
            write_cex -n $out/$p.found" \
            >>"$log" 2>&1
        if step=$(sed -n 's/.*Output 0 .*asserted in frame *\([0-9]*\).*/\1/p' "$log" | tail -1) &&
            [ -n "$step" ]; then
            verdict=fail
        elif reached=$(sed -n 's/^ *\([0-9][0-9]*\) [+-] : .*/\1/p' "$log" | tail -1) &&
            [ -n "$reached" ] && [ "$reached" -gt 0 ]; then
            verdict=bounded
        fi
    }
    run_pdr() {
        timeout $((pdr_time + 3)) yosys-abc -c "read_aiger $reduced; pdr -T $pdr_time; \
            write_cex -n $out/$p.found" >>"$log" 2>&1
        if grep -q '^Property proved' "$log"; then
            verdict=proved
        elif step=$(sed -n 's/.*Output 0 .*asserted in frame *\([0-9]*\).*/\1/p' "$log" | tail -1) &&
            [ -n "$step" ]; then
            verdict=fail
        fi
    }
    # The property's cone, with the flip-flops that are equal in every reachable state
    # merged (signal correspondence, proven by induction): the two copies of the block,
    # and the properties' counters that follow the block's, become one.
    reduced=$out/$p.reduced.aig reached=0
    yosys-abc -c "read_aiger $out/$p.aig; scleanup; scorr; print_stats; write_aiger $reduced" \
        >>"$log" 2>&1 || reduced=$out/$p.aig
    [ -s "$reduced" ] || reduced=$out/$p.aig
    engine=pdr
    # No flip-flop left: the property holds for all time if no input makes it fail.
    if grep -q 'lat = *0 ' "$log" && [ "$reduced" != "$out/$p.aig" ]; then
        yosys-abc -c "read_aiger $reduced; sat" >>"$log" 2>&1
        if grep -q '^UNSATISFIABLE' "$log"; then
            verdict=proved engine=scorr
        else
            reduced=$out/$p.aig
        fi
    fi
    if [ -n "$verdict" ]; then
        :
    elif [ "$bmc_first" = 1 ] && [ "$depth" -gt 0 ]; then
        run_bmc
        [ -n "$verdict" ] && [ "$verdict" != bounded ] || { [ "$pdr_time" -gt 0 ] && run_pdr; }
    else
        [ "$pdr_time" -gt 0 ] && run_pdr
        [ -n "$verdict" ] || { [ "$depth" -gt 0 ] && run_bmc; }
    fi
    took=$(($(date +%s) - start))
    case $verdict in
    proved) printf '%-8s %-24s for all time (%s, %s s)\n' proved "$p" "$engine" "$took" ;;
    bounded) printf '%-8s %-24s no failure to step %s, clock %s (bmc3, %s s)\n' bounded "$p" \
        "$reached" $((reached / 2)) "$took" ;;
    fail)
        # The trace: the inputs of the counterexample replayed on the whole model (the
        # reduced one keeps the inputs, in their order), every input and flip-flop at every
        # step, as a VCD. If that fails, bmc3 finds it again on the whole model (at most 10
        # minutes).
        rm -f "$out/$p.cex"
        if [ "$notrace" = 1 ]; then
            :
        elif [ -s "$out/$p.found" ]; then
            awk -f "$here/aigsim.awk" "$out/$p.found" "$out/$p.aag" >"$out/$p.cex" 2>>"$log" ||
                rm -f "$out/$p.cex"
        fi
        if [ ! -s "$out/$p.cex" ] && [ "$notrace" = 0 ]; then
            timeout 600 yosys-abc -c "read_aiger $out/$p.aig; bmc3 -F $((step + 1)) -T 590; \
                write_cex -f -n $out/$p.cex" >"$out/$p.cex.log" 2>&1
        fi
        if [ "$notrace" = 1 ]; then
            trace="no trace (-n)"
        elif [ -s "$out/$p.cex" ] &&
            awk -f "$here/cex2vcd.awk" "$out/$p.aim" "$out/$p.cex" >"$out/$p.vcd"; then
            trace="trace $out/$p.vcd"
        else
            trace="no trace: $out/$p.cex.log"
        fi
        printf '%-8s %-24s at step %s, clock %s (%s s): %s\n' FAIL "$p" "$step" $((step / 2)) \
            "$took" "$trace"
        ;;
    *) printf '%-8s %-24s undecided: pdr %s s, bmc3 %s steps (%s s): %s\n' UNDECIDED "$p" \
        "$pdr_time" "$depth" "$took" "$log" ;;
    esac
}

# One property, run by the pool below: prove.sh -1 PROPERTY, the settings in FORMAL_*.
if [ "${1:-}" = -1 ]; then
    out=$FORMAL_OUT pdr_time=$FORMAL_PDR depth=$FORMAL_DEPTH bmc_time=$FORMAL_BMC
    bmc_first=$FORMAL_BMC_FIRST walk=$FORMAL_WALK seed=$FORMAL_SEED resets=$FORMAL_RESETS
    notrace=$FORMAL_NOTRACE walk_mode=$FORMAL_WALK_MODE
    prove_one "$2"
    exit 0
fi

params="" pdr_time=60 depth=0 bmc_time=600 only="" extra="" jobs=2 bmc_first=0 k=8
cover_steps=100000 walk=0 seed=1 resets=0 notrace=0 walk_mode=random
while getopts p:t:d:b:k:c:w:Rs:r:o:y:j:Bn opt; do
    case $opt in
    p) params=$OPTARG ;;
    t) pdr_time=$OPTARG ;;
    d) depth=$OPTARG ;;
    b) bmc_time=$OPTARG ;;
    k) k=$OPTARG ;;
    c) cover_steps=$OPTARG ;;
    w) walk=$OPTARG ;;
    R) walk_mode=reads ;;
    s) seed=$OPTARG ;;
    r) resets=$OPTARG ;;
    o) only=$OPTARG ;;
    y) extra=$OPTARG ;;
    j) jobs=$OPTARG ;;
    B) bmc_first=1 ;;
    n) notrace=1 ;;
    *) echo "usage: prove.sh [-p PARAMS] [-t S] [-d DEPTH] [-b S] [-k STEPS] [-c STEPS]" \
            "[-w STEPS] [-R] [-s SEED] [-r CLOCKS] [-o PROPS] [-y CMDS] [-j N] [-B] [-n] RTL OUT" >&2
       exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[ $# -eq 2 ] || { echo "usage: prove.sh [options] RTL OUT" >&2; exit 2; }
for tool in yosys yosys-abc; do
    command -v $tool >/dev/null || { echo "$tool is missing: apt-get install yosys"; exit 2; }
done
rtl=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
mkdir -p "$2" && out=$(cd "$2" && pwd) || exit 2

chparam=""
for p in $params; do chparam="$chparam -set ${p%%=*} ${p#*=}"; done
[ -z "$chparam" ] || chparam="chparam$chparam battery_adc_props"

# Both clock edges become steps of the global clock, and the logic gates of an AIG.
to_aig="clk2fflogic
async2sync
dffunmap
opt -fast
setundef -undriven -expose
techmap
opt -fast
aigmap"

# The design read and flattened, for each model below.
read_design="read_verilog -formal $rtl $here/battery_adc_props.v
$extra
$chparam
hierarchy -check -top battery_adc_props
proc
flatten
opt_clean"

# The model of each property named, on its own and without the block's invariants
# (chformal -remove): an AIGER file for pdr and bmc3, or its cone in ASCII for a walk.
write_props() {
    for p in "$@"; do
        echo "design -load model"
        echo "delete -port o:* o:$p %d"
        if [ "$walk" -gt 0 ]; then
            echo "opt_clean"
            echo "write_aiger -zinit -ascii -map $out/$p.walk.aim $out/$p.walk.aag"
        else
            echo "write_aiger -zinit -map $out/$p.aim $out/$p.aig"
            echo "write_aiger -zinit -ascii $out/$p.aag"
        fi
    done
}
build() {
    if ! yosys -q -l "$out/$1.log" "$out/$1.ys" >/dev/null 2>&1; then
        echo "the model could not be built: $out/$1.log"
        grep -i -A3 'error' "$out/$1.log" | head -20
        exit 2
    fi
}
build_props() {
    # One property alone: its cone only, before the passes, which then take half the time.
    cone=""
    [ $# -gt 1 ] || cone="delete -port o:* o:$1 %d
opt_clean"
    {
        printf '%s\nchformal -remove\n%s\n%s\nopt_clean\ndesign -save model\n' "$read_design" \
            "$cone" "$to_aig"
        write_props "$@"
    } >"$out/props.ys"
    build props
}

props=$(sed -n 's/^ *output wire \([a-z0-9_]*\),\{0,1\}$/\1/p' "$here/battery_adc_props.v")
covers=$(sed -n 's/^ *output wire \(cover_[a-z0-9_]*\).*/\1/p' "$here/battery_adc_props.v")
[ -n "$props" ] || { echo "no property found in $here/battery_adc_props.v"; exit 2; }
whole=1
[ -z "$only" ] || { props=$only whole=0; }
if [ $whole = 1 ]; then
    # The whole proof: the properties and the block's assertions, made one output,
    # `invariants`; the design made an AIG once, the assertions then removed for the
    # model of pins_ignore_bus and of the covers (only they and the logic they need). The
    # other properties' own models are built only if the whole proof does not close.
    {
        printf '%s\n%s\ndesign -save asserted\nchformal -remove\nopt_clean\ndesign -save model\n' \
            "$read_design" "$to_aig"
        write_props pins_ignore_bus
        cat <<EOF
design -load model
delete -port o:* o:cover_* %d
opt_clean
write_aiger -zinit -ascii -map $out/covers.aim $out/covers.aag
design -load asserted
setundef -undriven -zero
miter -assert -make_outputs battery_adc_props
cd battery_adc_props
rename trigger invariants
cd ..
techmap
opt -fast
aigmap
delete -port o:pins_ignore_bus o:cover_*
opt_clean
write_aiger -zinit -map $out/whole.aim $out/whole.aig
EOF
    } >"$out/model.ys"
    build model
else
    build_props $props
fi
results=$out/results
: >"$results"

if [ $whole = 1 ]; then
    start=$(date +%s)
    log=$out/whole.log
    timeout $((bmc_time + 3)) yosys-abc -c "read_aiger $out/whole.aig; orpos; bmc3 -F $k -T $bmc_time" \
        >"$log" 2>&1
    base=$(grep -c "No output asserted in $k frames" "$log")
    timeout $((bmc_time + 3)) yosys-abc -c "read_aiger $out/whole.aig; orpos; ind -F $k -T $bmc_time" \
        >>"$log" 2>&1
    step=$(grep -c '^Networks are equivalent' "$log")
    took=$(($(date +%s) - start))
    if [ "$base" = 1 ] && [ "$step" = 1 ]; then
        for p in $props invariants; do
            [ "$p" = pins_ignore_bus ] || printf '%-8s %-24s for all time (%s-induction, %s s)\n' \
                proved "$p" "$k" "$took"
        done | tee -a "$results"
        props=pins_ignore_bus
    else
        # Each on its own names what fails; the invariants' own failure is in the log.
        echo "the whole proof did not close in $k steps ($took s): $log" | tee -a "$results"
        echo "UNDECIDED invariants" >>"$results"
        build_props $(for p in $props; do [ "$p" = pins_ignore_bus ] || echo "$p"; done)
    fi
fi

# Properties run $jobs at a time, each by this script again; their lines come out as they
# finish.
export FORMAL_OUT=$out FORMAL_PDR=$pdr_time FORMAL_DEPTH=$depth FORMAL_BMC=$bmc_time \
    FORMAL_BMC_FIRST=$bmc_first FORMAL_WALK=$walk FORMAL_SEED=$seed FORMAL_RESETS=$resets \
    FORMAL_NOTRACE=$notrace FORMAL_WALK_MODE=$walk_mode
for p in $props; do echo "$p"; done |
    xargs -P "$jobs" -I{} sh "$here/prove.sh" -1 {} | tee -a "$results"

# The covers: the witness must reach each.
if [ $whole = 1 ] && [ "$cover_steps" = 0 ]; then
    echo "no witness (-c 0): the covers are not checked at this setting" | tee -a "$results"
elif [ $whole = 1 ]; then
    awk -v steps="$cover_steps" -f "$here/walk.awk" "$out/covers.aim" "$out/covers.aag" \
        >"$out/covers.out" 2>&1
    for c in $covers; do
        grep "^reached  *$c " "$out/covers.out" || echo "UNREACHED $c in $cover_steps steps"
    done | tee -a "$results"
fi
grep -q -E '^(FAIL|UNDECIDED|UNREACHED)' "$results" && exit 1
# Every property has its verdict: one that ended without a word has not passed.
for p in $props; do
    grep -q -E "^[a-zA-Z]+ +$p( |\$)" "$results" || { echo "no verdict for $p"; exit 1; }
done
exit 0
