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
// (nothing installed or fetched, no boot) says so on standard error, with status 125.

#include "cosim.h"
#include "machine.h"

#include <getopt.h>
#include <unistd.h>

#include <atomic>
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
           "                   from the battery through the front end and the converter\n"
           "  --volts V        --rtl, with the battery held at V volts\n"
           "  --fpga-reset     --rtl, with the block held in reset\n"
           "  --memory window  the bridge window free for the register (default)\n"
           "  --memory ram     the bridge window is the kernel's System RAM\n"
           "  --memory none    nothing behind the bridge window (a 1 GiB machine)\n"
           "  --unprivileged   run COMMAND as nobody\n"
           "  --output-full    COMMAND's standard output on the guest's /dev/full\n";
    return &out == &std::cerr ? 2 : 0;
}

// Writes what `now` holds past `sent` bytes to `fd`.
void pass_on(int fd, const std::string &now, std::size_t &sent) {
    if (sent < now.size() && common::write_all(fd, now.substr(sent)))
        sent = now.size();
}

} // namespace

int main(int argc, char **argv) {
    common::RegisterOptions reg;
    emuboard::Options options;
    const auto longopts =
        common::RegisterOptions::options({{"memory", required_argument, nullptr, 'm'},
                                          {"unprivileged", no_argument, nullptr, 'u'},
                                          {"output-full", no_argument, nullptr, 'f'}});
    for (int c = 0; (c = getopt_long(argc, argv, "+", longopts.data(), nullptr)) != -1;) {
        std::string value = optarg ? optarg : "";
        const auto taken = reg.take(c, optarg);
        if (taken == common::RegisterOptions::Taken::ok)
            continue;
        if (taken == common::RegisterOptions::Taken::bad)
            return usage();
        if (c == 'u')
            options.unprivileged = true;
        else if (c == 'f')
            options.output_full = true;
        else if (c == 'm' && value == "window")
            options.memory = emuboard::Memory::window;
        else if (c == 'm' && value == "ram")
            options.memory = emuboard::Memory::ram;
        else if (c == 'm' && value == "none")
            options.memory = emuboard::Memory::none;
        else
            return usage();
    }
    options.command.assign(argv + optind, argv + argc);
    // The co-simulation plays the register in the window that this machine holds.
    if (reg.help)
        return usage(std::cout);
    if (!reg.valid() || (reg.rtl && options.memory != emuboard::Memory::window))
        return usage();

    try {
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
            cosim.emplace(*board, *reg.rtl);
        // The run, passed on as it comes. The battery starts to discharge with the command.
        std::atomic<bool> done = false;
        std::size_t out_sent = 0;
        std::size_t err_sent = 0;
        std::thread relay([&] {
            std::optional<common::Battery> battery;
            bool battery_started = false;
            // False if the guest's files could not be read this time: what they hold is
            // passed on at the end, and a board that failed is reported by wait().
            auto relay_once = [&] {
                try {
                    if (cosim && !battery_started && machine.started()) {
                        cosim->start_battery();
                        battery_started = true;
                    }
                    if (board && !reg.rtl && !reg.held && !battery && machine.started())
                        battery.emplace(*board);
                    pass_on(1, machine.output(), out_sent);
                    pass_on(2, machine.errors(), err_sent);
                    return true;
                } catch (const emuboard::Error &) {
                    return false;
                }
            };
            while (!done) {
                (void)relay_once();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        std::optional<emuboard::Run> run;
        std::string error;
        try {
            run = machine.wait();
        } catch (const std::exception &e) { // the relay is joined whatever went wrong
            error = e.what();
        }
        done = true;
        relay.join();
        if (!error.empty())
            throw emuboard::Error(error);
        pass_on(1, run->out, out_sent);
        pass_on(2, run->err, err_sent);
        return run->status;
    } catch (const std::exception &e) {
        std::cerr << "emuboard: " << e.what() << '\n';
        return 125;
    }
}
