// SPDX-License-Identifier: MIT
// A board's memory: a sparse file that stands in for physical memory, which the simulated
// board binds over /dev/mem and the emulated board gives the guest as its RAM; and the
// battery that discharges in it.
#pragma once

#include "failure.h"
#include "options.h"
#include "session.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace common {

// Physical memory up to the end of the lightweight bridge window (0xFF200000 + 2 MiB).
inline constexpr std::uint64_t image_size = 0xFF400000;
// The lightweight HPS-to-FPGA bridge's window, and the battery-voltage register: offset
// 0x41000 of it, the first of the block's sixteen words.
inline constexpr std::uint64_t window_address = 0xFF200000;
inline constexpr std::uint64_t register_address = window_address + 0x41000;
inline constexpr unsigned block_words = 16;

class Board {
  public:
    // A board whose memory image is `size` bytes long, reading 0. The image's first byte
    // stands for physical address `base`.
    explicit Board(std::uint64_t size = image_size, std::uint64_t base = 0);
    ~Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    // Writes the register as the FPGA would: a little-endian 32-bit word. A running command
    // that has mapped the image sees it at its next load.
    void set_reading(std::uint32_t reading);
    // Writes `words` from the register's address on, in one write.
    void set_words(const std::vector<std::uint32_t> &words);

    [[nodiscard]] const std::string &image() const { return image_; }
    // The board's own folder, which goes with it: for what the command finds beside the
    // memory (its programs, a sysfs tree).
    [[nodiscard]] const std::string &folder() const { return dir_.path(); }

  private:
    TempDir dir_{"board"};
    std::string image_;
    std::uint64_t base_ = 0;
    int fd_ = -1;
};

// The words of another design's slave at the register's address (--design other): an on-chip
// memory of 4 KiB whose initialisation file gave each word its own address.
std::vector<std::uint32_t> other_design_words();

// A memory image that ends where the bridge window starts: the command's map of the window
// succeeds and a load from it is a bus error, as where nothing answers.
inline constexpr std::uint64_t image_without_window = window_address;

// The FPGA manager and its bridges as the kernel's sysfs shows them under /sys/class for
// `sysfs` (Documentation/ABI/testing/sysfs-class-fpga-manager and -fpga-bridge, and the
// names drivers/fpga/socfpga.c and altera-hps2fpga.c register): the folders, parents
// first, and each file with its content, paths relative to /sys/class. Empty for absent.
struct SysfsTree {
    std::vector<std::string> folders;
    std::vector<std::pair<std::string, std::string>> files;
};
SysfsTree fpga_sysfs(Sysfs sysfs);

// A battery that loses a few codes a second from about 3.25 V (code 3900) and settles at
// about 0.7 V (code 400) after twenty minutes: the reading `seconds` into the discharge.
std::uint32_t discharged(unsigned seconds);

// Discharges the board's battery while it lives: the reading changes every second, half-way
// between the tool's one-second reads when the tool starts with the battery. A write to the
// board that fails ends the discharge, and goes to `failure`.
class Battery {
  public:
    Battery(Board &board, Failure &failure);
    ~Battery();
    Battery(const Battery &) = delete;
    Battery &operator=(const Battery &) = delete;

  private:
    Board &board_;
    Failure &failure_;
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    std::thread thread_;
};

} // namespace common
