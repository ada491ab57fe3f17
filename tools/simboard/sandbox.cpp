// SPDX-License-Identifier: MIT
#include "sandbox.h"

#include <dirent.h>

#include <algorithm>

namespace simboard {

namespace {

// /sys/class on a tmpfs of its own, so that folders can be made in it: the host's classes
// bound back (bubblewrap takes each source from the host's tree, not from the one it
// builds), then those of `classes` over them, and the whole read-only, as sysfs is.
std::vector<std::string> classes_bound(const std::string &classes) {
    std::vector<std::string> argv{"--tmpfs", "/sys/class"};
    std::vector<std::string> own;
    if (DIR *dir = opendir(classes.c_str())) {
        while (const dirent *e = readdir(dir))
            if (e->d_name[0] != '.')
                own.emplace_back(e->d_name);
        closedir(dir);
    }
    if (DIR *dir = opendir("/sys/class")) {
        while (const dirent *e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name[0] != '.' && std::find(own.begin(), own.end(), name) == own.end())
                argv.insert(argv.end(), {"--bind", "/sys/class/" + name, "/sys/class/" + name});
        }
        closedir(dir);
    }
    for (const auto &name : own)
        argv.insert(argv.end(), {"--ro-bind", classes + "/" + name, "/sys/class/" + name});
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
