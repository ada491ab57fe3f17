#!/bin/sh
# SPDX-License-Identifier: MIT
# Verilator's lint with every warning finds nothing in the block, with the parameters that
# the cases use; and a parameter out of its range fails elaboration with a message that
# names it. Usage: fpga_lint_test.sh FPGA_DIR
command -v verilator >/dev/null || { echo "verilator is missing: apt-get install verilator"; exit 1; }
# Newer Verilator (Debian 13's) reports on every run unless told not to; older ones neither
# report nor know the option.
quiet=
verilator --quiet-stats --version >/dev/null 2>&1 && quiet=--quiet-stats
status=0
for params in "" "-GCLOCK_HZ=100000000 -GBATTERY_CHANNEL=6" "-GCLOCK_HZ=200000000 -GBATTERY_CHANNEL=5" \
    "-GCLOCK_HZ=73000000 -GBATTERY_CHANNEL=3 -GACQUISITION_NS=240" "-GBATTERY_CHANNEL=2 -GBATTERY_ONLY=1" \
    "-GCLOCK_HZ=200000000 -GACQUISITION_NS=1000000 -GWAKE_MS=2000" "-GWAKE_MS=0"; do
    if ! verilator --lint-only -Wall $quiet $params "$1/battery_adc.v"; then
        echo "verilator --lint-only -Wall $params: not clean"
        status=1
    fi
done
[ $status -eq 0 ] && echo "verilator --lint-only -Wall: clean"
# PARAMETER=VALUE out of range: elaboration fails, naming PARAMETER.
for bad in BATTERY_CHANNEL=8 BATTERY_CHANNEL=-1 CLOCK_HZ=25000000 CLOCK_HZ=200000001 \
    ACQUISITION_NS=239 ACQUISITION_NS=1000001 BATTERY_ONLY=2 WAKE_MS=-1 WAKE_MS=2001; do
    if out=$(verilator --lint-only -Wall $quiet -G$bad "$1/battery_adc.v" 2>&1); then
        echo "verilator: $bad elaborated"
        status=1
    elif ! echo "$out" | grep -q "${bad%%=*}_must_be"; then
        echo "verilator: $bad failed without naming ${bad%%=*}:"
        echo "$out" | head -5
        status=1
    fi
done
[ $status -eq 0 ] && echo "verilator: each parameter out of range fails, naming it"

# CONVST's DDIO beside Intel's library, as a simulator of the generated system reads the
# block (altera_mf beside it) and as Quartus's synthesis does (ALTERA_RESERVED_QIS): a stub
# of altera_mf, its DDIO modules declared as Intel declares them. Read together, no module
# is declared twice (Verilator's MODDUP); under Quartus the block places altddio_out and
# carries none of its own, so without the library it cannot elaborate.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cat >"$tmp/altera_mf.v" <<'EOF'
// verilator lint_off DECLFILENAME
// verilator lint_off UNUSEDSIGNAL
// verilator lint_off UNUSEDPARAM
module altddio_out (datain_h, datain_l, outclock, outclocken, aset, aclr, sset, sclr, oe, dataout, oe_out);
    parameter width = 1;
    parameter power_up_high = "OFF";
    parameter oe_reg = "UNUSED";
    parameter extend_oe_disable = "UNUSED";
    parameter intended_device_family = "Stratix";
    parameter invert_output = "OFF";
    parameter lpm_hint = "UNUSED";
    parameter lpm_type = "altddio_out";
    input [width-1:0] datain_h, datain_l;
    input outclock, outclocken, aset, aclr, sset, sclr, oe;
    output [width-1:0] dataout;
    output oe_out;
    assign dataout = datain_h;
    assign oe_out = oe;
endmodule
module altddio_in (datain, inclock, inclocken, aset, aclr, sset, sclr, dataout_h, dataout_l);
    parameter width = 1;
    parameter lpm_type = "altddio_in";
    input [width-1:0] datain;
    input inclock, inclocken, aset, aclr, sset, sclr;
    output [width-1:0] dataout_h, dataout_l;
    assign dataout_h = datain;
    assign dataout_l = datain;
endmodule
EOF
for define in "" -DALTERA_RESERVED_QIS; do
    if ! out=$(verilator --lint-only -Wall $quiet $define --top-module battery_adc \
            "$tmp/altera_mf.v" "$1/battery_adc.v" 2>&1); then
        echo "verilator ${define:-without ALTERA_RESERVED_QIS}, with altera_mf beside the block: not clean"
        echo "$out" | head -5
        status=1
    fi
done
out=$(verilator --lint-only -Wall $quiet -DALTERA_RESERVED_QIS "$1/battery_adc.v" 2>&1)
if ! echo "$out" | grep -q "Cannot find file containing module: 'altddio_out'"; then
    echo "verilator -DALTERA_RESERVED_QIS without altera_mf: the block does not need Intel's altddio_out"
    echo "$out" | head -5
    status=1
fi
[ $status -eq 0 ] && echo "verilator: one module of each name beside altera_mf; altddio_out only under Quartus"
exit $status
