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

#include "machine.h"
#include "options.h"
#include "register.h"
#include "relay.h"
#include "session.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <optional>
#include <thread>

namespace {

void usage() {
    std::cout
        << "usage: emuboard [--reading N | --rtl [--volts V] [--fpga-reset] [--converter KIND]]\n"
           "                [--design other|none] [--sysfs STATE]\n"
           "                [--memory window|ram|none] [--unprivileged] [--output-full]\n"
           "                [--timeout SECONDS] [--] [COMMAND [ARG]...]\n"
           "Boots Debian's ARMv7 kernel under qemu-system-arm and runs COMMAND there "
           "(default:\n"
           "battery-voltage), with the battery-voltage register at 0xFF241000 played by "
           "this\n"
           "machine. Without --reading the battery discharges.\n"
           "  --reading N      the register held at N (decimal, or hex after 0x)\n"
           "  --rtl            the register is the FPGA design under Verilator, its sixteen\n"
           "                   words at 0xFF241000 to 0xFF24103C, from the battery through\n"
           "                   the front end and the converter; at the end, how many\n"
           "                   clocks it ran and conversions it made\n"
           "  --volts V        --rtl, with the battery held at V volts\n"
           "  --fpga-reset     --rtl, with the block held in reset\n"
           "  --converter sdo-low|sdo-high\n"
           "                   --rtl, with a converter that does not answer\n"
           "  --converter asleep\n"
           "                   --rtl, the FPGA configured as the command starts, which\n"
           "                   leaves the converter asleep: the block waits 0.4 s of its\n"
           "                   time, about 20 s here\n"
           "  --design other   another design's on-chip memory at the register (each word\n"
           "                   its own address)\n"
           "  --design none    nothing at the register: a load is a bus error\n"
           "  --sysfs ready|unconfigured|bridge-disabled\n"
           "                   the FPGA manager and its bridges in /sys/class; unconfigured\n"
           "                   or bridge-disabled, nothing answers at the register\n"
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
              // The window this machine holds is the one where the register can be.
              options.memory =
                  static_cast<emuboard::Memory>(common::one_of("--memory", value, memories));
              reg.claims.at(static_cast<std::size_t>(common::Decider::board)).reset();
              if (options.memory != emuboard::Memory::window)
                  reg.claim(common::Decider::board, "--memory " + value,
                            options.memory == emuboard::Memory::ram ? common::Window::ram
                                                                    : common::Window::nothing);
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
    // Where nothing answers, the machine has nothing at the window.
    if (reg.nothing_answers())
        options.memory = emuboard::Memory::none;
    options.sysfs = reg.sysfs;
    options.configured_as_it_starts = reg.rtl && reg.rtl->converter == common::Converter::asleep;
    return command;
}

// Waits for the run, passing its output on as it comes, and takes the termination signals
// meanwhile; the register's side starts with the command. A failure of the machine's own
// is kept in `error`, once the relay is done.
std::optional<emuboard::Run> wait_for(emuboard::Machine &machine, rtl::Register &played,
                                      common::Failure &failure, std::chrono::seconds limit,
                                      std::string &error) {
    std::atomic<bool> done = false;
    std::optional<emuboard::Run> run;
    common::Failure::Stopping stopping(failure, [&machine] { machine.stop(); });
    const std::function<void()> started = [&played] { played.command_starts(); };
    std::thread relay([&] { emuboard::relay(machine, done, started, failure); });
    // Once every thread has started, with the signals blocked, this one takes them: a
    // termination signal stops the machine, and the command with it.
    common::Session::Forwarding forwarding(machine.qemu(), SIGKILL);
    try {
        run = machine.wait(limit);
    } catch (const std::exception &e) { // the relay is joined whatever went wrong
        error = e.what();
    }
    done = true;
    relay.join();
    return run;
}

// Boots the machine and runs the command on it, with the register played; the board's
// status.
int boot(const common::RegisterOptions &reg, const emuboard::Options &options,
         std::chrono::seconds limit) {
    common::Failure failure;
    emuboard::Machine machine(options);
    std::cerr << "emuboard: booting " << emuboard::kernel_package() << " under qemu-system-arm\n";
    // The FPGA design runs from the start, as a configured FPGA would before the board boots.
    rtl::Register played(machine.board(), reg, failure);
    std::string error;
    const std::optional<emuboard::Run> run = wait_for(machine, played, failure, limit, error);
    for (const auto &line : played.said())
        std::cerr << "emuboard: " << line << '\n';
    if (common::Session::signalled())
        return common::Session::status(0);
    if (auto what = failure.what()) {
        std::cerr << "emuboard: " << *what << '\n';
        return common::board_failed;
    }
    if (!run) // the machine failed: `error` says how
        throw emuboard::Error(error);
    return run->status;
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
        return boot(reg, options, limit);
    } catch (const std::exception &e) {
        if (common::Session::signalled())
            return common::Session::status(0);
        std::cerr << "emuboard: " << e.what() << '\n';
        return common::cannot_run;
    }
}
