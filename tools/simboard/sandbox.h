// SPDX-License-Identifier: MIT
// The simulated board's sandbox: the board's memory image bound over /dev/mem in a private
// mount namespace (bubblewrap), for the command that runs on it.
#pragma once

#include "board.h"

#include <cstdint>
#include <string>
#include <vector>

namespace simboard {

// What a command run on the board finds at /dev/mem.
enum class Device : std::uint8_t {
    image,      // the board's memory image
    absent,     // nothing
    forbidden,  // the image with mode 0, and the command without capabilities
    unmappable, // /dev/null: it opens, but cannot be mapped
};

// The bubblewrap command line that runs `command` with `device` at /dev/mem; and, if
// `classes` names a folder, each folder in it in /sys/class, read-only, beside the host's own
// classes (a sysfs tree the host's kernel does not have).
std::vector<std::string> sandbox(const common::Board &board,
                                 const std::vector<std::string> &command,
                                 Device device = Device::image, const std::string &classes = {});

} // namespace simboard
