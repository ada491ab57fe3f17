// SPDX-License-Identifier: MIT
// Times battery-voltage on the simulated board against a generic peer, and prints a
// Markdown table of the medians.
//
//   bench [--runs N] TOOL [STRIPPED-BOARD-BINARY]
//
// Each run starts the sandbox with simboard-stamp inside it as a thin launcher (the same one
// the tests use): it notes the clock, forks and execs the command, waits for it, and reports
// the command's own start, end, CPU time and peak memory.
// Lines are stamped as they arrive here, on the same monotonic clock, so every time below
// is measured from the command's own start, with the sandbox's start left out.

#include "board.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

double now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double cpu_ms(const rusage &ru) {
    auto ms = [](timeval tv) {
        return static_cast<double>(tv.tv_sec) * 1e3 + static_cast<double>(tv.tv_usec) / 1e3;
    };
    return ms(ru.ru_utime) + ms(ru.ru_stime);
}

struct Sample {
    std::vector<double> lines; // arrival of each line, ms after the command's start
    double end = 0;            // the command's exit, ms after its start
    double sandboxed = 0;      // wall time including the sandbox's start, ms
    double cpu_all = 0;        // CPU time of sandbox and command together, ms
    double cpu_own = 0;        // CPU time of the command and what it waited for, ms
    long rss_kib = 0;          // peak resident memory of the command, KiB
    int status = 0;
};

Sample run_once(const std::string &launcher, const std::vector<std::string> &command) {
    simboard::Board board;
    board.set_reading(2730);
    int out[2];
    int report[2];
    if (pipe2(out, O_CLOEXEC) == -1 || pipe2(report, O_CLOEXEC) == -1)
        throw std::runtime_error("pipe");
    auto argv = simboard::stamped({launcher}, report[1], command);

    double spawned = now_ms();
    pid_t pid =
        simboard::spawn(board.sandbox(argv), simboard::environment(), out[1], 2, false, report[1]);
    close(out[1]);
    close(report[1]);

    std::vector<double> arrivals;
    char buf[4096];
    for (;;) {
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        double at = now_ms();
        for (ssize_t i = 0; i < n; ++i)
            if (buf[i] == '\n')
                arrivals.push_back(at);
    }
    close(out[0]);

    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    Sample s;
    s.sandboxed = now_ms() - spawned;
    s.cpu_all = cpu_ms(ru);
    s.status = simboard::exit_status(status);

    std::string text;
    while (ssize_t n = read(report[0], buf, sizeof buf)) {
        if (n < 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    close(report[0]);
    auto r = simboard::parse_report(text);
    if (!r)
        throw std::runtime_error("no report from the launcher for " + command.at(0));
    double start = static_cast<double>(r->started_ns) / 1e6;
    s.end = static_cast<double>(r->ended_ns) / 1e6 - start;
    s.cpu_own = static_cast<double>(r->cpu_us) / 1e3;
    s.rss_kib = r->rss_kib;
    for (double at : arrivals)
        s.lines.push_back(at - start);
    return s;
}

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

double median_of(const std::vector<Sample> &runs, const std::function<double(const Sample &)> &f) {
    std::vector<double> v;
    v.reserve(runs.size());
    for (const auto &r : runs)
        v.push_back(f(r));
    return median(v);
}

std::string fixed(double v, int digits) {
    std::ostringstream s;
    s << std::fixed << std::setprecision(digits) << v;
    return s.str();
}

long file_size(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

std::string first_line_of(const std::string &path, const std::string &key) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key, 0) == 0)
            return line.substr(line.find(':') + 2);
    return "?";
}

} // namespace

int main(int argc, char **argv) {
    long runs = 3;
    int arg = 1;
    if (argc > 2 && std::string(argv[1]) == "--runs") {
        runs = std::max(1L, std::strtol(argv[2], nullptr, 10));
        arg = 3;
    }
    if (arg >= argc) {
        std::cerr << "usage: bench [--runs N] TOOL [STRIPPED-BOARD-BINARY]\n";
        return 2;
    }
    std::string tool = argv[arg];
    std::string board_binary = arg + 1 < argc ? argv[arg + 1] : "";
    std::string launcher = simboard::next_to_self("simboard-stamp");

    // The peer: a shell loop around BusyBox's generic physical-memory peek.
    const std::vector<std::string> peer{
        "sh", "-c",
        "i=0; while [ $i -lt 10 ]; do"
        " echo \"Battery voltage is: $(($(busybox devmem 0xFF241000 32)))\"; sleep 1;"
        " i=$((i + 1)); done"};

    std::map<std::string, std::vector<Sample>> samples;
    try {
        for (long r = 0; r < runs; ++r) {
            std::cerr << "run " << r + 1 << " of " << runs << "\n";
            samples["true"].push_back(run_once(launcher, {"true"}));
            samples["tool"].push_back(run_once(launcher, {tool}));
            samples["peer"].push_back(run_once(launcher, peer));
        }
    } catch (const std::exception &e) {
        std::cerr << "bench: " << e.what() << "\n";
        return 1;
    }
    for (const char *who : {"tool", "peer"})
        for (const auto &s : samples[who])
            if (s.status != 0 || s.lines.size() != 10) {
                std::cerr << "bench: a " << who << " run ended with status " << s.status
                          << " after " << s.lines.size() << " lines\n";
                return 1;
            }

    double sandbox_cpu = median_of(samples["true"], [](const Sample &s) { return s.cpu_all; });
    struct Row {
        std::string figure;
        std::function<double(const Sample &)> f;
        int digits;
        std::optional<double> limit; // the tool's target, if any
    };
    std::vector<Row> rows{
        {"first line, ms after start", [](const Sample &s) { return s.lines[0]; }, 2, 5.0}};
    for (std::size_t i = 1; i < 10; ++i)
        rows.push_back({"interval " + std::to_string(i) + "-" + std::to_string(i + 1) + ", ms",
                        [i](const Sample &s) { return s.lines[i] - s.lines[i - 1]; }, 2, 1002.0});
    rows.push_back(
        {"tenth line to exit, ms", [](const Sample &s) { return s.end - s.lines[9]; }, 2, {}});
    rows.push_back(
        {"whole run, start to exit, s", [](const Sample &s) { return s.end / 1e3; }, 4, 10.02});
    rows.push_back({"whole run with the sandbox's start, s",
                    [](const Sample &s) { return s.sandboxed / 1e3; },
                    4,
                    {}});
    rows.push_back({"CPU time of a whole run less the sandbox's, ms",
                    [sandbox_cpu](const Sample &s) { return s.cpu_all - sandbox_cpu; },
                    2,
                    {}});
    rows.push_back(
        {"CPU time of the command alone, ms", [](const Sample &s) { return s.cpu_own; }, 2, {}});
    rows.push_back({"peak resident memory, KiB",
                    [](const Sample &s) { return static_cast<double>(s.rss_kib); },
                    0,
                    {}});

    utsname u{};
    uname(&u);
    std::time_t t = std::time(nullptr);
    char date[32];
    (void)std::strftime(date, sizeof date, "%Y-%m-%d", std::gmtime(&t));
    std::cout << "Measured " << date << " on " << u.sysname << " " << u.release << " " << u.machine
              << ", " << sysconf(_SC_NPROCESSORS_ONLN) << " cores ("
              << first_line_of("/proc/cpuinfo", "model name") << "); median of " << runs
              << " runs on the simulated board. Peer: a shell loop running `busybox devmem "
                 "0xFF241000 32` and `sleep 1` ten times.\n\n";
    std::cout << "| figure | battery-voltage | peer | target for battery-voltage | met |\n"
              << "|---|---:|---:|---|---|\n";
    double peer_cpu = 0;
    double tool_cpu = 0;
    for (const auto &row : rows) {
        double mine = median_of(samples["tool"], row.f);
        double theirs = median_of(samples["peer"], row.f);
        std::string target;
        std::string met;
        if (row.limit) {
            target = "at most " + fixed(*row.limit, row.digits > 2 ? 2 : 0);
            met = mine <= *row.limit ? "yes" : "no";
        }
        if (row.figure.rfind("CPU time of a whole run", 0) == 0) {
            tool_cpu = mine;
            peer_cpu = theirs;
            target = "at most a fifth of the peer's (" + fixed(theirs / 5, 2) + ")";
            met = mine <= theirs / 5 ? "yes" : "no";
        }
        std::cout << "| " << row.figure << " | " << fixed(mine, row.digits) << " | "
                  << fixed(theirs, row.digits) << " | " << target << " | " << met << " |\n";
    }
    std::cout << "| host binary, bytes | " << file_size(tool) << " | | | |\n";
    if (!board_binary.empty())
        std::cout << "| stripped static armhf binary, bytes | " << file_size(board_binary)
                  << " | | | |\n";
    std::cout << "\nCPU time of `true` in the same sandbox (subtracted above): "
              << fixed(sandbox_cpu, 2) << " ms. The tool's CPU time is "
              << fixed(peer_cpu > 0 ? tool_cpu / peer_cpu * 100 : 0, 1) << " % of the peer's.\n";
    return 0;
}
