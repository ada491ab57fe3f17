// simboard-stamp FD COMMAND...: runs COMMAND and reports on descriptor FD when it started
// and ended, on the monotonic clock, with its CPU time and peak memory. Run inside the
// sandbox, it lets the tests and the benchmark time the command from its own exec.

#include "board.h"

#include <cstdlib>
#include <iostream>

int main(int argc, char **argv) {
    char *end = nullptr;
    long fd = argc >= 3 ? std::strtol(argv[1], &end, 10) : -1;
    if (argc < 3 || *end || fd < 3) {
        std::cerr << "usage: simboard-stamp FD COMMAND [ARG]...\n";
        return 125;
    }
    try {
        return simboard::launch(static_cast<int>(fd), {argv + 2, argv + argc});
    } catch (const std::exception &e) {
        std::cerr << "simboard-stamp: " << e.what() << '\n';
        return 125;
    }
}
