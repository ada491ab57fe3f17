// SPDX-License-Identifier: MIT
// board-stamp [--lines] FD COMMAND...: runs COMMAND and reports on descriptor FD when it
// started and ended, on the monotonic clock, with its CPU time and peak memory; with
// --lines, also when each line of its standard output came, passing the output on. Run
// inside the sandbox or on the emulated board, it lets the tests and the benchmark time the
// command from its own exec, leaving the sandbox's, an emulator's and its own start outside.

#include "process.h"
#include "report.h"
#include "session.h"

#include <fcntl.h>
#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>

int main(int argc, char **argv) {
    common::Session session;
    bool stamp_lines = false;
    const option options[] = {{"lines", no_argument, nullptr, 'l'}, {}};
    for (int c = 0; (c = getopt_long(argc, argv, "+", options, nullptr)) != -1;) {
        if (c != 'l') {
            optind = argc; // to the usage below
            break;
        }
        stamp_lines = true;
    }
    char *end = nullptr;
    long fd = optind + 1 < argc ? std::strtol(argv[optind], &end, 10) : -1;
    if (optind + 1 >= argc || *end || fd < 3) {
        std::cerr << "usage: board-stamp [--lines] FD COMMAND [ARG]...\n";
        return 125;
    }
    int report = static_cast<int>(fd);
    // The report is the launcher's, not the command's.
    if (fcntl(report, F_SETFD, FD_CLOEXEC) == -1) {
        std::cerr << "board-stamp: descriptor " << report << ": " << std::strerror(errno) << '\n';
        return 125;
    }
    try {
        common::Spawn how{common::environment()};
        how.in = session.given(0);
        how.out = stamp_lines ? common::piped : session.given(1);
        how.err = session.given(2);
        how.die_with_parent = true;
        std::optional<common::Process> started;
        try {
            started.emplace(std::vector<std::string>(argv + optind + 1, argv + argc), how);
        } catch (const common::ExecError &e) {
            // A command that is not there, or cannot be run, is said as a shell says it.
            return common::cannot_start("board-stamp", argv[optind + 1], e.code().value());
        }
        common::Process &command = *started;
        const common::Session::Forwarding forwarding(command);
        // A report or an output that cannot be written is said once, at the end; the
        // command runs on meanwhile, as it would without the launcher.
        bool reported = true;
        bool passed_on = true;
        std::size_t sent = 0;
        std::size_t stamped = 0;
        while (command.pump(common::Clock::time_point::max())) {
            for (; stamped < command.lines().size(); ++stamped)
                reported = common::write_all(report, common::line_record(common::nanoseconds(
                                                         command.lines()[stamped].at))) &&
                           reported;
            passed_on = common::write_all(1, command.output().substr(sent)) && passed_on;
            sent = command.output().size();
        }
        const int status = common::Session::status(command.wait(std::chrono::hours(24 * 365)));
        common::Report r;
        r.started_ns = common::nanoseconds(command.started());
        r.ended_ns = common::nanoseconds(command.ended());
        r.cpu_us = command.cpu_us();
        r.rss_kib = command.rss_kib();
        reported = common::write_all(report, common::stamp_record(r)) && reported;
        if (!reported)
            std::cerr << "board-stamp: cannot write the report on descriptor " << report << '\n';
        if (!passed_on)
            std::cerr << "board-stamp: cannot pass the command's output on\n";
        return reported && passed_on ? status : 125;
    } catch (const std::exception &e) {
        std::cerr << "board-stamp: " << e.what() << '\n';
        return common::cannot_run;
    }
}
