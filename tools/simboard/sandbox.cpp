// SPDX-License-Identifier: MIT
#include "sandbox.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace simboard {

namespace {

// /sys/class on a tmpfs of its own, so that folders can be made in it: the host's classes
// bound back (bubblewrap takes each source from the host's tree, not from the one it
// builds), then those of `classes` over them, and the whole read-only, as sysfs is.
std::vector<std::string> classes_bound(const std::string &classes) {
    std::vector<std::string> argv{"--tmpfs", "/sys/class"};
    std::vector<std::string> own;
    for (const auto &entry : std::filesystem::directory_iterator(classes))
        own.push_back(entry.path().filename());
    std::error_code unreadable; // a host with no /sys/class has none to bind back
    for (const auto &entry : std::filesystem::directory_iterator("/sys/class", unreadable)) {
        const std::string name = entry.path().filename();
        if (std::find(own.begin(), own.end(), name) == own.end())
            argv.insert(argv.end(), {"--bind", entry.path(), entry.path()});
    }
    for (const auto &name : own) {
        std::string source = classes;
        source.append("/").append(name);
        argv.insert(argv.end(), {"--ro-bind", source, "/sys/class/" + name});
    }
    argv.insert(argv.end(), {"--remount-ro", "/sys/class"});
    return argv;
}

} // namespace

std::vector<std::string> sandbox(const common::Board &board,
                                 const std::vector<std::string> &command, Device device,
                                 const std::string &classes) {
    // The host's whole tree, a fresh /dev without the host's devices, and the command dies
    // with whoever started it.
    std::vector<std::string> argv{"bwrap", "--dev-bind",       "/", "/", "--dev",
                                  "/dev",  "--die-with-parent"};
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
    if (!classes.empty()) {
        const std::vector<std::string> bound = classes_bound(classes);
        argv.insert(argv.end(), bound.begin(), bound.end());
    }
    argv.emplace_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
}

} // namespace simboard
