// SPDX-License-Identifier: MIT
#include "sandbox.h"

namespace simboard {

std::vector<std::string> sandbox(const common::Board &board,
                                 const std::vector<std::string> &command, Device device) {
    // The host's whole tree, a fresh /dev without the host's devices, a PID namespace with
    // its own /proc (in which the command's pids are its launcher's), and the command dies
    // with whoever started it.
    std::vector<std::string> argv{"bwrap", "--dev-bind",    "/",      "/",     "--dev",
                                  "/dev",  "--unshare-pid", "--proc", "/proc", "--die-with-parent"};
    switch (device) {
    case Device::image:
        argv.insert(argv.end(), {"--bind", board.image(), "/dev/mem"});
        break;
    case Device::absent:
        break;
    case Device::forbidden:
        argv.insert(argv.end(), {"--bind", board.image(), "/dev/mem", "--chmod", "0000", "/dev/mem",
                                 "--cap-drop", "ALL"});
        break;
    case Device::unmappable:
        argv.insert(argv.end(), {"--dev-bind", "/dev/null", "/dev/mem"});
        break;
    }
    argv.emplace_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
}

} // namespace simboard
