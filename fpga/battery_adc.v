// SPDX-License-Identifier: MIT
//
// battery_adc: drives a 12-bit, 8-channel serial SAR converter of the LTC2308 kind and
// presents its codes as sixteen 32-bit words on an Avalon-MM slave, word 0 being the
// battery channel's code that battery-voltage reads at offset 0x41000 of the lightweight
// HPS-to-FPGA bridge. docs/fpga-interface.md has the register map and the timing.
//
// One clock, one synchronous active-high reset, every output a flip-flop. A frame is:
//   CONVST high for ceil(20 ns x CLOCK_HZ) clocks, 20 ns to 40 ns from 25 MHz up, which
//   starts a conversion;
//   a wait of tCONV (1.6 us at most) with CONVST low and no SCK;
//   12 SCK cycles at 40 MHz at most: the result comes in on SDO, MSB first, taken as SCK
//   falls (the converter moves SDO on that edge, so the bit has been steady a whole SCK
//   period); the next conversion's 6-bit word goes out on SDI, set as SCK falls and taken
//   by the converter as SCK rises;
//   an acquisition pause of at least 240 ns before the next CONVST.
//
// The word sent in a frame configures the next conversion, so the result read in a frame
// belongs to the channel sent in the frame before. The converter knows nothing of this
// block's reset: after one it may still be converting, or hold a word half sent. So a reset
// stops the frame, waits out a whole tCONV before the next CONVST, and throws away the
// first result after it, whose word this block did not send. A reset never cuts a CONVST
// pulse or an SCK high phase short either: each ends when its time is out.
//
// SDO needs no synchronizer: it moves only after SCK falls, which this block makes from
// clk, and is taken a whole SCK period later.
//
// Written in the Verilog-2005 that Verilator 5.006 and Yosys 0.23 both read: no
// SystemVerilog packages, assignment patterns or interfaces.

`default_nettype none

module battery_adc #(
    parameter integer CLOCK_HZ = 50000000, // clk's frequency, 25 MHz or more
    parameter integer BATTERY_CHANNEL = 0  // the converter's input (0 to 7) for word 0
) (
    input wire clk,
    input wire reset,

    input  wire [ 3:0] avs_address,
    input  wire        avs_read,
    input  wire        avs_write,
    input  wire [31:0] avs_writedata,
    output reg  [31:0] avs_readdata,

    output reg  adc_convst,
    output reg  adc_sck,
    output reg  adc_sdi,
    input  wire adc_sdo
);

    // Whole clocks that cover at least ns nanoseconds.
    function integer clocks_in;
        input integer ns;
        // verilator lint_off UNUSEDSIGNAL
        reg [63:0] clocks;  // the product needs 64 bits; the clocks fit in 32
        // verilator lint_on UNUSEDSIGNAL
        begin
            clocks = (CLOCK_HZ * 64'd1 * ns + 64'd999999999) / 64'd1000000000;
            clocks_in = clocks[31:0];
        end
    endfunction

    // A wait: the clocks that cover ns nanoseconds, plus one for the skew of the board's pins.
    function integer clocks_for;
        input integer ns;
        clocks_for = clocks_in(ns) + 1;
    endfunction

    localparam integer HALF_SCK = (CLOCK_HZ + 79999999) / 80000000; // SCK <= 40 MHz
    // CONVST's high time, H = ceil(20 ns x CLOCK_HZ) clocks: at least 20 ns, and at most 40
    // ns, so with no clock for skew. Up to 50 MHz that is one clock of 20 ns to 40 ns; above,
    // it is less than 20 ns plus a clock of under 20 ns.
    localparam integer CONVST_NEED = clocks_in(20);
    localparam integer CONVST_CLOCKS = CONVST_NEED > 1 ? CONVST_NEED : 1;
    localparam integer CONV_CLOCKS = clocks_for(1600);              // tCONV
    localparam integer ACQ_CLOCKS = clocks_for(240);                // acquisition
    localparam integer RESET_CLOCKS = clocks_for(1600);             // tCONV after a reset
    localparam integer FRAME_CLOCKS = CONV_CLOCKS + 24 * HALF_SCK + ACQ_CLOCKS;

    localparam integer TW = $clog2(RESET_CLOCKS + 1);
    localparam integer HW = HALF_SCK > 1 ? $clog2(HALF_SCK) : 1;
    localparam integer CW = CONVST_CLOCKS > 1 ? $clog2(CONVST_CLOCKS) : 1;  // holds H - 1
    localparam integer CONVST_LOAD = CONVST_CLOCKS - 1;

    localparam [31:0] ID = 32'h42414401; // "BAD", version 1

    localparam [1:0] S_WAIT = 2'd0, S_CONV = 2'd1, S_SHIFT = 2'd2;

    reg [1:0] state;
    reg [TW-1:0] timer;  // clocks left to wait, less one
    reg [HW-1:0] sck_left;  // clocks left in this SCK phase
    reg [CW-1:0] convst_left;  // clocks CONVST stays high after this one
    reg [3:0] falls;  // SCK falling edges in this read-out
    reg [10:0] result;  // bits read so far, the last one still on SDO
    reg [5:0] word_out;  // what is left of the word being sent
    reg [3:0] slot;  // frame number, modulo 16
    reg [2:0] sent_channel;  // the channel whose word goes out in this frame
    reg [2:0] conv_channel;  // the channel converted in this frame
    reg conv_known;  // this frame's conversion used a word sent since reset
    reg [95:0] codes;  // latest code of each channel, 12 bits each
    reg [7:0] fresh;  // channels with a code since reset
    reg [31:0] count;  // results published since reset
    integer c;

    // Even frames ask for the battery channel, odd frames for each channel in turn.
    wire [2:0] next_channel = slot[0] ? slot[3:1] : BATTERY_CHANNEL[2:0];
    // S/D = 1 (single-ended), O/S = c[0], S1 = c[2], S0 = c[1], UNI = 1, SLP = 0.
    wire [5:0] next_word = {1'b1, next_channel[0], next_channel[2], next_channel[1], 2'b10};
    wire [11:0] last_result = {result[10:0], adc_sdo};

    initial begin
        adc_convst = 1'b0;
        adc_sck = 1'b0;
        sck_left = {HW{1'b0}};
        convst_left = {CW{1'b0}};
    end

    always @(posedge clk) begin
        // The pins' own timing runs on through a reset.
        if (convst_left != 0) convst_left <= convst_left - 1'b1;
        else adc_convst <= 1'b0;
        if (sck_left != 0) sck_left <= sck_left - 1'b1;
        else adc_sck <= 1'b0;
        if (timer != 0) timer <= timer - 1'b1;

        if (reset) begin
            state <= S_WAIT;
            timer <= RESET_CLOCKS[TW-1:0] - 1'b1;
            adc_sdi <= 1'b0;
            falls <= 4'd0;
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
            case (state)
                S_WAIT:
                if (timer == 0) begin
                    // High from this edge to the one that finds convst_left at 0.
                    adc_convst <= 1'b1;
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
                    state <= S_SHIFT;
                end
                S_SHIFT:
                if (sck_left == 0) begin
                    sck_left <= HALF_SCK[HW-1:0] - 1'b1;
                    adc_sck <= !adc_sck;
                    if (adc_sck) begin
                        result <= last_result[10:0];
                        adc_sdi <= word_out[5];
                        word_out <= {word_out[4:0], 1'b0};
                        falls <= falls + 1'b1;
                        if (falls == 4'd11) begin
                            if (conv_known) begin
                                for (c = 0; c < 8; c = c + 1)
                                    if (conv_channel == c[2:0]) begin
                                        codes[c*12+:12] <= last_result;
                                        fresh[c] <= 1'b1;
                                    end
                                count <= count + 1'b1;
                            end
                            conv_channel <= sent_channel;
                            conv_known <= 1'b1;
                            slot <= slot + 1'b1;
                            timer <= ACQ_CLOCKS[TW-1:0] - 1'b1;
                            state <= S_WAIT;
                        end
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
            4'd0: word = {20'd0, codes[BATTERY_CHANNEL*12+:12]};
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
            4'd11: word = CLOCK_HZ;
            4'd12: word = {29'd0, BATTERY_CHANNEL[2:0]};
            4'd13: word = FRAME_CLOCKS;
            4'd14: word = 32'd0;
            default: word = ID;
        endcase
    end

    always @(posedge clk) begin
        if (reset) avs_readdata <= 32'd0;
        else if (avs_read) avs_readdata <= word;
    end

endmodule

`default_nettype wire
