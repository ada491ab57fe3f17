// SPDX-License-Identifier: MIT
// The command lines of both boards: the options they share, which say what plays the
// register, and a reader for them and each board's own, that names a bad value or a
// conflicting pair in one line.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace common {

// The register played by the FPGA design.
struct RtlOptions {
    std::optional<double> volts; // held there; else the battery discharges from the start
    bool fpga_reset = false;     // the block held in reset, as an unconfigured FPGA reads
};

// What a board's command line says of the register: --reading N, or --rtl with --volts V
// and --fpga-reset (either implies --rtl); and --help.
struct RegisterOptions {
    std::optional<std::uint32_t> held; // written directly, held at N
    std::optional<RtlOptions> rtl;     // played by the FPGA design
    std::string rtl_by;                // the first option that asked for it, as given
    bool help = false;
};

// A mistake on a command line, said in one line: "--volts: 'abc' is not a number of volts".
// The board prints it after its name, then a pointer to --help (see usage_mistake()).
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One of a board's own options: its name with the dashes, whether it takes a value, and
// what it does with it ("" for one without), throwing UsageError for a value it refuses.
struct Option {
    std::string name;
    bool takes_value = false;
    std::function<void(const std::string &value)> take;
};

// Reads a board's arguments (without the program's name): these options and `own`, as
// `--name value` or `--name=value`, up to `--` or the first word that is not an option.
// Returns the words after them, the command. Throws UsageError for an unknown option, a
// missing or refused value, or --reading with one of the options that ask for the RTL.
std::vector<std::string> parse_options(const std::vector<std::string> &args, RegisterOptions &reg,
                                       const std::vector<Option> &own = {});

// A reading given on a command line (decimal, or hex after 0x: 010 is ten), if it is one
// that fits in 32 bits.
std::optional<std::uint32_t> parse_reading(const std::string &text);

// Says `mistake` on standard error as "BOARD: MISTAKE", then where the usage is, as
// libgpiod's tools do; returns the status for it, 2.
int usage_mistake(const std::string &board, const UsageError &mistake);

// The one of `names` that `value` is, by its index; else UsageError for `option`.
std::size_t one_of(const std::string &option, const std::string &value,
                   const std::vector<std::string> &names);

} // namespace common
