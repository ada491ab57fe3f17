// SPDX-License-Identifier: MIT
// The converter on the board, a 12-bit 8-channel serial SAR converter of the LTC2308 kind,
// as its datasheet tells it, seen from the FPGA's pins. It knows nothing of the block that
// drives it: it is stepped with the time (ps) and the levels of CONVST, SCK and SDI, answers
// on SDO as the FPGA's input sees it, and names every breach of its timing with the time.
//
// What it holds the pins to (each a breach by the name given):
// - a rising CONVST starts a conversion of tCONV = 1.6 us (the datasheet's longest), which
//   cannot be restarted before it ends ("conversion restarted before its end");
// - CONVST stays high at least 20 ns ("CONVST high for less than 20 ns"), and goes low
//   within 40 ns of the rise that started a conversion ("CONVST fell more than 40 ns into a
//   conversion") or after the conversion; high as the conversion ends, it would nap or sleep
//   the part ("CONVST high at the end of a conversion (nap)");
// - no SCK edge while converting ("SCK during a conversion"); each SCK phase at least
//   12.5 ns ("SCK high for less than 12.5 ns", "SCK low for less than 12.5 ns"), so SCK no
//   faster than 40 MHz; SDI changes only while SCK is low or as it falls ("SDI moved while
//   SCK was high or as it rose");
// - from CONVST's fall, the first six SCK rises load the next conversion's word
//   (S/D, O/S, S1, S0, UNI, SLP), which must have UNI = 1 ("configuration word with
//   UNI = 0") and SLP = 0 ("configuration word with SLP = 1");
// - at least 240 ns (tACQ) from the 7th SCK rise after CONVST's fall to the next CONVST, the
//   edge the datasheet's timing table counts tACQ from; with no 7th rise, from the 6th fall,
//   which ends that word ("acquisition shorter than 240 ns");
// - CONVST low at least 20 ns (tHCONVST) after the last SCK fall before it rises ("CONVST
//   rose less than 20 ns after the last SCK fall").
// The result comes out on SDO, MSB first, once the conversion is over; each SCK fall moves
// it on a bit. As the FPGA's input sees it, each bit is launched by the conversion's end
// (the MSB) or an SCK fall (the rest): the old bit holds `hold` after it (tHDO = 4 ns, with
// the board's fastest path, 0 ns), then SDO is undefined, changing at random, until `valid`
// after it (tDO = 10.8 ns plus 5 ns of board each way), then it is the new bit. While the
// part converts, and after the 12th bit, SDO is undefined too. A conversion whose word was
// not loaded whole since the one before (the first after power-up, or one after a word cut
// short) converts no requested input: it returns `unrequested`, a code given to no input.
// Sleep: a conversion whose word had SLP = 1 puts the part to sleep when it ends, its
// reference off; the next word loaded whole with SLP = 0 wakes it, and its reference then
// charges for tREFWAKE (200 ms with the datasheet's 10 uF and 2.2 uF). A conversion started
// asleep or before the reference is up returns `waking`, another code given to no input.
// A part that does not answer (stick_sdo()) takes nothing from the pins, converts nothing and
// names no breach; its SDO pin reads one level.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

class Adc {
  public:
    static constexpr unsigned unrequested = 0xA5A, waking = 0x5A5;
    static constexpr std::int64_t ref_wake = 200'000'000'000; // tREFWAKE, ps
    static constexpr std::int64_t never = std::numeric_limits<std::int64_t>::min() / 2;
    static constexpr std::int64_t forever = std::numeric_limits<std::int64_t>::max() / 2;

    // SDO's window at the FPGA's input, from the event that launches a bit: the old bit
    // until `hold`, the new one from `valid` (ps). A case narrows it to check the margin
    // with which a block takes SDO: a `hold` below 0 ends the old bit before the fall that
    // moves it, which the model expects after a high phase as long as the last one.
    struct Window {
        std::int64_t hold = 4'000, valid = 20'800;
    };

    explicit Adc(std::uint64_t seed = 0x9E3779B97F4A7C15ULL) : noise_(seed | 1U) {}

    void set_code(unsigned channel, unsigned code) { codes_.at(channel) = code; }
    void set_window(Window w) { window_ = w; }
    // The part as power-up or a configuration that changed nothing on its pins may leave
    // it: converting until `until` (ps).
    void converting_until(std::int64_t until) {
        converting_ = true;
        conv_start_ = 0;
        conv_end_ = until;
        result_ = unrequested;
    }

    // The part as the board leaves it when the FPGA's configuration ends: its CONVST, SCK and
    // SDI held high by the FPGA's weak pull-ups all through it, so it converted, napped with
    // CONVST high, and latched a word of all ones, SLP = 1: asleep, its reference off. The
    // pins fall as the configured FPGA starts to drive them.
    void configured_with_pins_high() {
        convst_ = sck_ = sdi_ = true;
        converting_ = false;
        shifted_ = 12;
        word_ = 0x3FU;
        word_bits_ = 6;
        word_whole_ = word_ended_ = true;
        sleeps_ = asleep_ = true;
    }
    // The part as a board with a dead or missing one shows it: SDO held `high` by the
    // FPGA's weak pull-up on a pin that nothing drives (a part not soldered), or low by a
    // dead part that pulls it to its ground.
    void stick_sdo(bool high) { stuck_ = high; }

    // Whether the part sleeps, and when its reference is up (ps).
    [[nodiscard]] bool asleep() const { return asleep_; }
    [[nodiscard]] std::int64_t awake_at() const { return awake_at_; }

    // How many conversions of `channel` the part has made at its controller's request.
    [[nodiscard]] std::uint64_t conversions(unsigned channel) const {
        return conversions_.at(channel);
    }
    [[nodiscard]] std::uint64_t conversions() const { return started_; }
    // Every breach so far, as "what at N ns; ", or "" when there was none.
    [[nodiscard]] const std::string &breaches() const { return breaches_; }
    // What the pins did, for the cases that hold a block to its own margins (ps): CONVST's
    // shortest and longest high time, the shortest SCK phases, the shortest acquisition
    // (from the 7th SCK rise), the shortest time from an SCK fall to a CONVST rise, and the
    // first CONVST rise.
    struct Seen {
        std::int64_t convst_min = forever, convst_max = 0;
        std::int64_t sck_high_min = forever, sck_low_min = forever;
        std::int64_t acquisition_min = forever, hold_min = forever, first_convst = never;
    };
    [[nodiscard]] const Seen &seen() const { return seen_; }
    // Where the converter is in its frame.
    [[nodiscard]] std::string phase() const {
        if (converting_)
            return "during a conversion";
        if (word_bits_ > 0 && word_bits_ < 6)
            return "mid configuration word";
        if (shifted_ < 12)
            return "mid read-out";
        return "between frames";
    }

    // The pins' levels from time t (ps) on.
    void step(std::int64_t t, bool convst, bool sck, bool sdi) {
        if (stuck_)
            return;
        finish(t);
        if (convst && !convst_) {
            convst_rise_ = t;
            if (last_fall_ != never) {
                seen_.hold_min = std::min(seen_.hold_min, t - last_fall_);
                if (t - last_fall_ < 20'000)
                    breach("CONVST rose less than 20 ns after the last SCK fall", t);
            }
            start(t);
        }
        if (!convst && convst_ && convst_rise_ == never) { // as the configuration ends
            word_bits_ = 0;
            word_ended_ = false;
        } else if (!convst && convst_) {
            const auto high = t - convst_rise_;
            seen_.convst_min = std::min(seen_.convst_min, high);
            seen_.convst_max = std::max(seen_.convst_max, high);
            if (high < 20'000)
                breach("CONVST high for less than 20 ns", t);
            if (converting_ && t - conv_start_ > 40'000)
                breach("CONVST fell more than 40 ns into a conversion", t);
            word_bits_ = 0;
            word_ended_ = false;
        }
        if (sck != sck_ && converting_)
            breach("SCK during a conversion", t);
        if (sdi != sdi_ && sck)
            breach("SDI moved while SCK was high or as it rose", t);
        if (sck && !sck_)
            rise(t, sdi);
        if (!sck && sck_)
            fall(t);
        convst_ = convst, sck_ = sck, sdi_ = sdi;
    }

    // SDO at the FPGA's input at time t (ps), with the pins as last stepped.
    bool sdo(std::int64_t t) {
        if (stuck_)
            return *stuck_;
        finish(t);
        if (converting_ || shifted_ >= 12)
            return noise();
        const std::int64_t launched = shifted_ == 0 ? conv_end_ : last_fall_;
        if (t < launched + window_.hold)
            return shifted_ == 0 ? noise() : bit(shifted_ - 1);
        if (t < launched + window_.valid)
            return noise();
        if (window_.hold < 0 && sck_ && high_ > 0 && t >= last_rise_ + high_ + window_.hold)
            return noise(); // the fall that ends this bit is due
        return bit(shifted_);
    }

  private:
    void breach(const char *what, std::int64_t t) {
        breaches_ += std::string(what) + " at " + std::to_string(t / 1000) + " ns; ";
    }
    [[nodiscard]] bool bit(unsigned n) const { return ((result_ >> (11 - n)) & 1U) != 0; }
    bool noise() { // xorshift64
        noise_ ^= noise_ << 13U;
        noise_ ^= noise_ >> 7U;
        noise_ ^= noise_ << 17U;
        return (noise_ & 1U) != 0;
    }

    // The conversion ends by t: its result is ready.
    void finish(std::int64_t t) {
        if (!converting_ || t < conv_end_)
            return;
        converting_ = false;
        asleep_ = asleep_ || sleeps_;
        if (convst_)
            breach("CONVST high at the end of a conversion (nap)", conv_end_);
        shifted_ = 0;
    }

    void start(std::int64_t t) {
        if (seen_.first_convst == never)
            seen_.first_convst = t;
        if (converting_) {
            breach("conversion restarted before its end", t);
            return;
        }
        if (t - word_end_ < 240'000)
            breach("acquisition shorter than 240 ns", t);
        if (word_end_ != never)
            seen_.acquisition_min = std::min(seen_.acquisition_min, t - word_end_);
        seventh_rise_due_ = false;
        ++started_;
        converting_ = true;
        conv_start_ = t;
        conv_end_ = t + 1'600'000;
        shifted_ = 12;
        result_ = word_whole_ ? codes_.at(channel_) : unrequested;
        if (asleep_ || t < awake_at_)
            result_ = waking;
        else if (word_whole_)
            ++conversions_.at(channel_);
        sleeps_ = word_whole_ && (word_ & 1U) != 0;
        word_whole_ = false;
    }

    void rise(std::int64_t t, bool sdi) {
        if (t - last_fall_ < 12'500)
            breach("SCK low for less than 12.5 ns", t);
        seen_.sck_low_min = std::min(seen_.sck_low_min, t - last_fall_);
        last_rise_ = t;
        if (seventh_rise_due_) {
            seventh_rise_due_ = false;
            word_end_ = t; // the 7th rise: tACQ counts from here
        }
        if (convst_ || converting_ || word_bits_ >= 6)
            return;
        word_whole_ = false;
        word_ = (word_ << 1U) | (sdi ? 1U : 0U);
        if (++word_bits_ < 6)
            return;
        if ((word_ & 2U) == 0)
            breach("configuration word with UNI = 0", t);
        if ((word_ & 1U) != 0)
            breach("configuration word with SLP = 1", t);
        // S/D = 1 is a single-ended input c: O/S = c[0], S1 = c[2], S0 = c[1].
        word_whole_ = (word_ & 0x20U) != 0;
        if (asleep_ && (word_ & 1U) == 0) {
            asleep_ = false;
            awake_at_ = t + ref_wake;
        }
        channel_ = ((word_ >> 4U) & 1U) | ((word_ >> 1U) & 4U) | ((word_ >> 1U) & 2U);
    }

    void fall(std::int64_t t) {
        high_ = t - last_rise_;
        if (high_ < 12'500)
            breach("SCK high for less than 12.5 ns", t);
        seen_.sck_high_min = std::min(seen_.sck_high_min, high_);
        last_fall_ = t;
        if (shifted_ < 12)
            ++shifted_;
        if (word_bits_ == 6 && !word_ended_) {
            word_ended_ = true;
            word_end_ = t; // the 6th fall ends the word; tACQ counts from the 7th rise
            seventh_rise_due_ = true;
        }
    }

    std::array<unsigned, 8> codes_{};
    std::array<std::uint64_t, 8> conversions_{};
    std::uint64_t started_ = 0;
    std::string breaches_;
    Window window_;
    Seen seen_;
    std::uint64_t noise_;
    bool convst_ = false, sck_ = false, sdi_ = false;
    bool converting_ = false;
    std::int64_t convst_rise_ = never, conv_start_ = never, conv_end_ = never;
    std::int64_t last_rise_ = never, last_fall_ = never, word_end_ = never, high_ = 0;
    unsigned result_ = unrequested, shifted_ = 12;
    unsigned word_ = 0, word_bits_ = 6, channel_ = 0;
    bool word_whole_ = false, word_ended_ = true, seventh_rise_due_ = false;
    bool sleeps_ = false, asleep_ = false;
    std::int64_t awake_at_ = never;
    std::optional<bool> stuck_;
};
