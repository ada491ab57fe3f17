// SPDX-License-Identifier: MIT
// A board's memory: a sparse file that stands in for physical memory, which the simulated
// board binds over /dev/mem and the emulated board gives the guest as its RAM; and the
// battery that discharges in it.
#pragma once

#include "failure.h"
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
// The battery-voltage register: offset 0x41000 of the bridge window at 0xFF200000.
inline constexpr std::uint64_t register_address = 0xFF200000 + 0x41000;

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

    [[nodiscard]] const std::string &image() const { return image_; }

  private:
    TempDir dir_{"board"};
    std::string image_;
    std::uint64_t base_ = 0;
    int fd_ = -1;
};

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
