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

#include <getopt.h>

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
           "battery through the front end and the converter to word 0 of battery_adc.\n"
           "--volts V holds the battery at V volts; --fpga-reset holds the block in\n"
           "reset; either implies --rtl. --device absent|forbidden|unmappable puts,\n"
           "instead of the memory (image), nothing, a /dev/mem the command may not open,\n"
           "or one it cannot map.\n";
    return &out == &std::cerr ? 2 : 0;
}

} // namespace

int main(int argc, char **argv) {
    common::RegisterOptions reg;
    auto device = common::Device::image;
    const auto options =
        common::RegisterOptions::options({{"device", required_argument, nullptr, 'd'}});
    for (int c = 0; (c = getopt_long(argc, argv, "+", options.data(), nullptr)) != -1;) {
        std::string value = optarg ? optarg : "";
        const auto taken = reg.take(c, optarg);
        if (taken == common::RegisterOptions::Taken::ok)
            continue;
        if (taken == common::RegisterOptions::Taken::bad || c != 'd')
            return usage();
        if (value == "image")
            device = common::Device::image;
        else if (value == "absent")
            device = common::Device::absent;
        else if (value == "forbidden")
            device = common::Device::forbidden;
        else if (value == "unmappable")
            device = common::Device::unmappable;
        else
            return usage();
    }
    if (reg.help)
        return usage(std::cout);
    if (!reg.valid())
        return usage();
    std::vector<std::string> command(argv + optind, argv + argc);
    if (command.empty())
        command.push_back(common::next_to_self("battery-voltage"));

    try {
        common::Board board;
        board.set_reading(reg.held.value_or(0));
        std::optional<common::Battery> battery;
        std::optional<rtl::Cosim> cosim;
        if (reg.rtl)
            cosim.emplace(board, *reg.rtl);
        else if (!reg.held)
            battery.emplace(board);

        // Like system(3): the terminal's signals reach the command directly; other
        // termination requests are passed on, so that the image is always removed.
        (void)signal(SIGINT, SIG_IGN);
        (void)signal(SIGQUIT, SIG_IGN);
        (void)signal(SIGTERM, forward);
        (void)signal(SIGHUP, forward);
        common::Process run(board.sandbox(command, device), {common::environment(), 1, 2});
        child = run.pid();
        return run.wait(std::chrono::hours(24 * 365));
    } catch (const std::exception &e) {
        std::cerr << "simboard: " << e.what() << '\n';
        return 125;
    }
}
