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
// The exit statuses are README.md's "How a board ends" (session.h).

#include "board.h"
#include "cosim.h"
#include "options.h"
#include "process.h"
#include "sandbox.h"
#include "session.h"

#include <csignal>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

void usage() {
    std::cout << "usage: simboard [--reading N | --rtl [--volts V] [--fpga-reset]]\n"
                 "                [--device KIND] [--] [COMMAND [ARG]...]\n"
                 "Runs COMMAND (default: battery-voltage next to simboard) with a simulated\n"
                 "board's memory at /dev/mem. Without --reading the battery discharges;\n"
                 "--reading N holds the register at N (decimal, or hex after 0x).\n"
                 "--rtl puts the FPGA design behind the register, under Verilator: the\n"
                 "battery through the front end and the converter to word 0 of battery_adc;\n"
                 "at the end it says on standard error how many clocks the design ran and\n"
                 "how many conversions of the battery it made.\n"
                 "--volts V holds the battery at V volts; --fpga-reset holds the block in\n"
                 "reset; either implies --rtl. --device absent|forbidden|unmappable puts,\n"
                 "instead of the memory (image), nothing, a /dev/mem the command may not open,\n"
                 "or one it cannot map.\n"
              << common::exit_statuses();
}

} // namespace

int main(int argc, char **argv) {
    common::Session session;
    common::RegisterOptions reg;
    auto device = simboard::Device::image;
    std::vector<std::string> command;
    try {
        command = common::parse_options(
            {argv + 1, argv + argc}, reg,
            {{"--device", true, [&device](const std::string &value) {
                  device = static_cast<simboard::Device>(common::one_of(
                      "--device", value, {"image", "absent", "forbidden", "unmappable"}));
              }}});
    } catch (const common::UsageError &e) {
        return common::usage_mistake("simboard", e);
    }
    if (reg.help) {
        usage();
        return 0;
    }
    if (command.empty())
        command.push_back(common::next_to_self("battery-voltage"));
    // bubblewrap would say it in its own words, with its own status.
    if (const int error = common::lookup(command[0]))
        return common::cannot_start("simboard", command[0], error);

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

        common::Spawn how{common::environment()};
        how.in = session.given(0);
        how.out = session.given(1);
        how.err = session.given(2);
        // bubblewrap the init of a PID namespace: when it ends, at any step of its start,
        // the kernel ends all that it started; and it ends with simboard, even by kill -9.
        how.pid_namespace = true;
        how.die_with_parent = true;
        common::Process run(simboard::sandbox(board, command, device), how);
        int status = 0;
        {
            // A termination signal ends the sandbox, and the command with it (its init takes
            // only SIGKILL); a failure of the battery or the co-simulation stops the command.
            common::Session::Forwarding forwarding(run, SIGKILL);
            common::Failure::Stopping stopping(failure, [&run] { run.kill(); });
            status = run.wait(std::chrono::hours(24 * 365));
        }
        if (cosim)
            std::cerr << "simboard: " << cosim->summary() << '\n';
        if (common::Session::signalled())
            return common::Session::status(status);
        if (auto what = failure.what()) {
            std::cerr << "simboard: " << *what << '\n';
            return common::board_failed;
        }
        return status;
    } catch (const std::exception &e) {
        std::cerr << "simboard: " << e.what() << '\n';
        return common::Session::status(common::cannot_run);
    }
}
