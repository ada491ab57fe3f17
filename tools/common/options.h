// SPDX-License-Identifier: MIT
// The options that both boards' command lines share: what plays the register.
#pragma once

#include <getopt.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

namespace common {

// The register played by the FPGA design.
struct RtlOptions {
    std::optional<double> volts; // held there; else the battery discharges from the start
    bool fpga_reset = false;     // the block held in reset, as an unconfigured FPGA reads
};

// What a board's command line says of the register: --reading N ('r'), --rtl ('R'),
// --volts V ('v'), --fpga-reset ('F') and --help ('h'). --volts and --fpga-reset imply
// --rtl; --reading and --rtl exclude each other.
struct RegisterOptions {
    std::optional<std::uint32_t> held; // written directly, held at N
    std::optional<RtlOptions> rtl;     // played by the FPGA design
    bool help = false;

    enum class Taken : std::uint8_t { other, ok, bad };
    // getopt_long's table: these options, then `own`.
    static std::vector<option> options(std::initializer_list<option> own);
    // Takes option `c`, as getopt_long gives it, if it is one of these.
    Taken take(int c, const char *value);
    [[nodiscard]] bool valid() const { return !(held && rtl); }
};

// A reading given on a command line (decimal, 0x hex or 0 octal), if it is one that fits
// in 32 bits.
std::optional<std::uint32_t> parse_reading(const char *text);

} // namespace common
