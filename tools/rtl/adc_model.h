// SPDX-License-Identifier: MIT
// The converter on the board, a 12-bit 8-channel serial SAR converter of the LTC2308 kind,
// as its datasheet tells it. It knows nothing of the block that drives it: it is stepped
// with the time and the levels of CONVST, SCK and SDI, answers on SDO, and names every
// breach of its timing with the time it happened.
//
// What it holds the pins to:
// - a rising CONVST starts a conversion of tCONV = 1.6 us (the datasheet's longest), which
//   cannot be restarted before it ends;
// - CONVST stays high at least 20 ns, and goes low within 40 ns of the rise that started a
//   conversion, or after the conversion; high as the conversion ends, it would nap or sleep
//   the part;
// - no SCK edge while converting; SCK no faster than 40 MHz (each phase at least 12.5 ns,
//   each period at least 25 ns); SDI steady as SCK rises;
// - from CONVST's fall, the first six SCK rises load the next conversion's word
//   (S/D, O/S, S1, S0, UNI, SLP), which must have UNI = 1 and SLP = 0;
// - at least 240 ns from the last rise that loaded a bit of that word to the next CONVST.
// The result is on SDO, MSB first, once the conversion is over with CONVST low; each SCK
// fall moves it on a bit. A conversion whose word was not loaded whole since the one before
// (the first after power-up, or one after a word cut short) converts no requested input: it
// returns `unrequested`, a code given to no input.
#pragma once

#include <array>
#include <cstdint>
#include <string>

class Adc {
  public:
    static constexpr unsigned unrequested = 0xA5A;

    void set_code(unsigned channel, unsigned code) { codes_.at(channel) = code; }
    // How many conversions of `channel` the part has made at its controller's request.
    [[nodiscard]] std::uint64_t conversions(unsigned channel) const {
        return conversions_.at(channel);
    }
    // Every breach so far, as "what at N ns; ", or "" when there was none.
    [[nodiscard]] const std::string &breaches() const { return breaches_; }
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

    // The pins' levels from time t (ps) on; returns SDO's level from t on.
    bool step(std::int64_t t, bool convst, bool sck, bool sdi) {
        if (converting_ && t >= conv_end_) {
            converting_ = false;
            if (convst_)
                breach("CONVST high at the end of a conversion (nap)", conv_end_);
            shifted_ = 0;
        }
        if (convst && !convst_) {
            convst_rise_ = t;
            start(t);
        }
        if (!convst && convst_) {
            if (t - convst_rise_ < 20'000)
                breach("CONVST high for less than 20 ns", t);
            if (converting_ && t - conv_start_ > 40'000)
                breach("CONVST low during a conversion", t);
            word_bits_ = 0;
        }
        if (sck != sck_ && converting_)
            breach("SCK during a conversion", t);
        if (sck && !sck_)
            rise(t, sdi);
        if (!sck && sck_) {
            if (t - last_rise_ < 12'500)
                breach("SCK faster than 40 MHz", t);
            last_fall_ = t;
            ++shifted_;
        }
        convst_ = convst, sck_ = sck, sdi_ = sdi;
        if (converting_)
            return true; // nothing to read yet
        if (shifted_ >= 12)
            return false;
        return ((result_ >> (11 - shifted_)) & 1U) != 0;
    }

  private:
    void breach(const char *what, std::int64_t t) {
        breaches_ += std::string(what) + " at " + std::to_string(t / 1000) + " ns; ";
    }

    void start(std::int64_t t) {
        if (converting_) {
            breach("conversion restarted before its end", t);
            return;
        }
        if (t - word_end_ < 240'000)
            breach("acquisition shorter than 240 ns", t);
        converting_ = true;
        conv_start_ = t;
        conv_end_ = t + 1'600'000;
        result_ = word_whole_ ? codes_.at(channel_) : unrequested;
        if (word_whole_)
            ++conversions_.at(channel_);
        word_whole_ = false;
    }

    void rise(std::int64_t t, bool sdi) {
        if (t - last_fall_ < 12'500 || t - last_rise_ < 25'000)
            breach("SCK faster than 40 MHz", t);
        if (sdi != sdi_)
            breach("SDI moved as SCK rose", t);
        last_rise_ = t;
        if (convst_ || converting_ || word_bits_ >= 6)
            return;
        word_whole_ = false;
        word_ = (word_ << 1U) | (sdi ? 1U : 0U);
        word_end_ = t;
        if (++word_bits_ < 6)
            return;
        if ((word_ & 2U) == 0)
            breach("configuration word with UNI = 0", t);
        if ((word_ & 1U) != 0)
            breach("configuration word with SLP = 1", t);
        // S/D = 1 is a single-ended input c: O/S = c[0], S1 = c[2], S0 = c[1].
        word_whole_ = (word_ & 0x20U) != 0;
        channel_ = ((word_ >> 4U) & 1U) | ((word_ >> 1U) & 4U) | ((word_ >> 1U) & 2U);
    }

    std::array<unsigned, 8> codes_{};
    std::array<std::uint64_t, 8> conversions_{};
    std::string breaches_;
    bool convst_ = false, sck_ = false, sdi_ = false;
    bool converting_ = false;
    std::int64_t convst_rise_ = 0, conv_start_ = 0, conv_end_ = 0;
    std::int64_t last_rise_ = -1'000'000, last_fall_ = -1'000'000, word_end_ = -1'000'000;
    unsigned result_ = unrequested, shifted_ = 12;
    unsigned word_ = 0, word_bits_ = 6, channel_ = 0;
    bool word_whole_ = false;
};
