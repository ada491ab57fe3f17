// SPDX-License-Identifier: MIT
// The command lines of both boards: the options they share, which say what plays the
// register and what the command finds around it, and a reader for them and each board's
// own, that names a bad value or a conflicting pair in one line.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace common {

// The converter that the FPGA design drives (--converter).
enum class Converter : std::uint8_t {
    working,  // answers, and is awake from the start
    sdo_low,  // does not answer: its SDO stuck low, as a dead part leaves it
    sdo_high, // does not answer: its SDO stuck high, as an unsoldered one leaves it
    asleep,   // left asleep by the FPGA's configuration, which comes as the command starts
};

// The register played by the FPGA design.
struct RtlOptions {
    std::optional<double> volts; // held there; else the battery discharges from the start
    bool fpga_reset = false;     // the block held in reset, as an unconfigured FPGA reads
    Converter converter = Converter::working;
};

// What sits at the register's address in the FPGA (--design).
enum class Design : std::uint8_t {
    battery_adc, // the block: its word 0 written directly, or the design itself (--rtl)
    other,       // another design's slave: an on-chip memory of its own words
    none,        // nothing: a load there is a bus error
};

// The FPGA manager and its bridges in the command's /sys/class (--sysfs).
enum class Sysfs : std::uint8_t {
    absent,          // none, as the board's kernel shows it today
    ready,           // the FPGA configured, the bridges enabled
    unconfigured,    // the FPGA not configured: nothing answers at the window
    bridge_disabled, // the lightweight bridge disabled: nothing answers at the window
};

// What answers at the register's address, as one option decides it.
enum class Window : std::uint8_t { held, block, other_design, nothing, ram };

// The options that decide what answers there, in the order a conflict names them.
enum class Decider : std::uint8_t { reading, rtl, design, sysfs, board };

// What a board's command line says of the register: --reading N, or --rtl with --volts V,
// --fpga-reset and --converter KIND (each implies --rtl); --design, --sysfs; and --help.
struct RegisterOptions {
    std::optional<std::uint32_t> held; // written directly, held at N
    std::optional<RtlOptions> rtl;     // played by the FPGA design
    Design design = Design::battery_adc;
    Sysfs sysfs = Sysfs::absent;
    bool help = false;

    // Each decider that spoke, as given ("--memory ram"), and what it puts at the window.
    struct Claim {
        std::string by;
        Window window;
    };
    std::array<std::optional<Claim>, 5> claims;
    void claim(Decider decider, const std::string &by, Window window) {
        claims.at(static_cast<std::size_t>(decider)) = Claim{by, window};
    }
    // Whether nothing answers at the window: --design none, or an FPGA that --sysfs says is
    // not configured or behind a disabled bridge (a board's own option may say so too).
    [[nodiscard]] bool nothing_answers() const;
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
// missing or refused value, or two options that put different things at the window (a
// board's own option claims through RegisterOptions::claim, Decider::board).
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
