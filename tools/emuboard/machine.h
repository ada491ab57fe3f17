// SPDX-License-Identifier: MIT
// The emulated board: Debian's ARMv7 kernel under qemu-system-arm, booted from a small
// initramfs that holds BusyBox and the board's own binaries, with a real /dev/mem. The host
// plays the FPGA: the guest's physical memory is a file here (a common::Board image that
// starts at the guest's RAM base), so a write to the file at the register's address is
// what the guest's next load sees.
#pragma once

#include "board.h"
#include "process.h"
#include "report.h"
#include "session.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace emuboard {

// Where the kernel and BusyBox are cached: $EMUBOARD_CACHE if set and not empty; else
// $XDG_CACHE_HOME/battery-voltage/emuboard if XDG_CACHE_HOME is an absolute path; else
// $HOME/.cache/battery-voltage/emuboard if HOME is set and not empty; else the same under
// the home directory of this user's passwd entry. tools/emuboard/fetch.sh follows the same
// rule.
std::string cache_dir();

// Where the board's own binaries are: guest/ beside this program.
std::string guest_dir();

// The Debian package of the cached kernel, as fetched.
std::string kernel_package();

// What sits at the bridge window, 0xFF200000.
enum class Memory : std::uint8_t {
    window, // 3 GiB, the kernel told of 512 MiB: no RAM of its own, and the host's register
    ram,    // 3 GiB, all the kernel's: the window is System RAM, which /dev/mem refuses
    none,   // 1 GiB: nothing at all, so a load there is an external abort
};

struct Options {
    Memory memory = Memory::window;
    bool unprivileged = false;  // run as nobody, /dev/mem open to all: the kernel's own check
    bool output_full = false;   // the command's standard output on the guest's /dev/full
    bool output_closed = false; // ... closed
    bool errors_closed = false; // the command's standard error closed
    // The FPGA manager and bridges that the guest's /sys/class shows (common::fpga_sysfs).
    common::Sysfs sysfs = common::Sysfs::absent;
    // The FPGA is configured as the command starts: /init waits until the block answers, as
    // a user who loads the design waits for the load to end.
    bool configured_as_it_starts = false;
    // Its words, passed to the guest intact; empty: battery-voltage.
    std::vector<std::string> command;
};

// qemu-system-arm's command line for a board whose files are in `dir`: with the memory that
// `memory` says, from `image` (a file of 3 GiB) for Memory::window.
std::vector<std::string> qemu_command(Memory memory, const std::string &cache,
                                      const std::string &dir, const std::string &image);

// The board itself failed (not installed, not fetched, no boot, no end): never the command.
class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// How the command's run on the board went.
struct Run {
    int status = 0;        // as a shell reports it: the code, or 128 + the signal
    std::string out, err;  // its standard output and standard error, byte for byte
    common::Report report; // the guest's stamps: its exec and exit, and each line (output)
};

class Machine {
  public:
    // Boots the board; the command starts once the kernel is up.
    explicit Machine(const Options &options);
    ~Machine() = default; // stops the machine if it still runs, and removes its files
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    // The board's memory image, for Memory::window (the register is the host's); else null.
    common::Board *board() { return board_ ? &*board_ : nullptr; }

    // Whether the kernel is up and the command about to start.
    [[nodiscard]] bool started() const;

    // The file that the guest's console port `port` ("out", "err", "report") fills.
    [[nodiscard]] std::string port_file(const std::string &port) const {
        return files_.dir.path() + "/" + port;
    }

    // What the command has written so far to standard output, and to standard error.
    [[nodiscard]] std::string output() const;
    [[nodiscard]] std::string errors() const;

    // Waits for the run's end and the machine's power-off, at most `limit`.
    Run wait(std::chrono::seconds limit = default_limit);
    static constexpr std::chrono::seconds default_limit{180};

    // Pulls the plug: from another thread while one waits, wait() then fails.
    void stop() const { qemu_->kill(); }
    // qemu-system-arm, running.
    [[nodiscard]] const common::Process &qemu() const { return *qemu_; }

  private:
    [[noreturn]] void fail(const std::string &what) const;

    // The board's files, removed last (unless EMUBOARD_KEEP is set), also when the
    // constructor fails part-way.
    struct Files {
        common::TempDir dir{"emuboard"};
        Files() = default;
        ~Files();
        Files(const Files &) = delete;
        Files &operator=(const Files &) = delete;
    } files_;
    std::optional<common::Board> board_;
    std::unique_ptr<common::Process> qemu_; // stopped first
};

} // namespace emuboard
