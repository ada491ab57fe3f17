// SPDX-License-Identifier: MIT
// What answers at the register's address on a board, as its options say: the discharging
// battery's reading, a reading held, the FPGA design itself, another design's words, or
// nothing. Both boards play it the same way; only when the command starts differs.
#pragma once

#include "board.h"
#include "cosim.h"
#include "failure.h"
#include "options.h"

#include <optional>
#include <string>
#include <vector>

namespace rtl {

class Register {
  public:
    // Writes what stays as it is, and starts the FPGA design, which runs from now as a
    // configured FPGA would. `board` is null where the board holds no memory at the window.
    Register(common::Board *board, const common::RegisterOptions &options,
             common::Failure &failure);

    // The command starts: the battery starts to discharge, and a design that the FPGA's
    // configuration loads (Converter::asleep) is loaded.
    void command_starts();

    // What the board says of the design at the end of a run, a line each: its clocks and
    // conversions, and any breach the converter's model saw. None without the design.
    [[nodiscard]] std::vector<std::string> said() const;

  private:
    common::Board *board_;
    const common::RegisterOptions &options_;
    common::Failure &failure_;
    std::optional<Cosim> cosim_;
    std::optional<common::Battery> battery_;
};

} // namespace rtl
