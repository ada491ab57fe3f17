// SPDX-License-Identifier: MIT
// simboard: run a command on a simulated board, with a memory image bound over /dev/mem.
//
//   simboard                                 battery-voltage (next to simboard), discharging
//   simboard [--reading N] [--] COMMAND...   COMMAND; the reading held at N, or discharging
//   simboard --rtl [--volts V] [--fpga-reset] [--] [COMMAND...]
//                                            the register played by the FPGA design under
//                                            Verilator, from the battery (discharging, or
//                                            held at V volts) to word 0; or held in reset
//   simboard --device absent|forbidden|unmappable [--] [COMMAND...]
//                                            the same, with no usable /dev/mem, to see how
//                                            a command fails (image: the memory, the default)
//
// The exit status is the command's (128 + the signal if a signal ended it).

#include "board.h"
#include "cosim.h"
#include "options.h"
#include "process.h"

#include <csignal>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t child = 0;

void forward(int sig) {
    if (child > 0)
        kill(child, sig);
}

// The usage, on standard error for a mistake (status 2), on standard output if asked for.
int usage(std::ostream &out = std::cerr) {
    out << "usage: simboard [--reading N | --rtl [--volts V] [--fpga-reset]]\n"
           "                [--device KIND] [--] [COMMAND [ARG]...]\n"
           "Runs COMMAND (default: battery-voltage next to simboard) with a simulated\n"
           "board's memory at /dev/mem. Without --reading the battery discharges.\n"
           "--rtl puts the FPGA design behind the register, under Verilator: the\n"
           "battery through the front end and the converter to word 0 of battery_adc;\n"
           "at the end it says on standard error how many clocks the design ran and\n"
           "how many conversions of the battery it made.\n"
           "--volts V holds the battery at V volts; --fpga-reset holds the block in\n"
           "reset; either implies --rtl. --device absent|forbidden|unmappable puts,\n"
           "instead of the memory (image), nothing, a /dev/mem the command may not open,\n"
           "or one it cannot map.\n"
           "Exit status: the command's (128 + the signal that ended it); 2 for a\n"
           "mistake in the options; 124 if the board failed while the command ran (it\n"
           "was stopped); 125 if the board could not run it.\n";
    return &out == &std::cerr ? 2 : 0;
}

} // namespace

int main(int argc, char **argv) {
    common::RegisterOptions reg;
    auto device = common::Device::image;
    std::vector<std::string> command;
    try {
        command = common::parse_options(
            {argv + 1, argv + argc}, reg,
            {{"--device", true, [&device](const std::string &value) {
                  device = static_cast<common::Device>(common::one_of(
                      "--device", value, {"image", "absent", "forbidden", "unmappable"}));
              }}});
    } catch (const common::UsageError &e) {
        std::cerr << "simboard: " << e.what() << '\n';
        return usage();
    }
    if (reg.help)
        return usage(std::cout);
    if (command.empty())
        command.push_back(common::next_to_self("battery-voltage"));

    try {
        common::Failure failure;
        common::Board board;
        board.set_reading(reg.held.value_or(0));
        std::optional<common::Battery> battery;
        std::optional<rtl::Cosim> cosim;
        if (reg.rtl)
            cosim.emplace(board, *reg.rtl, failure);
        else if (!reg.held)
            battery.emplace(board, failure);

        // Like system(3): the terminal's signals reach the command directly; other
        // termination requests are passed on, so that the image is always removed.
        (void)signal(SIGINT, SIG_IGN);
        (void)signal(SIGQUIT, SIG_IGN);
        (void)signal(SIGTERM, forward);
        (void)signal(SIGHUP, forward);
        common::Spawn how{common::environment()};
        how.out = 1;
        how.err = 2;
        common::Process run(board.sandbox(command, device), how);
        child = run.pid();
        int status = 0;
        {
            // A failure of the battery or the co-simulation stops the command.
            common::Failure::Stopping stopping(failure, [&run] { run.kill(); });
            status = run.wait(std::chrono::hours(24 * 365));
        }
        child = 0;
        if (cosim)
            std::cerr << "simboard: " << cosim->summary() << '\n';
        if (auto what = failure.what()) {
            std::cerr << "simboard: " << *what << '\n';
            return common::board_failed;
        }
        return status;
    } catch (const std::exception &e) {
        std::cerr << "simboard: " << e.what() << '\n';
        return 125;
    }
}
