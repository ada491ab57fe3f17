// SPDX-License-Identifier: MIT
// emuboard: run a command on the emulated board, Debian's ARMv7 kernel under
// qemu-system-arm with a real /dev/mem, while this machine plays the FPGA register.
//
//   emuboard                              battery-voltage (the board's build, in guest/
//                                         next to emuboard), the battery discharging
//   emuboard [OPTION]... [--] COMMAND...  COMMAND in the guest's shell
//
// The command's standard output and error come out here as it writes them, and the exit
// status is its own (128 + the signal if a signal ended it). A board that cannot run
// (nothing installed or fetched, no boot) says so on standard error, with status 125; one
// whose register failed while the command ran stops it, says so, with status 124.

#include "cosim.h"
#include "machine.h"
#include "relay.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <thread>

namespace {

// The usage, on standard error for a mistake (status 2), on standard output if asked for.
int usage(std::ostream &out = std::cerr) {
    out << "usage: emuboard [--reading N | --rtl [--volts V] [--fpga-reset]]\n"
           "                [--memory window|ram|none] [--unprivileged] [--output-full]\n"
           "                [--] [COMMAND [ARG]...]\n"
           "Boots Debian's ARMv7 kernel under qemu-system-arm and runs COMMAND there (default:\n"
           "battery-voltage), with the battery-voltage register at 0xFF241000 played by this\n"
           "machine. Without --reading the battery discharges.\n"
           "  --rtl            the register is word 0 of the FPGA design under Verilator,\n"
           "                   from the battery through the front end and the converter;\n"
           "                   at the end, how many clocks it ran and conversions it made\n"
           "  --volts V        --rtl, with the battery held at V volts\n"
           "  --fpga-reset     --rtl, with the block held in reset\n"
           "  --memory window  the bridge window free for the register (default)\n"
           "  --memory ram     the bridge window is the kernel's System RAM\n"
           "  --memory none    nothing behind the bridge window (a 1 GiB machine)\n"
           "  --unprivileged   run COMMAND as nobody\n"
           "  --output-full    COMMAND's standard output on the guest's /dev/full\n"
           "Exit status: the command's (128 + the signal that ended it); 2 for a mistake\n"
           "in the options; 124 if the board failed while the command ran (it was\n"
           "stopped); 125 if the board could not run it.\n";
    return &out == &std::cerr ? 2 : 0;
}

// The options: the register's, then the board's own; a mistake throws UsageError.
std::vector<std::string> parse(int argc, char **argv, common::RegisterOptions &reg,
                               emuboard::Options &options) {
    const std::vector<std::string> memories{"window", "ram", "none"};
    std::vector<std::string> command = common::parse_options(
        {argv + 1, argv + argc}, reg,
        {{"--memory", true,
          [&](const std::string &value) {
              options.memory =
                  static_cast<emuboard::Memory>(common::one_of("--memory", value, memories));
          }},
         {"--unprivileged", false, [&](const std::string &) { options.unprivileged = true; }},
         {"--output-full", false, [&](const std::string &) { options.output_full = true; }}});
    // The register, held or played by the co-simulation, is in the window this machine holds.
    const std::string memory = "--memory " + memories.at(static_cast<std::size_t>(options.memory));
    if (reg.rtl && options.memory != emuboard::Memory::window)
        throw common::UsageError(reg.rtl_by + " and " + memory + " cannot go together");
    if (reg.held && options.memory != emuboard::Memory::window)
        throw common::UsageError("--reading and " + memory + " cannot go together");
    return command;
}

} // namespace

int main(int argc, char **argv) {
    common::RegisterOptions reg;
    emuboard::Options options;
    try {
        options.command = parse(argc, argv, reg, options);
    } catch (const common::UsageError &e) {
        std::cerr << "emuboard: " << e.what() << '\n';
        return usage();
    }
    if (reg.help)
        return usage(std::cout);
    // A reader of the output that goes away is a failure to say, not the end of emuboard.
    (void)signal(SIGPIPE, SIG_IGN);

    try {
        common::Failure failure;
        emuboard::Machine machine(options);
        std::cerr << "emuboard: booting " << emuboard::kernel_package()
                  << " under qemu-system-arm\n";
        auto *board = machine.board();
        if (board && !reg.rtl)
            board->set_reading(reg.held.value_or(common::discharged(0)));
        // The FPGA design runs from the start, as a configured FPGA would before the board
        // boots; its battery starts to discharge with the command.
        std::optional<rtl::Cosim> cosim;
        if (board && reg.rtl)
            cosim.emplace(*board, *reg.rtl, failure);
        // The run, passed on as it comes. The battery starts to discharge with the command.
        std::atomic<bool> done = false;
        std::optional<emuboard::Run> run;
        std::string error;
        {
            common::Failure::Stopping stopping(failure, [&machine] { machine.stop(); });
            std::thread relay([&] {
                std::optional<common::Battery> battery;
                emuboard::relay(
                    machine, done,
                    [&] {
                        if (cosim)
                            cosim->start_battery();
                        if (board && !reg.rtl && !reg.held)
                            battery.emplace(*board, failure);
                    },
                    failure);
            });
            try {
                run = machine.wait();
            } catch (const std::exception &e) { // the relay is joined whatever went wrong
                error = e.what();
            }
            done = true;
            relay.join();
        }
        if (cosim)
            std::cerr << "emuboard: " << cosim->summary() << '\n';
        if (auto what = failure.what()) {
            std::cerr << "emuboard: " << *what << '\n';
            return common::board_failed;
        }
        if (!error.empty())
            throw emuboard::Error(error);
        return run->status;
    } catch (const std::exception &e) {
        std::cerr << "emuboard: " << e.what() << '\n';
        return 125;
    }
}
