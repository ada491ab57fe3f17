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

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
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
    int arg = 1;
    for (; arg < argc && argv[arg][0] == '-'; ++arg) {
        if (std::strcmp(argv[arg], "--") == 0) {
            ++arg;
            break;
        }
        if (std::strcmp(argv[arg], "--device") == 0 && arg + 1 < argc) {
            std::string kind = argv[++arg];
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
            continue;
        }
        if (std::strcmp(argv[arg], "--reading") != 0 || arg + 1 == argc)
            return usage();
        held = simboard::parse_reading(argv[++arg]);
        if (!held)
            return usage();
    }
    std::vector<std::string> command(argv + arg, argv + argc);
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
        child = simboard::spawn(board.sandbox(command, device), simboard::environment(), 1, 2);

        int status = 0;
        while (waitpid(child, &status, 0) == -1 && errno == EINTR) {
        }
        return simboard::exit_status(status);
    } catch (const std::exception &e) {
        std::cerr << "simboard: " << e.what() << '\n';
        return 125;
    }
}
