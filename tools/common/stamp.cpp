// SPDX-License-Identifier: MIT
// board-stamp [--lines] FD COMMAND...: runs COMMAND and reports on descriptor FD when it
// started and ended, on the monotonic clock, with its CPU time and peak memory; with
// --lines, also when each line of its standard output came, passing the output on. Run
// inside the sandbox or on the emulated board, it lets the tests and the benchmark time the
// command from its own exec, leaving the sandbox's, an emulator's and its own start outside.
// With the lines and at the exit it also reports how long the command had waited for a
// processor by then, so that a bound can leave the machine's load outside too.
//
// It ends with the command's status; a command that cannot start as a shell says it (126,
// 127); a failure of its own, said in one line, as one that could not run (125).

#include "process.h"
#include "report.h"
#include "session.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Args {
    bool lines = false; // --lines
    int report = -1;    // FD
    std::vector<std::string> command;
};

Args parse(int argc, char **argv) {
    const char *const usage = "usage: board-stamp [--lines] FD COMMAND [ARG]...";
    Args args;
    const option options[] = {{"lines", no_argument, nullptr, 'l'}, {}};
    for (int c = 0; (c = getopt_long(argc, argv, "+", options, nullptr)) != -1;) {
        if (c != 'l')
            throw std::runtime_error(usage);
        args.lines = true;
    }
    char *end = nullptr;
    const long fd = optind + 1 < argc ? std::strtol(argv[optind], &end, 10) : -1;
    if (optind + 1 >= argc || *end || fd < 3 || fd > INT_MAX)
        throw std::runtime_error(usage);
    args.report = static_cast<int>(fd);
    // The report is the launcher's, not the command's.
    if (fcntl(args.report, F_SETFD, FD_CLOEXEC) == -1)
        throw std::runtime_error("descriptor " + std::to_string(fd) + ": " + std::strerror(errno));
    args.command.assign(argv + optind + 1, argv + argc);
    return args;
}

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

// Whether all that was written could be: the report, and the command's output passed on.
// A failure is said once, at the end; the command runs on meanwhile, as it would without
// the launcher.
struct Written {
    bool reported = true;
    bool passed_on = true;
};

// Passes the command's output on from `from` until it ends, each line stamped as it comes
// with the command's wait so far; nothing of it is kept.
void pass_lines(int from, int report, pid_t command, Written &written) {
    char buf[65536];
    for (ssize_t n = 0; (n = read(from, buf, sizeof buf)) != 0;) {
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1)
            break;
        const std::string record = common::line_record(common::nanoseconds(common::Clock::now()));
        std::string records;
        for (const char *c = buf; c != buf + n; ++c)
            if (*c == '\n')
                records += record;
        if (!records.empty())
            written.reported =
                common::write_all(report, records + common::waited_record(waited_ns(command))) &&
                written.reported;
        written.passed_on = common::write_all(1, std::string(buf, static_cast<std::size_t>(n))) &&
                            written.passed_on;
    }
}

// Runs the command, its output through `lines` if given, and reports its end.
int run(const common::Session &session, const Args &args) {
    int lines[2] = {-1, -1};
    if (args.lines && pipe2(lines, O_CLOEXEC) == -1)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    common::Spawn how{common::environment()};
    how.in = session.given(0);
    how.out = args.lines ? lines[1] : session.given(1);
    how.err = session.given(2);
    how.die_with_parent = true;
    common::Process command(args.command, how);
    const common::Session::Forwarding forwarding(command);
    Written written;
    if (args.lines) {
        close(lines[1]);
        pass_lines(lines[0], args.report, command.pid(), written);
        close(lines[0]);
    }
    // The run-queue account is read while the command is a zombie, before the wait below
    // reaps it.
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
    written.reported =
        common::write_all(args.report, common::waited_record(waited) + common::stamp_record(r)) &&
        written.reported;
    if (!written.reported)
        throw std::runtime_error("cannot write the report on descriptor " +
                                 std::to_string(args.report));
    if (!written.passed_on)
        throw std::runtime_error("cannot pass the command's output on");
    return status;
}

} // namespace

int main(int argc, char **argv) {
    common::Session session;
    try {
        const Args args = parse(argc, argv);
        // A command that is not there, or cannot be run, is said as a shell says it.
        if (const int error = common::lookup(args.command[0]))
            return common::cannot_start("board-stamp", args.command[0], error);
        return run(session, args);
    } catch (const std::exception &e) {
        std::cerr << "board-stamp: " << e.what() << '\n';
        return common::cannot_run;
    }
}
