// SPDX-License-Identifier: MIT
// simboard: run a command on a simulated board, with a memory image bound over /dev/mem.
//
//   simboard                                 battery-voltage (next to simboard), discharging
//   simboard [--reading N] [--] COMMAND...   COMMAND; the reading held at N, or discharging
//   simboard --device absent|forbidden|unmappable [--] [COMMAND...]
//                                            the same, with no usable /dev/mem, to see how
//                                            a command fails (image: the memory, the default)
//
// The exit status is the command's (128 + the signal if a signal ended it).

#include "board.h"
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

int usage() {
    std::cerr << "usage: simboard [--reading N] [--device KIND] [--] [COMMAND [ARG]...]\n"
                 "Runs COMMAND (default: battery-voltage next to simboard) with a simulated\n"
                 "board's memory at /dev/mem. Without --reading the battery discharges.\n"
                 "--device absent|forbidden|unmappable puts, instead of the memory (image),\n"
                 "nothing, a /dev/mem the command may not open, or one it cannot map.\n";
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    std::optional<std::uint32_t> held;
    auto device = simboard::Device::image;
    const option options[] = {{"reading", required_argument, nullptr, 'r'},
                              {"device", required_argument, nullptr, 'd'},
                              {}};
    for (int c = 0; (c = getopt_long(argc, argv, "+", options, nullptr)) != -1;) {
        if (c == 'r' && (held = simboard::parse_reading(optarg)))
            continue;
        if (c != 'd')
            return usage();
        std::string kind = optarg;
        if (kind == "image")
            device = simboard::Device::image;
        else if (kind == "absent")
            device = simboard::Device::absent;
        else if (kind == "forbidden")
            device = simboard::Device::forbidden;
        else if (kind == "unmappable")
            device = simboard::Device::unmappable;
        else
            return usage();
    }
    std::vector<std::string> command(argv + optind, argv + argc);
    if (command.empty())
        command.push_back(simboard::next_to_self("battery-voltage"));

    try {
        simboard::Board board;
        board.set_reading(held.value_or(0));
        std::optional<simboard::Battery> battery;
        if (!held)
            battery.emplace(board);

        // Like system(3): the terminal's signals reach the command directly; other
        // termination requests are passed on, so that the image is always removed.
        (void)signal(SIGINT, SIG_IGN);
        (void)signal(SIGQUIT, SIG_IGN);
        (void)signal(SIGTERM, forward);
        (void)signal(SIGHUP, forward);
        simboard::Process run(board.sandbox(command, device), {simboard::environment(), 1, 2});
        child = run.pid();
        return run.wait(std::chrono::hours(24 * 365));
    } catch (const std::exception &e) {
        std::cerr << "simboard: " << e.what() << '\n';
        return 125;
    }
}
