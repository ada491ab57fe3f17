// SPDX-License-Identifier: MIT
// emuboard: run a command on the emulated board, Debian's ARMv7 kernel under
// qemu-system-arm with a real /dev/mem, while this machine plays the FPGA register.
//
//   emuboard                              battery-voltage (the board's build, in guest/
//                                         next to emuboard), the battery discharging
//   emuboard [OPTION]... [--] COMMAND...  COMMAND in the guest's shell
//
// The command's standard output and error come out here as it writes them. The exit
// statuses are README.md's "How a board ends" (session.h); a board that does not power off
// within its time limit is one that cannot run (125).

#include "cosim.h"
#include "machine.h"
#include "options.h"
#include "relay.h"
#include "session.h"

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

void usage() {
    std::cout << "usage: emuboard [--reading N | --rtl [--volts V] [--fpga-reset]]\n"
                 "                [--memory window|ram|none] [--unprivileged] [--output-full]\n"
                 "                [--timeout SECONDS] [--] [COMMAND [ARG]...]\n"
                 "Boots Debian's ARMv7 kernel under qemu-system-arm and runs COMMAND there "
                 "(default:\n"
                 "battery-voltage), with the battery-voltage register at 0xFF241000 played by "
                 "this\n"
                 "machine. Without --reading the battery discharges.\n"
                 "  --reading N      the register held at N (decimal, or hex after 0x)\n"
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
                 "  --timeout S      stop the board if it has not powered off S seconds\n"
                 "                   after it started (default 180; 0: no limit), status 125\n"
              << common::exit_statuses();
}

// The options: the register's, then the board's own; a mistake throws UsageError.
std::vector<std::string> parse(int argc, char **argv, common::RegisterOptions &reg,
                               emuboard::Options &options, std::chrono::seconds &limit) {
    const std::vector<std::string> memories{"window", "ram", "none"};
    std::vector<std::string> command = common::parse_options(
        {argv + 1, argv + argc}, reg,
        {{"--memory", true,
          [&](const std::string &value) {
              options.memory =
                  static_cast<emuboard::Memory>(common::one_of("--memory", value, memories));
          }},
         {"--unprivileged", false, [&](const std::string &) { options.unprivileged = true; }},
         {"--output-full", false, [&](const std::string &) { options.output_full = true; }},
         {"--timeout", true, [&](const std::string &value) {
              // Up to a year, in whole seconds: 0 is none.
              const auto seconds = common::parse_reading(value);
              if (!seconds || *seconds > 365U * 24 * 3600)
                  throw common::UsageError("--timeout: '" + value +
                                           "' is not a number of seconds from 0 to 31536000");
              limit = std::chrono::seconds(*seconds == 0 ? 365 * 24 * 3600 : *seconds);
          }}});
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
    common::Session session;
    common::RegisterOptions reg;
    emuboard::Options options;
    std::chrono::seconds limit = emuboard::Machine::default_limit;
    try {
        options.command = parse(argc, argv, reg, options, limit);
    } catch (const common::UsageError &e) {
        return common::usage_mistake("emuboard", e);
    }
    if (reg.help) {
        usage();
        return 0;
    }
    // The command's standard output or error, closed here, is closed in the guest too.
    options.output_closed = session.given(1) == common::closed;
    options.errors_closed = session.given(2) == common::closed;
    // A reader of the output that goes away is a failure to say, not the end of emuboard.
    (void)signal(SIGPIPE, SIG_IGN);

    try {
        common::Failure failure;
        emuboard::Machine machine(options);
        std::optional<common::Session::Forwarding> forwarding;
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
            // Once every thread has started, with the signals blocked, this one takes them: a
            // termination signal stops the machine, and the command with it.
            forwarding.emplace(machine.qemu(), SIGKILL);
            try {
                run = machine.wait(limit);
            } catch (const std::exception &e) { // the relay is joined whatever went wrong
                error = e.what();
            }
            done = true;
            relay.join();
        }
        forwarding.reset();
        if (cosim)
            std::cerr << "emuboard: " << cosim->summary() << '\n';
        if (common::Session::signalled())
            return common::Session::status(0);
        if (auto what = failure.what()) {
            std::cerr << "emuboard: " << *what << '\n';
            return common::board_failed;
        }
        if (!error.empty())
            throw emuboard::Error(error);
        return run->status;
    } catch (const std::exception &e) {
        if (common::Session::signalled())
            return common::Session::status(0);
        std::cerr << "emuboard: " << e.what() << '\n';
        return common::cannot_run;
    }
}
