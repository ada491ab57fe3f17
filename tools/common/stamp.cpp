// SPDX-License-Identifier: MIT
// board-stamp [--lines] FD COMMAND...: runs COMMAND and reports on descriptor FD when it
// started and ended, on the monotonic clock, with its CPU time and peak memory; with
// --lines, also when each line of its standard output came, passing the output on. Run
// inside the sandbox or on the emulated board, it lets the tests and the benchmark time the
// command from its own exec, leaving the sandbox's, an emulator's and its own start outside.
// With the lines and at the exit it also reports how long the command had waited for a
// processor by then, so that a bound can leave the machine's load outside too.

#include "process.h"
#include "report.h"
#include "session.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

namespace {

// The time that process `pid` has spent ready to run but waiting for a processor: the
// kernel's run-queue delay (the second field of schedstat), summed over its threads. 0
// where the kernel keeps no such account.
std::int64_t waited_ns(pid_t pid) {
    std::int64_t sum = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator task("/proc/" + std::to_string(pid) + "/task", error),
         end;
         !error && task != end; task.increment(error)) {
        std::ifstream schedstat(task->path() / "schedstat");
        std::int64_t running = 0;
        std::int64_t waiting = 0;
        if (schedstat >> running >> waiting)
            sum += waiting;
    }
    return sum;
}

} // namespace

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
        // With --lines the command's output comes through a pipe read here, each line stamped
        // as it comes and passed on; nothing of it is kept.
        int lines[2] = {-1, -1};
        if (stamp_lines && pipe2(lines, O_CLOEXEC) == -1) {
            std::cerr << "board-stamp: pipe: " << std::strerror(errno) << '\n';
            return 125;
        }
        common::Spawn how{common::environment()};
        how.in = session.given(0);
        how.out = stamp_lines ? lines[1] : session.given(1);
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
        if (stamp_lines)
            close(lines[1]);
        const common::Session::Forwarding forwarding(command);
        // A report or an output that cannot be written is said once, at the end; the
        // command runs on meanwhile, as it would without the launcher.
        bool reported = true;
        bool passed_on = true;
        char buf[65536];
        for (ssize_t n = 0; stamp_lines && (n = read(lines[0], buf, sizeof buf)) != 0;) {
            if (n == -1 && errno == EINTR)
                continue;
            if (n == -1)
                break;
            const std::string record =
                common::line_record(common::nanoseconds(common::Clock::now()));
            std::string records;
            for (const char *c = buf; c != buf + n; ++c)
                if (*c == '\n')
                    records += record;
            if (!records.empty())
                reported = common::write_all(
                               report, records + common::waited_record(waited_ns(command.pid()))) &&
                           reported;
            passed_on =
                common::write_all(1, std::string(buf, static_cast<std::size_t>(n))) && passed_on;
        }
        if (stamp_lines)
            close(lines[0]);
        // The run-queue account is read while the command is a zombie, before the wait
        // below reaps it.
        siginfo_t exited{};
        while (waitid(P_PID, static_cast<id_t>(command.pid()), &exited, WEXITED | WNOWAIT) == -1 &&
               errno == EINTR) {
        }
        const std::int64_t waited = waited_ns(command.pid());
        const int status = common::Session::status(command.wait(std::chrono::hours(24 * 365)));
        common::Report r;
        r.started_ns = common::nanoseconds(command.started());
        r.ended_ns = common::nanoseconds(command.ended());
        r.cpu_us = command.cpu_us();
        r.rss_kib = command.rss_kib();
        reported =
            common::write_all(report, common::waited_record(waited) + common::stamp_record(r)) &&
            reported;
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
