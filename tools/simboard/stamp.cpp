// SPDX-License-Identifier: MIT
// simboard-stamp [--lines] FD COMMAND...: runs COMMAND and reports on descriptor FD when it
// started and ended, on the monotonic clock, with its CPU time and peak memory; with
// --lines, also when each line of its standard output came. Run inside the sandbox or on
// the emulated board, it lets the tests and the benchmark time the command from its own
// exec.

#include "board.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

int main(int argc, char **argv) {
    bool lines = argc > 1 && std::strcmp(argv[1], "--lines") == 0;
    int arg = lines ? 2 : 1;
    char *end = nullptr;
    long fd = argc >= arg + 2 ? std::strtol(argv[arg], &end, 10) : -1;
    if (argc < arg + 2 || *end || fd < 3) {
        std::cerr << "usage: simboard-stamp [--lines] FD COMMAND [ARG]...\n";
        return 125;
    }
    try {
        return simboard::launch(static_cast<int>(fd), {argv + arg + 1, argv + argc}, lines);
    } catch (const std::exception &e) {
        std::cerr << "simboard-stamp: " << e.what() << '\n';
        return 125;
    }
}
