// SPDX-License-Identifier: MIT
// simboard: run a command on a simulated board, with a memory image bound over /dev/mem.
//
//   simboard                                 battery-voltage (next to simboard), discharging
//   simboard [--reading N] [--] COMMAND...   COMMAND; the reading held at N, or discharging
//   simboard --rtl [--volts V] [--fpga-reset] [--converter KIND] [--] [COMMAND...]
//                                            the register played by the FPGA design under
//                                            Verilator, from the battery (discharging, or
//                                            held at V volts) to its sixteen words; or held
//                                            in reset; or with a converter that does not
//                                            answer, or that configuration left asleep
//   simboard --design other|none [--] [COMMAND...]
//                                            another design's words at the register, or
//                                            nothing there: a load is a bus error
//   simboard --sysfs ready|unconfigured|bridge-disabled [--] [COMMAND...]
//                                            the FPGA manager and bridges in /sys/class;
//                                            unconfigured or disabled, nothing answers
//   simboard --device absent|forbidden|unmappable [--] [COMMAND...]
//                                            the same, with no usable /dev/mem, to see how
//                                            a command fails (image: the memory, the default)
//
// The command finds the board's programs (battery-voltage, and the others beside simboard)
// by name, first on its PATH. The exit statuses are the session's (session.h).

#include "board.h"
#include "options.h"
#include "process.h"
#include "register.h"
#include "sandbox.h"
#include "session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace {

void usage() {
    std::cout
        << "usage: simboard [--reading N | --rtl [--volts V] [--fpga-reset] [--converter KIND]]\n"
           "                [--design other|none] [--sysfs STATE] [--device KIND]\n"
           "                [--] [COMMAND [ARG]...]\n"
           "Runs COMMAND (default: battery-voltage next to simboard) with a simulated\n"
           "board's memory at /dev/mem. Without --reading the battery discharges;\n"
           "--reading N holds the register at N (decimal, or hex after 0x).\n"
           "--rtl puts the FPGA design behind the register, under Verilator: the\n"
           "battery through the front end and the converter to battery_adc, whose\n"
           "sixteen words are at 0xFF241000 to 0xFF24103C; at the end it says on\n"
           "standard error how many clocks the design ran and how many conversions of\n"
           "the battery it made.\n"
           "--volts V holds the battery at V volts; --fpga-reset holds the block in\n"
           "reset; --converter sdo-low|sdo-high gives a converter that does not answer,\n"
           "--converter asleep one that the FPGA's configuration, as the command starts,\n"
           "leaves asleep (the block waits 0.4 s of its time, about 20 s here); each\n"
           "implies --rtl.\n"
           "--design other puts another design's on-chip memory at the register (each\n"
           "word its own address), --design none nothing (a load is a bus error).\n"
           "--sysfs ready|unconfigured|bridge-disabled shows the FPGA manager and its\n"
           "bridges in /sys/class; unconfigured or bridge-disabled, nothing answers.\n"
           "--device absent|forbidden|unmappable puts, instead of the memory (image),\n"
           "nothing, a /dev/mem the command may not open, or one it cannot map.\n"
           "COMMAND finds the board's programs by name, first on its PATH.\n"
           "Exit status: the command's (128 + the signal that ended it); 2 for a\n"
           "mistake in the options; 124 if the board failed while the command ran (it\n"
           "was stopped); 125 if the board could not run; 126 if the command could not\n"
           "be run, 127 if it was not found; 128 + the signal if simboard got INT,\n"
           "TERM, HUP or QUIT (the command is ended).\n";
}

// The register's options and simboard's own; a mistake throws UsageError.
std::vector<std::string> parse(int argc, char **argv, common::RegisterOptions &reg,
                               simboard::Device &device) {
    return common::parse_options(
        {argv + 1, argv + argc}, reg,
        {{"--device", true, [&device](const std::string &value) {
              device = static_cast<simboard::Device>(common::one_of(
                  "--device", value, {"image", "absent", "forbidden", "unmappable"}));
          }}});
}

[[noreturn]] void fail(const std::string &what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// `child` in the folder `parent`.
std::string in(const std::string &parent, const std::string &child) {
    std::string path = parent;
    path += '/';
    path += child;
    return path;
}

// The board's programs, found by name as on the emulated board: a folder of the board's
// own with a link to each that stands next to simboard, first on this process's PATH, which
// the command and the lookup of its name inherit. Before any thread starts.
void programs_on_path(const common::Board &board) {
    const std::string bin = in(board.folder(), "bin");
    if (mkdir(bin.c_str(), 0755) == -1)
        fail("make " + bin);
    for (const char *name : {"battery-voltage", "battery-adc-status"}) {
        const std::string program = common::next_to_self(name);
        if (access(program.c_str(), X_OK) == 0 &&
            symlink(program.c_str(), in(bin, name).c_str()) == -1)
            fail("link " + in(bin, name));
    }
    std::string path = bin;
    path += ':';
    const char *inherited = std::getenv("PATH");
    path += inherited ? inherited : "/bin:/usr/bin";
    if (setenv("PATH", path.c_str(), 1) == -1)
        fail("set PATH");
}

// The FPGA manager and bridges that --sysfs shows, in the board's folder; or "" for none.
std::string sysfs_classes(const common::Board &board, common::Sysfs sysfs) {
    if (sysfs == common::Sysfs::absent)
        return "";
    std::string classes = in(board.folder(), "class");
    const common::SysfsTree tree = common::fpga_sysfs(sysfs);
    if (mkdir(classes.c_str(), 0755) == -1)
        fail("make " + classes);
    for (const auto &folder : tree.folders)
        if (mkdir(in(classes, folder).c_str(), 0755) == -1)
            fail("make " + in(classes, folder));
    for (const auto &[path, content] : tree.files)
        if (!(std::ofstream(in(classes, path)) << content).flush())
            fail("write " + in(classes, path));
    return classes;
}

// Runs the command in the sandbox, with the register played beside it from its start, and
// says how the design did; the board's status.
int run(const common::Session &session, common::Board &board, const common::RegisterOptions &reg,
        const std::vector<std::string> &argv) {
    common::Failure failure;
    rtl::Register played(&board, reg, failure);
    played.command_starts();
    common::Spawn how{common::environment()};
    how.in = session.given(0);
    how.out = session.given(1);
    how.err = session.given(2);
    common::Process sandbox(argv, how);
    int status = 0;
    {
        // A termination signal goes to bubblewrap, and the command with it; a failure
        // of the battery or the co-simulation stops the command.
        common::Session::Forwarding forwarding(sandbox);
        common::Failure::Stopping stopping(failure, [&sandbox] { sandbox.kill(); });
        status = sandbox.wait(std::chrono::hours(24 * 365));
    }
    for (const auto &line : played.said())
        std::cerr << "simboard: " << line << '\n';
    if (common::Session::signalled())
        return common::Session::status(status);
    if (auto what = failure.what()) {
        std::cerr << "simboard: " << *what << '\n';
        return common::board_failed;
    }
    return status;
}

} // namespace

int main(int argc, char **argv) {
    common::Session session;
    common::RegisterOptions reg;
    auto device = simboard::Device::image;
    std::vector<std::string> command;
    try {
        command = parse(argc, argv, reg, device);
    } catch (const common::UsageError &e) {
        return common::usage_mistake("simboard", e);
    }
    if (reg.help) {
        usage();
        return 0;
    }
    try {
        // Where nothing answers, the image ends before the window.
        common::Board board(reg.nothing_answers() ? common::image_without_window
                                                  : common::image_size);
        programs_on_path(board);
        if (command.empty())
            command.push_back(common::next_to_self("battery-voltage"));
        // bubblewrap would say it in its own words, with its own status.
        if (const int error = common::lookup(command[0]))
            return common::cannot_start("simboard", command[0], error);
        const std::string classes = sysfs_classes(board, reg.sysfs);
        return run(session, board, reg, simboard::sandbox(board, command, device, classes));
    } catch (const std::exception &e) {
        std::cerr << "simboard: " << e.what() << '\n';
        return common::Session::status(common::cannot_run);
    }
}
