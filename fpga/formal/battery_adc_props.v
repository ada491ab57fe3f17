// SPDX-License-Identifier: MIT
//
// battery_adc_props: the properties that the formal proof holds battery_adc to, written at
// the block's ports only. It instantiates the block twice: `dut`, driven by an arbitrary
// Avalon master, and `quiet`, given the same reset and SDO and no bus traffic at all.
//
// Time. One step of the proof is half a clock: `clk` is made here and toggles every step
// (Yosys's clk2fflogic turns both the block's rising-edge and falling-edge flip-flops into
// flip-flops of that step). Steps 1, 3, 5, ... are clk's rising edges, the even steps its
// falling ones. A pin's value at step s is what a flip-flop put there at the edge of step s;
// an input's value at step s is what the edge of step s + 1 takes. Every time below is in
// half-clock steps, converted from nanoseconds at the CLOCK_HZ given, rounded to the safe
// side of the rule.
//
// What the environment may do (assumptions, so that nothing else is assumed):
//   - reset and the Avalon inputs are arbitrary, but synchronous: they change only at clk's
//     rising edges, as a rising-edge flip-flop elsewhere would make them;
//   - SDO is arbitrary, except inside the windows where the converter's bit is valid at
//     this side of the board (below), where it is the converter's bit; the bits themselves
//     are arbitrary.
//   - with NEVER_RESET, reset stays low (power-up without a reset).
//
// SDO. The converter moves SDO after each SCK fall: the old bit holds 4 ns (tHDO) after the
// fall at its pin, the new bit is valid 10.8 ns (tDO) after it. With 0 ns to 5 ns each way
// between the pins, the bit moved by the fall launched at a clk edge E is valid here from
// E + 20.8 ns until the next fall's E + 4 ns. The first bit (the MSB) appears when the
// conversion ends: valid here from CONVST's rise + 5 + 1600 + 10.8 + 5 ns. An edge that
// samples SDO outside its bit's window sees an arbitrary value.
//
// Each property is an output that is 1 at a step where it is broken while every assumption
// has held so far: the proof's AIGER has one bad-state output per property, by name.

`default_nettype none

module battery_adc_props #(
    parameter integer CLOCK_HZ = 50000000,
    parameter integer BATTERY_CHANNEL = 0,
    parameter integer ACQUISITION_NS = 6000,
    parameter integer BATTERY_ONLY = 0,
    parameter integer WAKE_MS = 0,  // the block's wait for the converter's reference
    parameter integer NEVER_RESET = 0
) (
    input wire        reset,
    input wire [ 3:0] avs_address,
    input wire        avs_read,
    input wire        avs_write,
    input wire [31:0] avs_writedata,
    input wire        sdo_noise,  // SDO where no bit is valid
    input wire        next_bit,   // the converter's next bit, taken when it moves SDO
    input wire [ 2:0] watch_any,  // the channel whose word is checked, taken at power-up

    output wire idle_at_power_up,
    output wire convst_high_datasheet,
    output wire convst_high_margin,
    output wire convst_after_reset,
    output wire tconv_between_convst,
    output wire no_sck_in_tconv,
    output wire tacq_datasheet,
    output wire tacq_setting,
    output wire convst_hold_datasheet,
    output wire convst_hold_margin,
    output wire sck_phase_datasheet,
    output wire sck_phase_margin,
    output wire sdi_moves_with_sck_low,
    output wire twelve_sck_cycles,
    output wire convst_low_in_readout,
    output wire sdi_word_legal,
    output wire pins_ignore_bus,
    output wire read_in_reset_is_0,
    output wire word0_battery_code,
    output wire word1_count,
    output wire word2to9_channel_code,
    output wire word10_fresh,
    output wire word11to15_constants,
    output wire word13_frame_clocks,
    output wire convst_after_wake,
    output wire battery_every_two_frames,
    output wire every_input_in_16_frames,
    output wire word0_age,

    // What the proof must reach: each is 1 at a step where it happens, all assumptions held.
    output wire cover_battery_code,                // a code of the battery channel published
    output wire cover_battery_code_again,          // ... a second one since the reset
    output wire cover_every_channel,               // a code for every channel (with
                                                   // BATTERY_ONLY, the battery's) since the reset
    output wire cover_mid_frame,                   // a frame under way: CONVST has risen and
                                                   // its read-out has not ended
    output wire cover_code_after_reset_mid_frame,  // a code published after such a reset
    output wire cover_read_as_code_filed,          // word 0 read by the edge that files a
                                                   // battery code
    output wire cover_write_as_code_filed          // a write taken by the edge that files a code
);

    // Half-clock steps covering at least / at most ps picoseconds.
    function integer steps_at_least;
        input [63:0] ps;
        reg [63:0] n;
        begin
            n = (ps * 2 * CLOCK_HZ + 64'd999999999999) / 64'd1000000000000;
            steps_at_least = n[31:0];
        end
    endfunction
    function integer clocks_at_least;
        input [63:0] ps;
        reg [63:0] n;
        begin
            n = (ps * CLOCK_HZ + 64'd999999999999) / 64'd1000000000000;
            clocks_at_least = n[31:0];
        end
    endfunction
    function integer steps_at_most;
        input [63:0] ps;
        reg [63:0] n;
        begin
            n = (ps * 2 * CLOCK_HZ) / 64'd1000000000000;
            steps_at_most = n[31:0];
        end
    endfunction

    localparam integer SKEW_PS = 5000;  // the board budget, each way
    localparam integer TCONV_PS = 1600000;
    localparam integer CV_MIN_DS = steps_at_least(20000);
    localparam integer CV_MAX_DS = steps_at_most(40000);
    localparam integer CV_MIN = steps_at_least(25000);
    localparam integer CV_MAX = steps_at_most(35000);
    // CONVST and SCK leave on different pins: 5 ns of skew either way.
    localparam integer TCONV_PINS = steps_at_least(TCONV_PS + SKEW_PS);
    localparam integer TCONV_RESET = steps_at_least(TCONV_PS);
    localparam integer ACQ_DS = steps_at_least(240000 + SKEW_PS);
    localparam integer ACQ_SET = steps_at_least(ACQUISITION_NS * 64'd1000);
    localparam integer ACQ_MAX = ACQ_DS > ACQ_SET ? ACQ_DS : ACQ_SET;
    localparam integer HOLD_DS = steps_at_least(20000 + SKEW_PS);  // tHCONVST
    localparam integer HOLD_MARGIN = steps_at_least(20000) + 2;  // 20 ns and a clock
    localparam integer HOLD_MAX = HOLD_DS > HOLD_MARGIN ? HOLD_DS : HOLD_MARGIN;
    localparam integer SCK_DS = steps_at_least(12500);
    localparam integer SCK_MIN = steps_at_least(20000);
    localparam integer SDO_NEW = steps_at_least(20800);
    localparam integer SDO_OLD = steps_at_most(4000);
    localparam integer SDO_MSB = steps_at_least(1620800);
    localparam integer FRAME_MAX = 65535;  // steps; a frame is far shorter at these settings
    // The reference's wake-up, WAKE_MS, and the pins' skew: at most 2000 ms, so in
    // nanoseconds to stay within 64 bits.
    localparam [63:0] WAKE_NS = WAKE_MS * 64'd1000000 + SKEW_PS / 1000;
    localparam [63:0] WAKE_N = (WAKE_NS * 2 * CLOCK_HZ + 64'd999999999) / 64'd1000000000;
    localparam integer WAKE_STEPS = WAKE_N[31:0];

    // The latency from a step at the battery's input to word 0, as docs/fpga-interface.md
    // ("Settings, sample rate and latency") gives it: two frames (one with BATTERY_ONLY)
    // from one conversion of the battery's input to the next, then tCONV and a clock, 24 SCK
    // phases and the clock that a read takes; a frame being tCONV and a clock, 12 SCK
    // phases, then an SCK phase and the acquisition and a clock, or 12 SCK phases and
    // tHCONVST and a clock, whichever is longer. In clocks, then in steps: a read must answer
    // a code whose conversion's CONVST rose less than that before.
    localparam integer HALF_SCK = (CLOCK_HZ + 49999999) / 50000000;
    localparam integer CONV_CLOCKS = clocks_at_least(TCONV_PS) + 1;
    localparam integer AFTER_ACQ = HALF_SCK + clocks_at_least(ACQUISITION_NS * 64'd1000) + 1;
    localparam integer AFTER_HOLD = 12 * HALF_SCK + clocks_at_least(20000) + 1;
    localparam integer FRAME = CONV_CLOCKS + 12 * HALF_SCK +
                               (AFTER_ACQ > AFTER_HOLD ? AFTER_ACQ : AFTER_HOLD);
    localparam integer LATENCY = (BATTERY_ONLY != 0 ? 1 : 2) * FRAME + CONV_CLOCKS +
                                 24 * HALF_SCK + 1;
    localparam integer AGE = 2 * LATENCY;

    localparam integer WCV = $clog2(TCONV_PINS + 2);
    localparam integer WACQ = $clog2(ACQ_MAX + 2);
    localparam integer WSDO = $clog2(SDO_MSB + 2);
    localparam integer WPH = $clog2(SCK_MIN + 2);
    localparam integer WHOLD = $clog2(HOLD_MAX + 2);
    localparam integer WAG = $clog2(AGE + 2);
    localparam integer WHI = $clog2(CV_MAX_DS + 2);
    localparam integer WWK = $clog2(WAKE_STEPS + 2);

    localparam [31:0] ID = 32'h42414401;

    // ------------------------------------------------------------------ time and the bus
    reg clk = 1'b0;
    reg first = 1'b1;  // step 0: power-up
    always @($global_clock) begin
        clk <= !clk;
        first <= 1'b0;
    end
    wire rising = clk;  // this step is a rising edge of clk

    reg reset_p = 1'b0, read_p = 1'b0;
    reg [3:0] address_p = 4'd0;
    reg write_p = 1'b0;
    reg [31:0] writedata_p = 32'd0;
    always @($global_clock) begin
        reset_p <= reset;
        read_p <= avs_read;
        address_p <= avs_address;
        write_p <= avs_write;
        writedata_p <= avs_writedata;
    end
    // The edge of this step takes reset (and a read) from the step before.
    wire reset_edge = rising && reset_p && !first;

    wire [31:0] readdata, quiet_readdata;
    wire convst, sck, sdi, sdo;
    wire quiet_convst, quiet_sck, quiet_sdi;
    wire files, quiet_files;  // the block's next rising edge files a code

    // ------------------------------------------------------------------ pin events
    reg convst_p = 1'b0, sck_p = 1'b0, sdi_p = 1'b0;
    always @($global_clock) begin
        convst_p <= convst;
        sck_p <= sck;
        sdi_p <= sdi;
    end
    wire cv_rise = !first && convst && !convst_p;
    wire cv_fall = !first && !convst && convst_p;
    wire sck_rise = !first && sck && !sck_p;
    wire sck_fall = !first && !sck && sck_p;

    // SCK edges since CONVST last rose; 12 of each before the first CONVST, as if a
    // read-out had just ended.
    reg [3:0] rises_q = 4'd12, falls_q = 4'd12;
    wire [3:0] rises = cv_rise ? 4'd0 : rises_q + (sck_rise && rises_q != 4'd15);
    wire [3:0] falls = cv_rise ? 4'd0 : falls_q + (sck_fall && falls_q != 4'd15);
    reg open_q = 1'b0;  // between a read-out's first SCK rise and its 12th fall
    wire open = reset_edge ? 1'b0 : sck_rise && rises == 4'd1 ? 1'b1 :
                sck_fall && falls == 4'd12 ? 1'b0 : open_q;
    reg clean_q = 1'b0;  // no reset since CONVST last rose
    wire clean = reset_edge ? 1'b0 : cv_rise ? 1'b1 : clean_q;
    // CONVST rises since the last reset or power-up, up to 2.
    reg [1:0] cvs_q = 2'd0;
    wire [1:0] cvs = reset_edge ? 2'd0 : cv_rise && cvs_q != 2'd2 ? cvs_q + 1'b1 : cvs_q;
    always @($global_clock) begin
        cvs_q <= cvs;
        rises_q <= rises;
        falls_q <= falls;
        open_q <= open;
        clean_q <= clean;
    end

    // Saturating step counters.
    reg [WHI-1:0] high_q = 0;  // steps CONVST has been high
    wire [WHI-1:0] high = !convst ? 0 : high_q + (high_q <= CV_MAX_DS);
    reg [WCV-1:0] since_cv_q = TCONV_PINS;  // steps since CONVST rose
    wire [WCV-1:0] since_cv = cv_rise ? 0 : since_cv_q + (since_cv_q < TCONV_PINS);
    reg [WCV-1:0] since_reset_q = 0;  // steps since an edge took reset, or power-up
    wire [WCV-1:0] since_reset = reset_edge ? 0 : since_reset_q + (since_reset_q < TCONV_PINS);
    // Steps since one of a read-out's first six SCK falls or its 7th rise, the edge that the
    // datasheet counts tACQ from.
    reg [WACQ-1:0] acq_q = ACQ_MAX;
    wire [WACQ-1:0] acq = (sck_fall && falls <= 4'd6) || (sck_rise && rises == 4'd7) ? 0 :
                          acq_q + (acq_q < ACQ_MAX);
    reg [WHOLD-1:0] hold_q = HOLD_MAX;  // steps since SCK last fell
    wire [WHOLD-1:0] hold = sck_fall ? 0 : hold_q + (hold_q < HOLD_MAX);
    reg [WPH-1:0] phase_q = SCK_MIN;  // steps SCK has been at its level
    wire [WPH-1:0] phase = sck != sck_p ? 1 : phase_q + (phase_q < SCK_MIN);
    // Steps since the 12th SCK fall of the first frame after a reset or power-up, the end of
    // the read-out whose word (SLP = 0) wakes the converter; 0 until then.
    reg woke_q = 1'b0;
    reg [WWK-1:0] waking_q = 0;
    wire wake_start = sck_fall && falls == 4'd12 && clean && cvs == 2'd1 && !reset_edge;
    wire woke = reset_edge ? 1'b0 : wake_start || woke_q;
    wire [WWK-1:0] waking = reset_edge || wake_start ? 0 :
                            waking_q + (woke_q && waking_q < WAKE_STEPS);
    always @($global_clock) begin
        high_q <= high;
        since_cv_q <= since_cv;
        since_reset_q <= since_reset;
        acq_q <= acq;
        hold_q <= hold;
        phase_q <= phase;
        woke_q <= woke;
        waking_q <= waking;
    end

    // ------------------------------------------------------------------ the converter
    // The bit on SDO and the one before it, each with whether it is a real bit.
    reg bit_q = 1'b0, old_q = 1'b0, bit_real_q = 1'b0, old_real_q = 1'b0, msb_q = 1'b0;
    reg [WSDO-1:0] moved_q = SDO_MSB;  // steps since SDO was moved
    wire moves = cv_rise || sck_fall;
    wire bit_now = moves ? next_bit : bit_q;
    wire old_now = moves ? bit_q : old_q;
    wire bit_real = moves ? cv_rise || falls <= 4'd11 : bit_real_q;
    wire old_real = moves ? bit_real_q && sck_fall : old_real_q;
    wire msb = moves ? cv_rise : msb_q;
    wire [WSDO-1:0] moved = moves ? 0 : moved_q + (moved_q < SDO_MSB);
    // The edge of the next step samples SDO one step after this one.
    wire [WSDO:0] age = moved + 1'b1;
    wire new_valid = bit_real && age >= (msb ? SDO_MSB : SDO_NEW);
    wire old_valid = old_real && age <= SDO_OLD;
    assign sdo = new_valid ? bit_now : old_valid ? old_now : sdo_noise;
    always @($global_clock) begin
        bit_q <= bit_now;
        old_q <= old_now;
        bit_real_q <= bit_real;
        old_real_q <= old_real;
        msb_q <= msb;
        moved_q <= moved;
    end

    // The code being read: B11 when CONVST rose, B10..B0 at SCK falls 1 to 11.
    reg [10:0] code_q = 11'd0;
    wire [11:0] code = {code_q, next_bit};
    // The word going out on SDI, taken by the converter at SCK rises 1 to 6, and the word
    // that configures the conversion now running. Known: sent whole since the last reset.
    reg [5:0] word_in_q = 6'd0, next_word_q = 6'd0, conv_word_q = 6'd0;
    reg next_known_q = 1'b0, conv_known_q = 1'b0;
    wire [5:0] word_in = {word_in_q[4:0], sdi};
    wire word_done = sck_rise && rises == 4'd6;
    wire [5:0] next_word = word_done ? word_in : next_word_q;
    wire next_known = reset_edge ? 1'b0 : word_done ? clean :
                      sck_rise && rises == 4'd1 ? 1'b0 : next_known_q;
    wire [5:0] conv_word = cv_rise ? next_word : conv_word_q;
    wire conv_known = reset_edge ? 1'b0 : cv_rise ? next_known : conv_known_q;
    // S/D O/S S1 S0 UNI SLP: single-ended, unipolar, awake; the channel is S1 S0 O/S.
    wire [2:0] channel = {conv_word_q[3], conv_word_q[2], conv_word_q[4]};
    wire published = sck_fall && falls == 4'd11 && clean && conv_known_q && !reset_edge;

    // What the block must show: the battery channel's latest code, one other channel's
    // (any: `watch` is arbitrary and never changes, so the proof covers each), the count.
    // From the 11th fall (B0 is on SDO) to the next CONVST rise, the value before may still
    // show: `pending`.
    reg [2:0] watch = 3'd0;  // arbitrary from step 1 on, then fixed
    reg [11:0] battery_q = 12'd0, battery_was_q = 12'd0, watched_q = 12'd0, watched_was_q = 12'd0;
    reg fresh_q = 1'b0, fresh_was_q = 1'b0, pending_q = 1'b0;
    reg [31:0] count_q = 32'd0;
    reg [15:0] frame_q = 16'd0, frame_len_q = 16'd0;
    reg frame_known_q = 1'b0;
    wire [10:0] code_now = moves && bit_real ? {code_q[9:0], next_bit} : code_q;
    wire [5:0] word_in_now = sck_rise && rises <= 4'd6 ? word_in : word_in_q;
    wire [11:0] battery_now = reset_edge ? 12'd0 :
                              published && channel == BATTERY_CHANNEL[2:0] ? code : battery_q;
    wire [11:0] watched_now = reset_edge ? 12'd0 : published && channel == watch ? code : watched_q;
    wire fresh_now = reset_edge ? 1'b0 : published && channel == watch ? 1'b1 : fresh_q;
    wire [11:0] battery_was_now = published ? battery_q : battery_was_q;
    wire [11:0] watched_was_now = published ? watched_q : watched_was_q;
    wire fresh_was_now = published ? fresh_q : fresh_was_q;
    wire [31:0] count_now = reset_edge ? 32'd0 : published ? count_q + 1'b1 : count_q;
    wire pending_now = reset_edge ? 1'b0 : published ? 1'b1 : cv_rise ? 1'b0 : pending_q;
    // A frame: CONVST rise to CONVST rise with no reset between; not the first after a reset,
    // which the wait for the reference makes longer by WAKE_MS.
    wire [15:0] frame_now = cv_rise ? 16'd0 : frame_q + (frame_q != FRAME_MAX);
    wire frame_ends = cv_rise && clean_q && !reset_edge && frame_q != FRAME_MAX &&
                      (WAKE_MS == 0 || cvs_q != 2'd1);
    wire [15:0] frame_len_now = frame_ends ? frame_q + 1'b1 : frame_len_q;
    wire frame_known_now = frame_ends || frame_known_q;
    // The conversions configured by a word sent since the reset, each counted as its CONVST
    // rises: since the last of the battery's input (up to 2), and since the last of the
    // watched input (up to 16); none before the first.
    wire converts = cv_rise && conv_known;
    wire [2:0] converted = {conv_word[3], conv_word[2], conv_word[4]};
    reg [1:0] apart_q = 2'd0;
    reg [4:0] unwatched_q = 5'd0;
    wire [1:0] apart_now = reset_edge ? 2'd0 : !converts ? apart_q :
                           converted == BATTERY_CHANNEL[2:0] ? 2'd0 : apart_q + (apart_q != 2'd2);
    wire [4:0] unwatched_now = reset_edge ? 5'd0 : !converts ? unwatched_q :
                               converted == watch ? 5'd0 : unwatched_q + (unwatched_q != 5'd16);
    // The age in steps, from its conversion's CONVST rise, of the code in `battery` and of the
    // one in `battery_was`, up to AGE; whether each is a code (not the 0 after a reset).
    reg [WAG-1:0] age_q = 0, age_was_q = 0;
    reg aged_q = 1'b0, aged_was_q = 1'b0;
    wire battery_filed = published && channel == BATTERY_CHANNEL[2:0];
    wire [WAG-1:0] age_frame = frame_now < AGE ? frame_now : AGE;
    wire [WAG-1:0] age_now = battery_filed ? age_frame : age_q + (age_q < AGE);
    wire [WAG-1:0] age_was_now = published ? age_q + (age_q < AGE) :
                                 age_was_q + (age_was_q < AGE);
    wire aged_now = reset_edge ? 1'b0 : battery_filed || aged_q;
    wire aged_was_now = reset_edge ? 1'b0 : published ? aged_q : aged_was_q;
    always @($global_clock) begin
        if (first) watch <= watch_any;
        word_in_q <= word_in_now;
        code_q <= code_now;
        next_word_q <= next_word;
        next_known_q <= next_known;
        conv_word_q <= conv_word;
        conv_known_q <= conv_known;
        battery_q <= battery_now;
        battery_was_q <= battery_was_now;
        watched_q <= watched_now;
        watched_was_q <= watched_was_now;
        fresh_q <= fresh_now;
        fresh_was_q <= fresh_was_now;
        count_q <= count_now;
        pending_q <= pending_now;
        frame_q <= frame_now;
        frame_len_q <= frame_len_now;
        frame_known_q <= frame_known_now;
        apart_q <= apart_now;
        unwatched_q <= unwatched_now;
        age_q <= age_now;
        age_was_q <= age_was_now;
        aged_q <= aged_now;
        aged_was_q <= aged_was_now;
    end


    // ------------------------------------------------------------------ assumptions
    wire bus_steady = rising || first ||
        (reset == reset_p && avs_read == read_p && avs_write == write_p &&
         avs_address == address_p && avs_writedata == writedata_p);
    wire assumed = bus_steady && (NEVER_RESET == 0 || !reset);
    reg held = 1'b1;
    always @($global_clock) held <= held && assumed;
    wire ok = held && assumed;

    // ------------------------------------------------------------------ the two blocks
    // Each gets the monitors as they stand after each step, for its invariants (its f_
    // inputs, under FORMAL); the quiet copy checks none. A saturating count is `full` at its
    // limit or beyond (a value beyond is never reached, but the proof need not know that).
    wire [15:0] m_since_cv = since_cv, m_since_reset = since_reset, m_acq = acq;
    wire [15:0] m_phase = phase, m_high = high, m_moved = moved, m_hold = hold;
    wire [31:0] m_waking = {{(32 - WWK) {1'b0}}, waking};
    wire [31:0] m_age = {{(32 - WAG) {1'b0}}, age_now};
    wire [31:0] m_age_was = {{(32 - WAG) {1'b0}}, age_was_now};
`define BATTERY_ADC_MONITORS \
        .f_first(first), \
        .f_since_cv(m_since_cv), .f_cv_full(since_cv >= TCONV_PINS), \
        .f_since_reset(m_since_reset), .f_reset_full(since_reset >= TCONV_PINS), \
        .f_acq(m_acq), .f_acq_full(acq >= ACQ_MAX), \
        .f_hold(m_hold), .f_hold_full(hold >= HOLD_MAX), \
        .f_phase(m_phase), .f_phase_full(phase >= SCK_MIN), .f_high(m_high), \
        .f_rises(rises), .f_falls(falls), .f_open(open), .f_clean(clean), \
        .f_moved(m_moved), .f_moved_full(moved >= SDO_MSB), .f_bit_real(bit_real), \
        .f_msb(msb), .f_bit(bit_now), .f_code(code_now), .f_word_in(word_in_now), .f_next_word(next_word), \
        .f_next_known(next_known), .f_conv_word(conv_word), .f_conv_known(conv_known), \
        .f_watch(watch), .f_battery(battery_now), .f_battery_was(battery_was_now), \
        .f_watched(watched_now), .f_watched_was(watched_was_now), .f_fresh(fresh_now), \
        .f_fresh_was(fresh_was_now), .f_pending(pending_now), .f_count(count_now), \
        .f_frame(frame_now), .f_frame_full(frame_now == FRAME_MAX), \
        .f_frame_len(frame_len_now), .f_frame_known(frame_known_now), .f_cvs(cvs), \
        .f_woke(woke), .f_waking(m_waking), .f_waking_full(waking >= WAKE_STEPS), \
        .f_apart(apart_now), .f_unwatched(unwatched_now), \
        .f_age(m_age), .f_age_full(age_now >= AGE), .f_aged(aged_now), \
        .f_age_was(m_age_was), .f_age_was_full(age_was_now >= AGE), .f_aged_was(aged_was_now)
    battery_adc #(
        .CLOCK_HZ(CLOCK_HZ),
        .BATTERY_CHANNEL(BATTERY_CHANNEL),
        .ACQUISITION_NS(ACQUISITION_NS),
        .BATTERY_ONLY(BATTERY_ONLY),
        .WAKE_MS(WAKE_MS)
    ) dut (
        .clk(clk),
        .reset(reset),
        .avs_address(avs_address),
        .avs_read(avs_read),
        .avs_write(avs_write),
        .avs_writedata(avs_writedata),
        .avs_readdata(readdata),
        .adc_convst(convst),
        .adc_sck(sck),
        .adc_sdi(sdi),
        .adc_sdo(sdo),
        .f_on(ok),
        .f_publish(files),
        `BATTERY_ADC_MONITORS
    );
    battery_adc #(
        .CLOCK_HZ(CLOCK_HZ),
        .BATTERY_CHANNEL(BATTERY_CHANNEL),
        .ACQUISITION_NS(ACQUISITION_NS),
        .BATTERY_ONLY(BATTERY_ONLY),
        .WAKE_MS(WAKE_MS)
    ) quiet (
        .clk(clk),
        .reset(reset),
        .avs_address(4'd0),
        .avs_read(1'b0),
        .avs_write(1'b0),
        .avs_writedata(32'd0),
        .avs_readdata(quiet_readdata),
        .adc_convst(quiet_convst),
        .adc_sck(quiet_sck),
        .adc_sdi(quiet_sdi),
        .adc_sdo(sdo),
        .f_on(1'b0),
        .f_publish(quiet_files),
        `BATTERY_ADC_MONITORS
    );

    // ------------------------------------------------------------------ the pins
    assign idle_at_power_up = ok && first && (convst || sck);
    assign convst_high_datasheet = ok && ((cv_fall && high_q < CV_MIN_DS) || high > CV_MAX_DS);
    assign convst_high_margin = ok && ((cv_fall && high_q < CV_MIN) || high > CV_MAX);
    assign convst_after_reset = ok && cv_rise && since_reset_q + 1 < TCONV_RESET;
    assign tconv_between_convst = ok && cv_rise && since_cv_q + 1 < TCONV_PINS;
    assign no_sck_in_tconv = ok && sck && since_cv < TCONV_PINS;
    assign tacq_datasheet = ok && cv_rise && acq_q + 1 < ACQ_DS;
    assign tacq_setting = ok && cv_rise && acq_q + 1 < ACQ_SET;
    assign convst_hold_datasheet = ok && cv_rise && hold_q + 1 < HOLD_DS;
    assign convst_hold_margin = ok && cv_rise && hold_q + 1 < HOLD_MARGIN;
    assign sck_phase_datasheet = ok && sck != sck_p && !first && phase_q < SCK_DS &&
                                 (sck_fall || open_q);
    assign sck_phase_margin = ok && sck != sck_p && !first && phase_q < SCK_MIN &&
                              (sck_fall || open_q);
    assign sdi_moves_with_sck_low = ok && !first && sdi != sdi_p && sck;
    assign twelve_sck_cycles = ok && ((sck_rise && rises_q >= 4'd12) ||
                                      (cv_rise && clean_q && (rises_q != 4'd12 || falls_q != 4'd12)));
    assign convst_low_in_readout = ok && convst && (sck || open_q);
    assign sdi_word_legal = ok && word_done &&
        (word_in[5] != 1'b1 || word_in[1:0] != 2'b10 ||
         (BATTERY_ONLY != 0 && {word_in[3], word_in[2], word_in[4]} != BATTERY_CHANNEL[2:0]));
    assign pins_ignore_bus = ok && (convst != quiet_convst || sck != quiet_sck || sdi != quiet_sdi);

    // ------------------------------------------------------------------ the Avalon slave
    // A read taken at this rising edge is answered now (latency 1), from what the block had
    // before this edge: the harness's state of the step before.
    wire answer = ok && rising && !first && read_p;
    wire [31:0] words_battery = {20'd0, battery_q}, battery_was = {20'd0, battery_was_q};
    assign read_in_reset_is_0 = answer && reset_p && readdata != 32'd0;
    wire answered = answer && !reset_p;
    assign word0_battery_code = answered && address_p == 4'd0 && readdata != words_battery &&
                                !(pending_q && readdata == battery_was);
    assign word1_count = answered && address_p == 4'd1 && readdata != count_q &&
                         !(pending_q && readdata == count_q - 1'b1);
    assign word2to9_channel_code = answered && address_p == {1'b0, watch} + 4'd2 &&
        readdata != {20'd0, watched_q} && !(pending_q && readdata == {20'd0, watched_was_q});
    assign word10_fresh = answered && address_p == 4'd10 &&
        (readdata[31:8] != 24'd0 ||
         (readdata[watch] != fresh_q && !(pending_q && readdata[watch] == fresh_was_q)));
    assign word11to15_constants = answered &&
        ((address_p == 4'd11 && readdata != CLOCK_HZ) ||
         (address_p == 4'd12 && readdata != BATTERY_CHANNEL) ||
         (address_p == 4'd14 && readdata != {BATTERY_ONLY[0], WAKE_MS[10:0], ACQUISITION_NS[19:0]}) ||
         (address_p == 4'd15 && readdata != ID));
    assign word13_frame_clocks = answered && address_p == 4'd13 && frame_known_q &&
                                 readdata != {17'd0, frame_len_q[15:1]};
    // How old the code in word 0 may be. Counted from the first conversion whose word the
    // block sent since the reset: a conversion of the battery's input at least every two
    // frames (every frame with BATTERY_ONLY), and of every input at least once in 16 (with
    // BATTERY_ONLY, of the battery's). And a read of word 0, once the battery has a code
    // since the reset, answers one whose conversion's CONVST rose less than LATENCY before
    // the answer (one step after the harness's step before, whose ages these are): so a step
    // at the input is in word 0 within LATENCY.
    assign battery_every_two_frames = ok && converts && converted != BATTERY_CHANNEL[2:0] &&
                                      (BATTERY_ONLY != 0 || apart_q != 2'd0);
    assign every_input_in_16_frames = ok && converts && converted != watch &&
                                      unwatched_q >= 5'd15 &&
                                      (BATTERY_ONLY == 0 || watch == BATTERY_CHANNEL[2:0]);
    assign word0_age = answered && address_p == 4'd0 &&
        (readdata == words_battery ? aged_q && age_q + 1 >= AGE :
         pending_q && readdata == battery_was && aged_was_q && age_was_q + 1 >= AGE);
    // The second CONVST after a reset or power-up (the first conversion whose code the block
    // may publish) comes WAKE_MS, and the pins' skew, after the first frame's 12th SCK fall.
    assign convst_after_wake = ok && WAKE_MS != 0 && cv_rise && cvs_q == 2'd1 &&
                               (!woke_q || waking_q + 1 < WAKE_STEPS);

    // ------------------------------------------------------------------ covers
    reg battery_seen_q = 1'b0, reset_mid_q = 1'b0;
    reg [7:0] seen_q = 8'd0;  // channels with a code since the reset
    wire mid_frame = !first && clean_q && falls_q < 4'd12;
    always @($global_clock) begin
        if (reset_edge) begin
            battery_seen_q <= 1'b0;
            seen_q <= 8'd0;
        end else if (published) begin
            if (channel == BATTERY_CHANNEL[2:0]) battery_seen_q <= 1'b1;
            seen_q[channel] <= 1'b1;
        end
        if (reset_edge && mid_frame) reset_mid_q <= 1'b1;
    end
    wire battery_published = ok && published && channel == BATTERY_CHANNEL[2:0];
    assign cover_battery_code = battery_published;
    assign cover_battery_code_again = battery_published && battery_seen_q;
    assign cover_every_channel = ok &&
        (&(seen_q | (BATTERY_ONLY != 0 ? ~(8'd1 << BATTERY_CHANNEL) : 8'd0)));
    assign cover_mid_frame = ok && mid_frame;
    assign cover_code_after_reset_mid_frame = ok && published && reset_mid_q;
    // The inputs of a step before a rising edge are what that edge takes.
    assign cover_read_as_code_filed = ok && !rising && files && avs_read && avs_address == 4'd0 &&
                                      channel == BATTERY_CHANNEL[2:0];
    assign cover_write_as_code_filed = ok && !rising && files && avs_write;

    // verilator lint_off UNUSEDSIGNAL
    wire unused = write_p | (|writedata_p) | (|quiet_readdata) | cv_fall | quiet_files;
    // verilator lint_on UNUSEDSIGNAL

endmodule

`default_nettype wire
