// SPDX-License-Identifier: MIT
//
// battery_adc: drives a 12-bit, 8-channel serial SAR converter of the LTC2308 kind and
// presents its codes as sixteen 32-bit words on an Avalon-MM slave, word 0 being the
// battery channel's code that battery-voltage reads at offset 0x41000 of the lightweight
// HPS-to-FPGA bridge. docs/fpga-interface.md has the register map, the timing at the pins
// and the budget each number leaves for the pins and the board.
//
// One clock, clk, from 50 MHz to 200 MHz, and one synchronous active-high reset. A frame is:
//   CONVST high for round(60 ns / T) half-clocks (T the clock's period), 25 ns to 35 ns,
//   which starts a conversion;
//   a wait of tCONV (1.6 us at most) with CONVST low and no SCK;
//   12 SCK cycles, each phase ceil(CLOCK_HZ / 50 MHz) clocks (20 ns or more): the next
//   conversion's 6-bit word goes out on SDI, set as SCK falls, taken by the converter as
//   SCK rises; the result comes in on SDO, MSB first, each bit taken in the middle of its
//   valid window at the pins (below);
//   an acquisition pause of at least ACQUISITION_NS from the 7th SCK rise, the edge the
//   converter's datasheet counts tACQ from (one SCK phase after the 6th fall, which ends the
//   converter's word), to the next CONVST, and CONVST low at least tHCONVST (20 ns) after
//   the 12th SCK fall.
//
// The word sent in a frame configures the next conversion, so the result read in a frame
// belongs to the channel sent in the frame before. The converter knows nothing of this
// block's reset: after one it may still be converting, or hold a word half sent. So a reset
// stops the frame, waits out a whole tCONV (or the acquisition, if longer) before the next
// CONVST, and throws away the first result after it, whose word this block did not send. A
// reset never cuts a CONVST pulse or an SCK high phase short either: each ends when its
// time is out. Every register
// starts, after configuration, as a reset leaves it, so a reset that never comes is no
// different. Through the FPGA's configuration the pins' weak pull-ups may have left the
// converter asleep (a word with SLP = 1): the first frame's word wakes it, and the block
// waits WAKE_MS for its reference before the next conversion.
//
// Both edges of clk are used, each where whole clocks cannot do: CONVST's high time of an
// odd number of half-clocks ends on a falling edge, through the DDIO output register of its
// pin (battery_adc_ddio: Intel's altddio_out under Quartus, a model elsewhere), and an SDO
// bit whose window's middle is at an odd half-clock is taken by a falling-edge flip-flop.
// SCK and SDI are rising-edge flip-flops, each straight to its pin. SDO needs no
// synchronizer: it moves only after SCK falls, which this block makes from clk, and is
// taken where it is steady.
//
// Written in the Verilog-2005 that Verilator 5 and Yosys 0.23 both read: no SystemVerilog
// packages, assignment patterns or interfaces. A parameter out of its range instantiates a
// module that does not exist and whose name says what is wrong, which every tool reports.

`default_nettype none

module battery_adc #(
    parameter integer CLOCK_HZ = 50000000,   // clk's frequency, 50 MHz to 200 MHz
    parameter integer BATTERY_CHANNEL = 0,   // the converter's input (0 to 7) for word 0
    parameter integer ACQUISITION_NS = 6000, // acquisition, 240 ns to 1 ms
    parameter integer BATTERY_ONLY = 0,      // 1: convert the battery's input only
    parameter integer WAKE_MS = 400          // the converter's reference wake-up, 0 to 2000 ms
) (
    input wire clk,
    input wire reset,

    input  wire [ 3:0] avs_address,
    input  wire        avs_read,
    input  wire        avs_write,
    input  wire [31:0] avs_writedata,
    output reg  [31:0] avs_readdata = 32'd0,

    // The pins leave from registers in their I/O cells: CONVST from a DDIO output
    // (battery_adc_ddio), SCK and SDI each from one flip-flop with nothing after it.
    output wire adc_convst,
    (* altera_attribute = "-name FAST_OUTPUT_REGISTER ON" *)
    output reg adc_sck = 1'b0,
    (* altera_attribute = "-name FAST_OUTPUT_REGISTER ON" *)
    output reg adc_sdi = 1'b0,
    input  wire adc_sdo
`ifdef FORMAL
    ,
    // The formal proof's monitors of the pins (fpga/formal/battery_adc_props.v), each as it
    // stands after this step; the invariants at the end of this module tie the block's state
    // to them. f_on is 0 in the proof's quiet copy, which has no monitors of its own.
    input wire        f_on,          // every assumption of the proof has held so far
    input wire        f_first,       // the first step: power-up
    input wire [15:0] f_since_cv,    // steps since CONVST rose, saturating
    input wire        f_cv_full,     // ... saturated
    input wire [15:0] f_since_reset, // steps since an edge took reset, or power-up
    input wire        f_reset_full,
    input wire [15:0] f_acq,         // steps since a read-out's first six falls or 7th rise
    input wire        f_acq_full,
    input wire [15:0] f_hold,        // steps since SCK last fell
    input wire        f_hold_full,
    input wire [15:0] f_phase,       // steps SCK has been at its level
    input wire        f_phase_full,
    input wire [15:0] f_high,        // steps CONVST has been high
    input wire [ 3:0] f_rises,       // SCK rises and falls since CONVST rose
    input wire [ 3:0] f_falls,
    input wire        f_open,        // from a read-out's first SCK rise to its 12th fall
    input wire        f_clean,       // no reset since CONVST rose
    input wire [15:0] f_moved,       // steps since SDO was moved
    input wire        f_moved_full,
    input wire        f_bit_real,    // SDO carries a bit of the code
    input wire        f_msb,         // ... its MSB
    input wire        f_bit,         // the bit on SDO
    input wire [10:0] f_code,        // the code's bits moved so far, the latest in bit 0
    input wire [ 5:0] f_word_in,     // SDI as taken at the SCK rises, the latest in bit 0
    input wire [ 5:0] f_next_word,   // the last whole word sent, and whether since a reset
    input wire        f_next_known,
    input wire [ 5:0] f_conv_word,   // the word of the conversion being read out
    input wire        f_conv_known,
    input wire [ 2:0] f_watch,       // the channel that word 2 + f_watch is checked for
    input wire [11:0] f_battery,     // the codes that the words must show, and before
    input wire [11:0] f_battery_was,
    input wire [11:0] f_watched,
    input wire [11:0] f_watched_was,
    input wire        f_fresh,
    input wire        f_fresh_was,
    input wire        f_pending,     // from a code's B0 to the next CONVST rise
    input wire [31:0] f_count,
    input wire [15:0] f_frame,       // steps since CONVST rose (saturating), and the last
    input wire        f_frame_full,  // whole frame's length in steps
    input wire [15:0] f_frame_len,
    input wire        f_frame_known,
    input wire [ 1:0] f_cvs,         // CONVST rises since a reset or power-up, up to 2
    input wire        f_woke,        // the first frame's 12th SCK fall since, and the steps
    input wire [31:0] f_waking,      // since it (saturating)
    input wire        f_waking_full,
    input wire [ 1:0] f_apart,       // conversions since the battery's input's last (up to 2),
    input wire [ 4:0] f_unwatched,   // and since the watched input's (up to 16)
    input wire [31:0] f_age,         // the ages of f_battery's and f_battery_was's codes, from
    input wire        f_age_full,    // their CONVST rises (saturating), and whether each is one
    input wire        f_aged,
    input wire [31:0] f_age_was,
    input wire        f_age_was_full,
    input wire        f_aged_was,
    output wire       f_publish      // the next rising edge files a code
`endif
);

    localparam CLOCK_OK = CLOCK_HZ >= 50000000 && CLOCK_HZ <= 200000000;
    localparam CHANNEL_OK = BATTERY_CHANNEL >= 0 && BATTERY_CHANNEL <= 7;
    localparam ACQUISITION_OK = ACQUISITION_NS >= 240 && ACQUISITION_NS <= 1000000;
    localparam MODE_OK = BATTERY_ONLY == 0 || BATTERY_ONLY == 1;
    localparam WAKE_OK = WAKE_MS >= 0 && WAKE_MS <= 2000;
    generate
        if (!CLOCK_OK) begin : bad_clock
            CLOCK_HZ_must_be_50_to_200_MHz unsupported ();
        end
        if (!CHANNEL_OK) begin : bad_channel
            BATTERY_CHANNEL_must_be_0_to_7 unsupported ();
        end
        if (!ACQUISITION_OK) begin : bad_acquisition
            ACQUISITION_NS_must_be_240_to_1000000 unsupported ();
        end
        if (!MODE_OK) begin : bad_mode
            BATTERY_ONLY_must_be_0_or_1 unsupported ();
        end
        if (!WAKE_OK) begin : bad_wake
            WAKE_MS_must_be_0_to_2000 unsupported ();
        end
    endgenerate

    // The values the block is built from: the parameters, or, where one is out of range
    // (which fails above), a legal stand-in, so that nothing else reports first.
    localparam integer HZ = CLOCK_OK ? CLOCK_HZ : 50000000;
    localparam integer BATTERY = CHANNEL_OK ? BATTERY_CHANNEL : 0;
    localparam integer ACQ_NS = ACQUISITION_OK ? ACQUISITION_NS : 6000;
    localparam ONLY = MODE_OK && BATTERY_ONLY == 1;
    localparam integer WAKE = WAKE_OK ? WAKE_MS : 400;

    // Whole clocks that cover at least ns nanoseconds.
    function integer clocks_in;
        input integer ns;
        // verilator lint_off UNUSEDSIGNAL
        reg [63:0] clocks;  // the product needs 64 bits; the clocks fit in 32
        // verilator lint_on UNUSEDSIGNAL
        begin
            clocks = (HZ * 64'd1 * ns + 64'd999999999) / 64'd1000000000;
            clocks_in = clocks[31:0];
        end
    endfunction

    // The half-clocks nearest to tenths tenths of a nanosecond.
    function integer halves_in;
        input integer tenths;
        // verilator lint_off UNUSEDSIGNAL
        reg [63:0] halves;
        // verilator lint_on UNUSEDSIGNAL
        begin
            halves = (HZ * 64'd2 * tenths + 64'd5000000000) / 64'd10000000000;
            halves_in = halves[31:0];
        end
    endfunction

    // A wait: the clocks that cover ns nanoseconds, plus one for the skew of the board's pins.
    function integer clocks_for;
        input integer ns;
        clocks_for = clocks_in(ns) + 1;
    endfunction

    // Each SCK phase: whole clocks of 20 ns or more (SCK at most 25 MHz).
    localparam integer HALF_SCK = (HZ + 49999999) / 50000000;
    // CONVST: high for the half-clocks nearest 30 ns, 25 ns to 35 ns from 50 MHz up.
    localparam integer CONVST_HALVES = halves_in(300);
    // SDO: the bit that an SCK fall launched at a rising edge E moves is valid at the FPGA
    // from E + 20.8 ns (5 ns to the converter, tDO 10.8 ns, 5 ns back) to the next fall,
    // 2 x HALF_SCK clocks later, + 4 ns (tHDO, with no delay); its middle, to the nearest
    // half-clock, is this many half-clocks after E.
    localparam integer SDO_HALVES = 2 * HALF_SCK + halves_in(124);
    localparam integer SDO_CLOCKS = (SDO_HALVES + 1) / 2;  // the rising edge that takes it
    localparam integer CONV_CLOCKS = clocks_for(1600);     // tCONV
    localparam integer ACQ_CLOCKS = clocks_for(ACQ_NS);    // acquisition, from the 7th rise
    localparam integer HOLD_CLOCKS = clocks_for(20);       // tHCONVST, from the 12th fall
    // Whether the acquisition can end before tHCONVST does: the timer, loaded at the 7th rise,
    // holds ACQ_CLOCKS - 11 x HALF_SCK at the 12th fall.
    localparam HOLD_BINDS = ACQ_CLOCKS < 11 * HALF_SCK + HOLD_CLOCKS;
    // The first frame after a reset or power-up sends the converter a word with SLP = 0, which
    // wakes it if the FPGA's configuration left it asleep; its reference then needs tREFWAKE
    // (200 ms with the datasheet's capacitors) before the next conversion. So from that
    // frame's read-out the block waits WAKE_MS more before its next CONVST, counted in turns
    // of the timer, which runs round its 2^TW values meanwhile (the first turn may be short).
    localparam integer WAKE_CLOCKS = WAKE == 0 ? 0 : clocks_for(WAKE * 1000000);
    // After a reset, tCONV, or the acquisition if longer: the converter may have been
    // converting, or reading out, when the reset came, and the SCK high phase that the reset
    // lets run out may still end in the 6th fall.
    localparam integer RESET_CLOCKS = clocks_for(ACQ_NS > 1600 ? ACQ_NS : 1600) + HALF_SCK;
    // CONVST's rise, tCONV, six SCK cycles, then an SCK phase and the acquisition, or the rest
    // of the read-out and tHCONVST, whichever is longer.
    localparam integer TAIL_CLOCKS = HALF_SCK + ACQ_CLOCKS > 12 * HALF_SCK + HOLD_CLOCKS ?
                                     HALF_SCK + ACQ_CLOCKS : 12 * HALF_SCK + HOLD_CLOCKS;
    localparam integer FRAME_CLOCKS = CONV_CLOCKS + 12 * HALF_SCK + TAIL_CLOCKS;

    // The timer's width: no wait is longer than the one after a reset, which covers tCONV and
    // the acquisition, each with an SCK phase to spare.
    localparam integer TW = $clog2(RESET_CLOCKS + 1);
    localparam integer WAKE_TURNS = WAKE == 0 ? 0 : ((WAKE_CLOCKS + (1 << TW) - 1) >> TW) + 1;
    localparam integer WW = WAKE_TURNS > 0 ? $clog2(WAKE_TURNS + 1) : 1;
    localparam integer HW = HALF_SCK > 1 ? $clog2(HALF_SCK) : 1;
    localparam integer CONVST_CLOCKS = CONVST_HALVES / 2;  // on the rising-edge flip-flop
    localparam integer CW = CONVST_CLOCKS > 1 ? $clog2(CONVST_CLOCKS) : 1;  // holds it - 1
    localparam integer CONVST_LOAD = CONVST_CLOCKS - 1;
    localparam integer SW = $clog2(SDO_CLOCKS + 1);

    localparam [31:0] ID = 32'h42414401; // "BAD", version 1
    localparam [31:0] SETTINGS = {ONLY ? 1'b1 : 1'b0, WAKE[10:0], ACQ_NS[19:0]};

    localparam [1:0] S_WAIT = 2'd0, S_CONV = 2'd1, S_SHIFT = 2'd2;

    reg [1:0] state = S_WAIT;
    reg [TW-1:0] timer = RESET_CLOCKS[TW-1:0] - 1'b1;  // clocks left to wait, less one
    reg [WW-1:0] wake = {WW{1'b0}};  // turns of the timer in the reference's wake-up so far
    reg [HW-1:0] sck_left = {HW{1'b0}};  // clocks left in this SCK phase
    reg [CW-1:0] convst_left = {CW{1'b0}};  // clocks CONVST stays high after this one
    reg convst_rise = 1'b0;  // CONVST's rising-edge flip-flop
    reg [3:0] falls = 4'd0;  // SCK falling edges in this read-out
    reg [SW-1:0] sdo_wait = {SW{1'b0}};  // clocks to the edge that takes the next SDO bit
    reg [3:0] bits = 4'd0;  // SDO bits taken in this read-out
    reg [10:0] result = 11'd0;  // bits taken so far
    reg [5:0] word_out = 6'd0;  // what is left of the word being sent
    reg [3:0] slot = 4'd0;  // frame number, modulo 16
    reg [2:0] sent_channel = 3'd0;  // the channel whose word goes out in this frame
    reg [2:0] conv_channel = 3'd0;  // the channel converted in this frame
    reg conv_known = 1'b0;  // this frame's conversion used a word sent since reset
    reg [95:0] codes = 96'd0;  // latest code of each channel, 12 bits each
    reg [7:0] fresh = 8'd0;  // channels with a code since reset
    reg [31:0] count = 32'd0;  // results published since reset
    integer c;
    // The first frame after a reset goes at once; the next waits for the reference.
    wire awake = wake == WAKE_TURNS[WW-1:0] || !conv_known;

    // CONVST at the pin: high for the half-clock after each rising edge that leaves
    // convst_rise high, and for the half-clock after that, when its high time is an odd number
    // of half-clocks, on the last. The DDIO output takes both halves at the rising edge and
    // drives the pin from its own registers: the pulse's width is the clock's, not a route's.
    wire convst_start = !reset && state == S_WAIT && timer == 0 && awake;
    wire convst_stays = convst_rise && convst_left != 0;
    wire convst_last_half = CONVST_HALVES % 2 == 1 && convst_rise && convst_left == 0;
    battery_adc_ddio convst_ddio (
        .datain_h(convst_start || convst_stays || convst_last_half),
        .datain_l(convst_start || convst_stays),
        .outclock(clk),
        .dataout(adc_convst)
    );

    // SDO as it was half a clock before the edge that takes it, when the window's middle is
    // at an odd half-clock.
    wire sdo_bit;
    generate
        if (SDO_HALVES % 2 == 1) begin : sdo_half
            reg sdo_late = 1'b0;
            always @(negedge clk) sdo_late <= adc_sdo;
            assign sdo_bit = sdo_late;
        end else begin : sdo_whole
            assign sdo_bit = adc_sdo;
        end
    endgenerate

    // Even frames ask for the battery channel, odd frames for each channel in turn; with
    // BATTERY_ONLY, every frame asks for the battery channel.
    wire [2:0] next_channel = slot[0] && !ONLY ? slot[3:1] : BATTERY[2:0];
    // S/D = 1 (single-ended), O/S = c[0], S1 = c[2], S0 = c[1], UNI = 1, SLP = 0.
    wire [5:0] next_word = {1'b1, next_channel[0], next_channel[2], next_channel[1], 2'b10};
    wire [11:0] last_result = {result, sdo_bit};

    always @(posedge clk) begin
        // The pins' own timing runs on through a reset.
        if (convst_left != 0) convst_left <= convst_left - 1'b1;
        else convst_rise <= 1'b0;
        if (sck_left != 0) sck_left <= sck_left - 1'b1;
        else adc_sck <= 1'b0;
        if (timer != 0 || !awake) timer <= timer - 1'b1;
        if (!awake && timer == 0) wake <= wake + 1'b1;
        if (sdo_wait != 0) sdo_wait <= sdo_wait - 1'b1;
        // Once a reset has stopped the frame, SDI goes back to 0 while SCK is low or as it
        // falls, never while it is high.
        if ((reset || state == S_WAIT) && (!adc_sck || sck_left == 0)) adc_sdi <= 1'b0;

        if (reset) begin
            state <= S_WAIT;
            timer <= RESET_CLOCKS[TW-1:0] - 1'b1;
            wake <= {WW{1'b0}};
            falls <= 4'd0;
            sdo_wait <= {SW{1'b0}};
            bits <= 4'd0;
            result <= 11'd0;
            word_out <= 6'd0;
            slot <= 4'd0;
            sent_channel <= 3'd0;
            conv_channel <= 3'd0;
            conv_known <= 1'b0;
            codes <= 96'd0;
            fresh <= 8'd0;
            count <= 32'd0;
        end else begin
            // SDO: a bit SDO_CLOCKS after the edge that ended the conversion's wait (the
            // MSB), then after each SCK fall.
            if (sdo_wait == 1) begin
                result <= last_result[10:0];
                bits <= bits + 1'b1;
                if (bits == 4'd11 && conv_known) begin
                    for (c = 0; c < 8; c = c + 1)
                        if (conv_channel == c[2:0]) begin
                            codes[c*12+:12] <= last_result;
                            fresh[c] <= 1'b1;
                        end
                    count <= count + 1'b1;
                end
            end
            case (state)
                S_WAIT:
                if (timer == 0 && awake) begin
                    // High from this edge to the one that finds convst_left at 0.
                    convst_rise <= 1'b1;
                    convst_left <= CONVST_LOAD[CW-1:0];
                    timer <= CONV_CLOCKS[TW-1:0] - 1'b1;
                    state <= S_CONV;
                end
                S_CONV:
                if (timer == 0) begin
                    sck_left <= HALF_SCK[HW-1:0] - 1'b1;
                    adc_sdi <= next_word[5];
                    word_out <= {next_word[4:0], 1'b0};
                    sent_channel <= next_channel;
                    falls <= 4'd0;
                    bits <= 4'd0;
                    sdo_wait <= SDO_CLOCKS[SW-1:0];
                    state <= S_SHIFT;
                end
                S_SHIFT:
                if (sck_left == 0) begin
                    sck_left <= HALF_SCK[HW-1:0] - 1'b1;
                    adc_sck <= !adc_sck;
                    if (adc_sck) begin
                        adc_sdi <= word_out[5];
                        word_out <= {word_out[4:0], 1'b0};
                        falls <= falls + 1'b1;
                        if (falls != 4'd11) sdo_wait <= SDO_CLOCKS[SW-1:0];
                        if (falls == 4'd11) begin
                            conv_channel <= sent_channel;
                            conv_known <= 1'b1;
                            slot <= slot + 1'b1;
                            state <= S_WAIT;
                            // CONVST stays low HOLD_CLOCKS after this fall, at least: where
                            // HOLD_BINDS, longer than the acquisition left on the timer.
                            if (HOLD_BINDS) timer <= HOLD_CLOCKS[TW-1:0] - 1'b1;
                        end
                    end else if (falls == 4'd6) begin
                        // The 7th rise: the converter's tACQ counts from here.
                        timer <= ACQ_CLOCKS[TW-1:0] - 1'b1;
                    end
                end
                default: begin
                    timer <= RESET_CLOCKS[TW-1:0] - 1'b1;
                    state <= S_WAIT;
                end
            endcase
        end
    end

    // The Avalon-MM slave: read latency 1, no waitrequest, every address answers. A read
    // changes nothing; a write is ignored.
    // verilator lint_off UNUSEDSIGNAL
    wire unused_write = avs_write | (|avs_writedata);
    // verilator lint_on UNUSEDSIGNAL

    reg [31:0] word;
    always @(*) begin
        case (avs_address)
            4'd0: word = {20'd0, codes[BATTERY*12+:12]};
            4'd1: word = count;
            4'd2: word = {20'd0, codes[0+:12]};
            4'd3: word = {20'd0, codes[12+:12]};
            4'd4: word = {20'd0, codes[24+:12]};
            4'd5: word = {20'd0, codes[36+:12]};
            4'd6: word = {20'd0, codes[48+:12]};
            4'd7: word = {20'd0, codes[60+:12]};
            4'd8: word = {20'd0, codes[72+:12]};
            4'd9: word = {20'd0, codes[84+:12]};
            4'd10: word = {24'd0, fresh};
            4'd11: word = HZ;
            4'd12: word = {29'd0, BATTERY[2:0]};
            4'd13: word = FRAME_CLOCKS;
            4'd14: word = SETTINGS;
            default: word = ID;
        endcase
    end

    always @(posedge clk) begin
        if (reset) avs_readdata <= 32'd0;
        else if (avs_read) avs_readdata <= word;
    end

`ifdef FORMAL
    // ================================================================== invariants
    // For the formal proof only (fpga/formal/): what the state above is at every step, tied
    // to the frame and to the proof's monitors of the pins (the f_ inputs), so that
    // induction closes for all time. One step is half a clock: clk is high in the step that
    // a rising edge starts, low in the one after. A monitor that saturates is either
    // saturated (f_*_full) or exactly what the block's counters say.
    localparam integer F_C = CONV_CLOCKS, F_H = HALF_SCK, F_A = ACQ_CLOCKS, F_R = RESET_CLOCKS;
    localparam integer F_K = CONVST_CLOCKS, F_SC = SDO_CLOCKS, F_FRAME = FRAME_CLOCKS;
    assign f_publish = !reset && sdo_wait == 1 && bits == 4'd11 && conv_known;
    localparam integer F_HOLD = HOLD_CLOCKS;
    // The wait left at the 12th fall.
    localparam integer F_TAIL_WAIT = F_FRAME - 1 - F_C - 24 * F_H;

    function [5:0] f_word;  // the word sent for channel c
        input [2:0] c;
        f_word = {1'b1, c[0], c[2], c[1], 2'b10};
    endfunction

    wire [31:0] f_h = {31'd0, !clk};  // half-clocks since the last rising edge: 0 or 1
    wire [31:0] f_timer = {{(32 - TW) {1'b0}}, timer};
    wire [31:0] f_left = {{(32 - HW) {1'b0}}, sck_left};
    wire [31:0] f_nfalls = {28'd0, falls};
    wire [31:0] f_cv = {16'd0, f_since_cv};
    // In a read-out: clocks since the last SCK fall (or since tCONV's wait ended), and since
    // tCONV's wait ended.
    wire [31:0] f_since_edge = (adc_sck ? F_H : 0) + F_H - 1 - f_left;
    wire [31:0] f_since_conv = 2 * F_H * f_nfalls + f_since_edge;
    wire f_after_7th_rise = falls >= 4'd7 || (falls == 4'd6 && adc_sck);
    wire [5:0] f_sent = f_word(sent_channel);
    wire [2:0] f_channel = {f_conv_word[3], f_conv_word[2], f_conv_word[4]};
    wire [11:0] f_new = {result, f_code[0]};  // the code the 12th SDO bit completes
    // The pins have published a code that the block has not yet taken.
    wire f_late = f_pending && state == S_SHIFT && bits == 4'd11;
    wire [5:0] f_taken_mask = 6'b111111 >> (6 - f_rises);
    wire [10:0] f_result_mask = 11'h7ff >> (11 - bits);
    wire [10:0] f_code_now = sdo_wait != 0 ? f_code >> 1 : f_code;
    wire [5:0] f_sdi_now = f_sent << falls;  // bit 5: what SDI has after `falls` falls
    // The wait for the reference: between the first frame after a reset and the second, the
    // timer runs round `wake` times. Clocks since the 12th fall, between frames.
    wire f_wake_frame = state == S_WAIT && f_cvs == 2'd1 && conv_known;
    wire [31:0] f_turns = f_cvs == 2'd1 ? {{(32 - WW) {1'b0}}, wake} : 32'd0;
    wire [31:0] f_after = F_TAIL_WAIT + (f_turns << TW) - f_timer;

    // The conversions since a reset whose words the block sent: the m-th used the word of
    // frame slot m - 1 (modulo 16). f_m: the one under way, or last read out.
    function [2:0] f_chan;  // the channel whose word frame slot s sends
        input [3:0] s;
        f_chan = s[0] && !ONLY ? s[3:1] : BATTERY[2:0];
    endfunction
    wire [3:0] f_m = state == S_WAIT && conv_known ? slot - 1'b1 : slot;
    // The battery's input comes in every even slot, so at most one conversion of another
    // input since its last; input w != BATTERY, in the mixed mode, in slot 2w + 1 only, so
    // f_m - 2w - 2 conversions since its last (modulo 16), or f_m before its first.
    wire f_other = f_channel != BATTERY[2:0];
    wire [3:0] f_since_w = f_m - {f_watch, 1'b0} - 4'd2;
    wire f_first_lap = ONLY || {1'b0, f_m} < {1'b0, f_watch, 1'b0} + 5'd2;
    // The battery's last code filed: this conversion's, or the one a frame before, or two
    // frames when this one is the battery's and the one before is not.
    wire f_filed = f_pending && !f_other;
    wire f_twice = !f_other && f_chan(f_m - 4'd2) != BATTERY[2:0];
    wire [31:0] f_frame_age = {16'd0, f_frame};
    wire [31:0] f_back = f_frame_age + (f_twice ? 4 : 2) * F_FRAME;
    wire [31:0] f_age_now = f_filed ? f_frame_age : f_back;

    always @(*)
        if (f_on) begin
            assert (state != 2'd3);
            // The wait for the reference: none before the first frame's read-out has ended,
            // all of it done from the second frame on.
            assert (f_cvs != 2'd3 && f_clean == (f_cvs != 2'd0));
            assert (wake <= WAKE_TURNS);
            if (!conv_known) assert (wake == 0);
            else if (!f_wake_frame) assert (wake == WAKE_TURNS[WW-1:0]);
            if (f_cvs == 2'd1 && state != S_WAIT) assert (!conv_known);
            if (f_cvs == 2'd2) assert (conv_known);
            if (f_wake_frame) assert (f_woke && (f_waking_full || f_waking == 2 * f_after + f_h));
            else if (f_cvs != 2'd2) assert (!f_woke);
            if (f_first)
                assert (!clk && state == S_WAIT && f_timer == F_R - 1 && !adc_sck && !adc_sdi &&
                        !convst_rise && convst_left == 0 && codes == 0 && fresh == 0 &&
                        count == 0 && !conv_known && !f_clean && !f_pending && wake == 0);
            if (!f_wake_frame || wake == 0) assert (f_timer < F_R);
            assert (f_left < F_H);
            // CONVST: its pulse, from the step it rose.
            assert (convst_left == 0 || convst_rise);
            assert (convst_left <= CONVST_LOAD);
            if (convst_rise)
                assert (!f_cv_full && f_cv == 2 * (CONVST_LOAD - convst_left) + f_h);
            // The pin, from the DDIO output: high for CONVST_HALVES steps from its rise.
            assert (adc_convst == (!f_cv_full && f_cv < CONVST_HALVES));
            if (adc_convst)
                assert (!f_cv_full && f_high == f_since_cv + 1'b1 && !adc_sck && !f_open);
            // SCK high only in a read-out, or in an SCK phase that a reset let run out.
            if (adc_sck)
                assert (f_cv_full && (f_phase_full || f_phase == 2 * (F_H - 1 - f_left) + f_h + 1));
            if (f_open) assert (state == S_SHIFT);
            // After a reset or power-up, a whole wait: a reset at a rising edge, or power-up
            // half a clock before one.
            if (!f_reset_full)
                assert (state == S_WAIT && (f_since_reset == 2 * (F_R - 1 - f_timer) + f_h ||
                                            f_since_reset + 1 == 2 * (F_R - 1 - f_timer) + f_h));
            if (f_frame_known) assert (f_frame_len == 2 * F_FRAME);

            if (state == S_CONV) begin
                    assert (!adc_sck && !adc_sdi && sdo_wait == 0 && f_timer < F_C);
                    assert (f_clean && f_rises == 0 && f_falls == 0 && !f_pending);
                    assert (f_cv_full || f_cv == 2 * (F_C - 1 - f_timer) + f_h);
                    assert (f_frame_full || f_frame == 2 * (F_C - 1 - f_timer) + f_h);
                    assert (f_moved_full || f_moved == 2 * (F_C - 1 - f_timer) + f_h);
                    assert (f_msb && f_bit_real && f_code[0] == f_bit);
                    assert (conv_known == f_conv_known);
                    if (conv_known) assert (f_conv_word == f_word(conv_channel));
            end else if (state == S_SHIFT) begin
                    assert (f_cv_full && f_clean && falls <= 4'd11 && !adc_convst);
                    assert (f_falls == falls && f_rises == falls + adc_sck);
                    assert (f_open == (adc_sck || falls != 0));
                    if (!adc_sck && falls != 0)
                        assert (f_phase_full || f_phase == 2 * (F_H - 1 - f_left) + f_h + 1);
                    assert (f_frame_full || f_frame == 2 * (F_C + f_since_conv) + f_h);
                    // The word on SDI, and as the converter has taken it.
                    assert (word_out == f_sent << (falls + 1));
                    assert (adc_sdi == f_sdi_now[5]);
                    if (f_rises < 6) assert (((f_word_in ^ (f_sent >> (6 - f_rises))) & f_taken_mask) == 0);
                    else assert (f_next_known && f_next_word == f_sent);
                    if (ONLY) assert (sent_channel == BATTERY[2:0]);
                    // The acquisition, from the 7th rise.
                    if (!f_after_7th_rise) assert (f_timer == 0);
                    else
                        assert ((f_timer + f_since_conv - 13 * F_H == F_A - 1 ||
                                 (f_timer == 0 && f_since_conv - 13 * F_H >= F_A - 1)) &&
                                (f_acq_full || f_acq == 2 * (f_since_conv - 13 * F_H) + f_h));
                    // SDO: each bit taken SDO_CLOCKS after the edge that moved it.
                    assert (f_bit_real && f_msb == (falls == 0));
                    assert (sdo_wait == (f_since_edge < F_SC ? F_SC - f_since_edge : 0));
                    assert (bits + (sdo_wait != 0) == falls + 1);
                    if (falls == 0)
                        assert (f_moved_full || f_moved == 2 * (F_C + f_since_edge) + f_h);
                    else assert (!f_moved_full && f_moved == 2 * f_since_edge + f_h);
                    assert (f_code[0] == f_bit);
                    if (!clk && sdo_wait == 1) assert (sdo_bit == f_code[0]);
                    if (falls <= 10) assert (((result ^ f_code_now) & f_result_mask) == 0);
                    else if (sdo_wait != 0) assert (result[9:0] == f_code[10:1]);
                    assert (conv_known == f_conv_known);
                    if (conv_known) assert (f_conv_word == f_word(conv_channel));
                    assert (f_pending == (falls == 4'd11 && f_conv_known));
            end else begin  // S_WAIT
                    assert (sdo_wait == 0);
                    if (!adc_sck) assert (!adc_sdi);
                    if (adc_sck) assert (!f_clean && f_timer >= F_A + f_left);
                    if (!f_cv_full) assert (f_cv + 2 * f_timer + f_h >= 2 * (F_R - 1));
                    // tHCONVST, from the last SCK fall.
                    if (!adc_sck)
                        assert (f_hold_full || {16'd0, f_hold} + 2 * f_timer >= 2 * (F_HOLD - 1) + f_h);
                    assert (f_pending == (f_clean && f_conv_known));
                    if (f_clean)
                        assert (bits == 4'd12 && conv_known && sent_channel == conv_channel &&
                                f_rises == 12 && f_falls == 12 && f_cv_full &&
                                f_next_known && f_next_word == f_word(conv_channel) &&
                                (f_turns != 0 || f_timer <= F_TAIL_WAIT) &&
                                (f_frame_full ||
                                 f_frame == 2 * (F_FRAME - 1 - F_TAIL_WAIT + f_after) + f_h) &&
                                (f_hold_full || f_hold == 2 * f_after + f_h) &&
                                (f_acq_full || f_acq == 2 * (f_after + 11 * F_H) + f_h));
                    else assert (!conv_known && !f_next_known && !f_conv_known);
            end
            // The acquisition counted from the 7th rise, or from a fall after a reset.
            if ((state == S_WAIT || (state == S_SHIFT && f_after_7th_rise)) && f_timer < F_A)
                assert (f_acq_full || f_acq >= 2 * (F_A - 1 - f_timer) + f_h);

            // The conversions since the reset, and the channel of each.
            if (conv_known) assert (conv_channel == f_chan(slot - 1'b1));
            else assert (slot == 4'd0);
            if (state == S_SHIFT) assert (sent_channel == f_chan(slot));
            if (f_cvs != 2'd2) assert (!f_conv_known);
            if (!f_conv_known)
                assert (f_m == 4'd0 && f_apart == 2'd0 && f_unwatched == 5'd0 && !f_aged &&
                        !f_aged_was);
            else begin
                assert (f_channel == f_chan(f_m - 1'b1));
                // A frame's steps are counted, not saturated, where they fit the monitor.
                if (2 * F_FRAME < 65535) assert (!f_frame_full);
                assert (f_apart == {1'b0, f_other});
                if (f_watch == BATTERY[2:0]) assert (f_unwatched == {4'd0, f_other});
                else
                    assert ((!ONLY && f_unwatched == {1'b0, f_since_w}) ||
                            (ONLY && f_unwatched == 5'd16) ||
                            (f_first_lap && f_unwatched == {1'b0, f_m}));
                // The ages of the codes that word 0 may show.
                if (f_aged) assert (!f_age_full && f_age == f_age_now);
                else assert (f_m == 4'd1 && !f_pending);
                if (f_filed) begin
                    if (f_aged_was)
                        assert (f_age_was_full ? f_back >= f_age_was : f_age_was == f_back);
                    else assert (f_m == 4'd1);
                end else if (f_pending)
                    assert (f_aged_was == f_aged && f_age_was == f_age &&
                            f_age_was_full == f_age_full);
            end

            // The codes: what the pins published, taken at the 12th bit.
            if (!f_late)
                assert (codes[BATTERY*12+:12] == f_battery && codes[f_watch*12+:12] == f_watched &&
                        fresh[f_watch] == f_fresh && count == f_count);
            else begin
                assert (codes[BATTERY*12+:12] == f_battery_was &&
                        codes[f_watch*12+:12] == f_watched_was && fresh[f_watch] == f_fresh_was &&
                        count + 1 == f_count && conv_known && conv_channel == f_channel);
                assert (f_battery == (f_channel == BATTERY[2:0] ? f_new : f_battery_was));
                assert (f_watched == (f_channel == f_watch ? f_new : f_watched_was));
                assert (f_fresh == (f_channel == f_watch || f_fresh_was));
            end
        end
`endif

endmodule

// battery_adc_ddio: CONVST's DDIO output register, under a name of the block's own. Quartus's
// synthesis defines ALTERA_RESERVED_QIS: there it is Intel's megafunction altddio_out
// (altera_mf), placed in the pin's I/O cell. Everywhere else (Verilator, Yosys, and a
// simulator of the generated system, which has altera_mf beside it) it is the model below, so
// no tool ever sees a second module named altddio_out. Both data inputs are taken at
// outclock's rising edge; the pin shows datain_h's value while outclock is high and datain_l's
// while it is low. Its registers start low (power_up_high OFF).
// verilator lint_off DECLFILENAME
module battery_adc_ddio (
    input  wire datain_h,
    input  wire datain_l,
    input  wire outclock,
    output wire dataout
);
`ifdef ALTERA_RESERVED_QIS
    // Every port tied as the megafunction's defaults leave it: always clocked, no set or
    // clear, the output enabled.
    // verilator lint_off PINCONNECTEMPTY
    altddio_out #(
        .width(1),
        .intended_device_family("Cyclone V"),
        .power_up_high("OFF"),
        .lpm_type("altddio_out")
    ) ddio (
        .datain_h(datain_h),
        .datain_l(datain_l),
        .outclock(outclock),
        .outclocken(1'b1),
        .aset(1'b0),
        .aclr(1'b0),
        .sset(1'b0),
        .sclr(1'b0),
        .oe(1'b1),
        .dataout(dataout),
        .oe_out()
    );
    // verilator lint_on PINCONNECTEMPTY
`else
    reg high = 1'b0;
    reg low = 1'b0;
    always @(posedge outclock) begin
        high <= datain_h;
        low <= datain_l;
    end
    assign dataout = outclock ? high : low;
`endif
endmodule
// verilator lint_on DECLFILENAME

`default_nettype wire
