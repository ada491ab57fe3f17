// SPDX-License-Identifier: MIT
// Times battery-voltage on the simulated board against a generic peer, and prints a
// Markdown table of the medians.
//
//   bench [--runs N] TOOL [STRIPPED-BOARD-BINARY]
//
// Each run starts the sandbox with board-stamp inside it as a thin launcher (the same one
// the tests use): it notes the clock, forks and execs the command, waits for it, and reports
// the command's own start, end, CPU time and peak memory.
// Lines are stamped as they arrive here, on the same monotonic clock, so every time below
// is measured from the command's own start, with the sandbox's start left out.

#include "board.h"
#include "cosim.h"
#include "machine.h"
#include "process.h"
#include "report.h"
#include "sandbox.h"

#include <getopt.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

double ms(common::Clock::duration d) {
    return common::seconds(d) * 1e3;
}

struct Sample {
    std::vector<double> lines; // arrival of each line, ms after the command's start
    double end = 0;            // the command's exit, ms after its start
    double waited = 0;         // by then, its time ready but waiting for a processor, ms
    double sandboxed = 0;      // wall time including the sandbox's start, ms
    double cpu_all = 0;        // CPU time of sandbox and command together, ms
    double cpu_own = 0;        // CPU time of the command and what it waited for, ms
    long rss_kib = 0;          // peak resident memory of the command, KiB
    int status = 0;
};

// The launcher's view of a run: the command's own start, exit, CPU time and memory.
void take_report(Sample &s, const common::Report &r, const std::deque<std::int64_t> &lines_ns) {
    if (!r.stamped)
        throw std::runtime_error("no report from the launcher");
    s.end = static_cast<double>(r.ended_ns - r.started_ns) / 1e6;
    s.waited = static_cast<double>(r.waited_ns) / 1e6;
    s.cpu_own = static_cast<double>(r.cpu_us) / 1e3;
    s.rss_kib = r.rss_kib;
    for (std::int64_t at : lines_ns)
        s.lines.push_back(static_cast<double>(at - r.started_ns) / 1e6);
}

Sample run_once(const std::string &launcher, const std::vector<std::string> &command) {
    common::Board board;
    board.set_reading(2730);
    std::vector<std::string> argv{launcher, "3"};
    argv.insert(argv.end(), command.begin(), command.end());
    common::Spawn how{common::environment()};
    how.err = 2;
    how.report = true;
    common::Process run(simboard::sandbox(board, argv), how);
    Sample s;
    s.status = run.wait(std::chrono::minutes(1));
    s.sandboxed = ms(run.ended() - run.started());
    s.cpu_all = static_cast<double>(run.cpu_us()) / 1e3;
    std::deque<std::int64_t> lines_ns;
    for (const auto &line : run.lines())
        lines_ns.push_back(common::nanoseconds(line.at));
    take_report(s, common::parse_report(run.reported()), lines_ns);
    return s;
}

// The same on the emulated board: the guest's launcher stamps the lines on its own clock.
Sample run_on_emuboard(const std::vector<std::string> &command) {
    emuboard::Options options;
    options.command = command;
    emuboard::Machine machine(options);
    machine.board()->set_reading(2730);
    emuboard::Run run = machine.wait();
    Sample s;
    s.status = run.status;
    take_report(s, run.report, run.report.lines_ns);
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
    struct stat st = {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

std::string first_line_of(const std::string &path, const std::string &key) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key, 0) == 0)
            return line.substr(line.find(':') + 2);
    return "?";
}

// The board's binary against the peer inside the same guest, the emulated board's own
// figures: the guest's clock, and the guest kernel's count of CPU time and memory.
int emuboard_table(long runs, const std::string &peer) {
    std::map<std::string, std::vector<Sample>> samples;
    try {
        for (long r = 0; r < runs; ++r) {
            std::cerr << "run " << r + 1 << " of " << runs << " on the emulated board\n";
            samples["tool"].push_back(run_on_emuboard({}));
            samples["peer"].push_back(run_on_emuboard({"sh", "-c", peer}));
        }
    } catch (const std::exception &e) {
        std::cerr << "bench: " << e.what() << "\n";
        return 1;
    }
    auto figure = [&](const char *who, const std::function<double(const Sample &)> &f) {
        return median_of(samples[who], f);
    };
    auto first = [](const Sample &s) { return s.lines.empty() ? -1 : s.lines[0]; };
    auto whole = [](const Sample &s) { return s.end / 1e3; };
    auto cpu = [](const Sample &s) { return s.cpu_own; };
    auto rss = [](const Sample &s) { return static_cast<double>(s.rss_kib); };
    std::cout << "Median of " << runs << " runs on the emulated board ("
              << emuboard::kernel_package()
              << " under qemu-system-arm, Cortex-A15, one CPU), each run a boot of its own. "
                 "Peer: the same shell loop, BusyBox's `sh`, `devmem` and `sleep`, in the same "
                 "guest.\n\n"
              << "| figure | battery-voltage | peer | target for battery-voltage | met |\n"
              << "|---|---:|---:|---|---|\n"
              << "| first line, ms after start | " << fixed(figure("tool", first), 2) << " | "
              << fixed(figure("peer", first), 2) << " | | |\n"
              << "| whole run, start to exit, s | " << fixed(figure("tool", whole), 4) << " | "
              << fixed(figure("peer", whole), 4) << " | | |\n";
    double mine = figure("tool", cpu);
    double theirs = figure("peer", cpu);
    std::cout << "| CPU time of the command, ms | " << fixed(mine, 2) << " | " << fixed(theirs, 2)
              << " | at most a fifth of the peer's (" << fixed(theirs / 5, 2) << ") | "
              << (mine <= theirs / 5 ? "yes" : "no") << " |\n";
    mine = figure("tool", rss);
    theirs = figure("peer", rss);
    std::cout << "| peak resident memory, KiB | " << fixed(mine, 0) << " | " << fixed(theirs, 0)
              << " | no more than the peer's | " << (mine <= theirs ? "yes" : "no") << " |\n";
    for (const char *who : {"tool", "peer"})
        for (const auto &sample : samples[who])
            if (sample.status != 0 || sample.lines.size() != 10)
                std::cerr << "bench: a " << who << " run on the emulated board ended with status "
                          << sample.status << " after " << sample.lines.size() << " lines\n";
    return 0;
}

// Seconds from the line "go", which `script` writes first on the emulated board, to the
// arrival here of its `bytes`-th byte of output, passed on by the emuboard command.
double relayed_in(const std::string &script, std::size_t bytes) {
    common::Process run({common::next_to_self("emuboard"), "--", "sh", "-c", "echo go; " + script},
                        common::Spawn{common::environment()});
    std::optional<common::Clock::time_point> go;
    std::optional<common::Clock::time_point> end;
    const auto deadline = common::Clock::now() + std::chrono::minutes(5);
    while (run.pump(deadline)) {
        const auto now = common::Clock::now();
        if (!go && run.output().size() >= 3)
            go = now;
        if (!end && run.output().size() >= bytes + 3)
            end = now;
    }
    const int status = run.wait(std::chrono::minutes(1));
    if (status != 0 || !go || !end || run.output().size() != bytes + 3)
        throw std::runtime_error("emuboard ended with status " + std::to_string(status) +
                                 " after " + std::to_string(run.output().size()) +
                                 " bytes: " + run.errors());
    return common::seconds(*end - *go);
}

// How fast the emulated board passes a command's output on: 20 MB of lines written by the
// guest to /dev/null, then to its standard output and through the relay to a pipe here.
int relay_table(long runs) {
    const std::string lines = "yes 'Battery voltage is: 4095' | head -c 20000000";
    std::vector<double> to_null;
    std::vector<double> relayed;
    try {
        for (long r = 0; r < runs; ++r) {
            std::cerr << "run " << r + 1 << " of " << runs << " of the relay\n";
            to_null.push_back(relayed_in(lines + " >/dev/null; echo done", 5));
            relayed.push_back(relayed_in(lines, 20000000));
        }
    } catch (const std::exception &e) {
        std::cerr << "bench: " << e.what() << "\n";
        return 1;
    }
    const double ratio = median(relayed) / median(to_null);
    std::cout << "| 20 MB of lines from the emulated board, s from the command's first line | "
                 "median of "
              << runs << " |\n|---|---:|\n| written to /dev/null in the guest | "
              << fixed(median(to_null), 2) << " |\n| through the relay to a pipe here | "
              << fixed(median(relayed), 2) << " |\n| ratio (target: at most 2) | "
              << fixed(ratio, 2) << (ratio <= 2 ? " (met)" : " (not met)") << " |\n";
    return 0;
}

// The CPU time this process has used, in seconds: while the benchmark's own thread sleeps,
// the co-simulation's.
double cpu_seconds() {
    rusage used{};
    getrusage(RUSAGE_SELF, &used);
    return static_cast<double>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
           (static_cast<double>(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6);
}

// How fast the FPGA design runs behind the register as it serves all sixteen words: paced
// as the boards run it, a burst a millisecond (the design with no wait for the converter's
// reference, and the one with the wait, configured as a command would start), and flat out.
int rtl_table() {
    std::cout << "| co-simulation | clock cycles per wall-clock second | battery conversions per "
                 "second | simulated time per wall-clock second | CPU time a burst "
                 "|\n|---|---:|---:|---:|---:|\n";
    common::RtlOptions asleep;
    asleep.converter = common::Converter::asleep;
    const std::vector<std::tuple<std::string, common::RtlOptions, bool>> rows{
        {"as the boards run it, 1024 clocks a ms", {}, false},
        {"the same, with the wait for the reference (--converter asleep)", asleep, false},
        {"flat out", {}, true}};
    for (const auto &[label, settings, flat_out] : rows) {
        common::Board board;
        common::Failure failure;
        rtl::Cosim cosim(board, settings, failure);
        cosim.command_starts();
        if (flat_out)
            cosim.flat_out();
        std::this_thread::sleep_for(std::chrono::seconds(1)); // past the start
        // The block's clocks, the battery's conversions and the CPU time so far, and when.
        auto sample = [&cosim] {
            return std::tuple{common::Clock::now(), cosim.clocks(), cosim.battery_conversions(),
                              cpu_seconds()};
        };
        auto [from, clocks_from, conversions_from, cpu_from] = sample();
        std::this_thread::sleep_for(std::chrono::seconds(4));
        auto [to, clocks_to, conversions_to, cpu_to] = sample();
        double s = common::seconds(to - from);
        double rate = static_cast<double>(clocks_to - clocks_from) / s;
        double bursts = static_cast<double>(clocks_to - clocks_from) /
                        (rtl::burst_clocks + common::block_words);
        std::cout << "| " << label << " | " << fixed(rate, 0) << " | "
                  << fixed(static_cast<double>(conversions_to - conversions_from) / s, 0) << " | "
                  << fixed(rate / 50e6 * 1e3, 2) << " ms | "
                  << fixed((cpu_to - cpu_from) * 1e6 / bursts, 0) << " µs |\n";
        if (!cosim.breaches().empty())
            std::cerr << "bench: the converter saw: " << cosim.breaches() << "\n";
        if (auto what = failure.what()) {
            std::cerr << "bench: " << *what << "\n";
            return 1;
        }
    }
    return 0;
}

// The peer: a shell loop around BusyBox's generic physical-memory peek.
constexpr const char *peer_loop =
    "i=0; while [ $i -lt 10 ]; do"
    " echo \"Battery voltage is: $(($(busybox devmem 0xFF241000 32)))\";"
    " sleep 1; i=$((i + 1)); done";

using Samples = std::map<std::string, std::vector<Sample>>;

// `runs` runs each of `true`, the tool and the peer on the simulated board; throws if one
// fails or ends without its ten lines.
Samples measure_on_simboard(long runs, const std::string &tool) {
    const std::string launcher = common::next_to_self("board-stamp");
    Samples samples;
    for (long r = 0; r < runs; ++r) {
        std::cerr << "run " << r + 1 << " of " << runs << "\n";
        samples["true"].push_back(run_once(launcher, {"true"}));
        samples["tool"].push_back(run_once(launcher, {tool}));
        samples["peer"].push_back(run_once(launcher, {"sh", "-c", peer_loop}));
    }
    for (const char *who : {"tool", "peer"})
        for (const auto &s : samples[who])
            if (s.status != 0 || s.lines.size() != 10)
                throw std::runtime_error(std::string("a ") + who + " run ended with status " +
                                         std::to_string(s.status) + " after " +
                                         std::to_string(s.lines.size()) + " lines");
    return samples;
}

// A row of the simulated board's table: its figure, how a run gives it, and the tool's
// target, if any.
struct Row {
    enum class Target : std::uint8_t { none, at_most, fifth_of_peer };
    std::string figure;
    std::function<double(const Sample &)> f;
    int digits = 2;
    Target target = Target::none;
    double limit = 0; // for at_most
};

std::vector<Row> simboard_rows(double sandbox_cpu) {
    using Target = Row::Target;
    std::vector<Row> rows{{"first line, ms after start", [](const Sample &s) { return s.lines[0]; },
                           2, Target::at_most, 5.0}};
    for (std::size_t i = 1; i < 10; ++i)
        rows.push_back({"interval " + std::to_string(i) + "-" + std::to_string(i + 1) + ", ms",
                        [i](const Sample &s) { return s.lines[i] - s.lines[i - 1]; }, 2,
                        Target::at_most, 1002.0});
    rows.push_back({"tenth line to exit, ms", [](const Sample &s) { return s.end - s.lines[9]; }});
    rows.push_back({"whole run, start to exit, s", [](const Sample &s) { return s.end / 1e3; }, 4,
                    Target::at_most, 10.02});
    rows.push_back({"whole run with the sandbox's start, s",
                    [](const Sample &s) { return s.sandboxed / 1e3; }, 4});
    rows.push_back({"CPU time of a whole run less the sandbox's, ms",
                    [sandbox_cpu](const Sample &s) { return s.cpu_all - sandbox_cpu; }, 2,
                    Target::fifth_of_peer});
    rows.push_back(
        {"CPU time of the command alone, ms", [](const Sample &s) { return s.cpu_own; }});
    rows.push_back({"peak resident memory, KiB",
                    [](const Sample &s) { return static_cast<double>(s.rss_kib); }, 0});
    return rows;
}

// The tool on the simulated board against the peer, in the same sandbox.
int simboard_table(long runs, const std::string &tool, const std::string &board_binary) {
    Samples samples;
    try {
        samples = measure_on_simboard(runs, tool);
    } catch (const std::exception &e) {
        std::cerr << "bench: " << e.what() << "\n";
        return 1;
    }
    double sandbox_cpu = median_of(samples["true"], [](const Sample &s) { return s.cpu_all; });
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
    for (const auto &row : simboard_rows(sandbox_cpu)) {
        double mine = median_of(samples["tool"], row.f);
        double theirs = median_of(samples["peer"], row.f);
        std::string target;
        std::string met;
        if (row.target == Row::Target::at_most) {
            target = "at most " + fixed(row.limit, row.digits > 2 ? 2 : 0);
            met = mine <= row.limit ? "yes" : "no";
        }
        if (row.target == Row::Target::fifth_of_peer) {
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

// battery-adc-status once on the simulated board, under the launcher: with the FPGA design
// behind the register (a healthy block), or `device` instead of the memory.
Sample status_on_simboard(const std::vector<std::string> &command, simboard::Device device) {
    common::Board board;
    common::Failure failure;
    const rtl::Cosim cosim(board, {}, failure);
    std::vector<std::string> argv{common::next_to_self("board-stamp"), "3"};
    argv.insert(argv.end(), command.begin(), command.end());
    common::Spawn how{common::environment()};
    how.report = true;
    common::Process run(simboard::sandbox(board, argv, device), how);
    Sample s;
    s.status = run.wait(std::chrono::minutes(1));
    take_report(s, common::parse_report(run.reported()), {});
    return s;
}

// The same in the emulated board's guest, its own build by name: a boot a run.
Sample status_on_emuboard(bool unprivileged) {
    emuboard::Options options;
    options.command = {"battery-adc-status"};
    options.unprivileged = unprivileged;
    emuboard::Machine machine(options);
    common::Failure failure;
    const rtl::Cosim cosim(*machine.board(), {}, failure);
    const emuboard::Run run = machine.wait();
    Sample s;
    s.status = run.status;
    take_report(s, run.report, {});
    return s;
}

// How soon battery-adc-status answers, from its own start: a healthy block, over its default
// interval of 100 ms, and /dev/mem refused, at once; this machine's build, the board's under
// qemu-arm, and the board's in the emulated board.
int status_table(long runs, const std::string &program, const std::string &board_binary) {
    const std::vector<std::string> columns{"this machine's build", "the board's under qemu-arm",
                                           "the board's in the emulated board"};
    std::map<std::string, std::vector<Sample>> healthy;
    std::map<std::string, std::vector<Sample>> refused;
    try {
        for (long r = 0; r < runs; ++r) {
            std::cerr << "run " << r + 1 << " of " << runs << " of battery-adc-status\n";
            for (const std::vector<std::string> &command :
                 {std::vector<std::string>{program},
                  {"qemu-arm", "-cpu", "cortex-a9", board_binary}}) {
                const std::string &column = columns[command.size() == 1 ? 0 : 1];
                healthy[column].push_back(status_on_simboard(command, simboard::Device::image));
                refused[column].push_back(status_on_simboard(command, simboard::Device::absent));
            }
            healthy[columns[2]].push_back(status_on_emuboard(false));
            refused[columns[2]].push_back(status_on_emuboard(true));
        }
    } catch (const std::exception &e) {
        std::cerr << "bench: " << e.what() << "\n";
        return 1;
    }
    const std::vector<std::tuple<std::string, std::map<std::string, std::vector<Sample>> *,
                                 std::function<double(const Sample &)>>>
        rows{{"healthy block (0), start to exit, ms", &healthy,
              [](const Sample &s) { return s.end; }},
             {"the same, less the 100 ms interval and its wait for a processor (target: at "
              "most 50), ms",
              &healthy, [](const Sample &s) { return s.end - 100 - s.waited; }},
             {"no /dev/mem (4), start to exit less its wait for a processor (target: at most "
              "50), ms",
              &refused, [](const Sample &s) { return s.end - s.waited; }},
             {"CPU time of a healthy run, ms", &healthy, [](const Sample &s) { return s.cpu_own; }},
             {"peak resident memory, KiB", &healthy,
              [](const Sample &s) { return static_cast<double>(s.rss_kib); }}};
    std::cout << "| battery-adc-status, median of " << runs << " runs";
    for (const auto &column : columns)
        std::cout << " | " << column;
    std::cout << " |\n|---|---:|---:|---:|\n";
    for (const auto &[figure, samples, f] : rows) {
        std::cout << "| " << figure;
        for (const auto &column : columns)
            std::cout << " | " << fixed(median_of((*samples)[column], f), 2);
        std::cout << " |\n";
    }
    for (const auto &[expected, samples] : {std::pair{0, &healthy}, {4, &refused}})
        for (const auto &[column, runs_of] : *samples)
            for (const auto &sample : runs_of)
                if (sample.status != expected)
                    std::cerr << "bench: a run of " << column << " ended with status "
                              << sample.status << ", not " << expected << "\n";
    return 0;
}

int usage(std::ostream &out) {
    out << "usage: bench [--runs N] TOOL [STRIPPED-BOARD-BINARY]\n"
           "       bench [--runs N] --emuboard\n"
           "       bench --rtl\n"
           "       bench [--runs N] --relay\n"
           "       bench [--runs N] --status PROGRAM BOARD-BINARY\n"
           "Prints a Markdown table of medians over N runs (default 3): TOOL against a\n"
           "generic peer on the simulated board, the board's binary against the peer on\n"
           "the emulated board (--emuboard), or how fast the FPGA design's co-simulation\n"
           "runs (--rtl), or how fast the emulated board passes 20 MB of output on\n"
           "(--relay), or how soon battery-adc-status answers (--status).\n";
    return &out == &std::cout ? 0 : 2;
}

} // namespace

int main(int argc, char **argv) {
    long runs = 3;
    bool on_emuboard = false;
    bool relay = false;
    bool status = false;
    const option options[] = {{"runs", required_argument, nullptr, 'r'},
                              {"emuboard", no_argument, nullptr, 'e'},
                              {"rtl", no_argument, nullptr, 'R'},
                              {"relay", no_argument, nullptr, 'l'},
                              {"help", no_argument, nullptr, 'h'},
                              {"status", no_argument, nullptr, 's'},
                              {}};
    for (int c = 0; (c = getopt_long(argc, argv, "+", options, nullptr)) != -1;) {
        if (c == 'r') {
            char *end = nullptr;
            runs = std::strtol(optarg, &end, 10);
            if (runs < 1 || *end) {
                std::cerr << "bench: --runs: '" << optarg << "' is not a number of runs\n";
                return usage(std::cerr);
            }
        }
        if (c == 'e')
            on_emuboard = true;
        else if (c == 'l')
            relay = true;
        else if (c == 's')
            status = true;
        else if (c == 'R')
            return rtl_table();
        else if (c == 'h')
            return usage(std::cout);
        else if (c != 'r')
            return usage(std::cerr);
    }
    if (status && !relay && !on_emuboard && optind + 2 == argc)
        return status_table(runs, argv[optind], argv[optind + 1]);
    if (status)
        return usage(std::cerr);
    if (relay && !on_emuboard && optind == argc)
        return relay_table(runs);
    if (relay)
        return usage(std::cerr);
    if (on_emuboard && optind == argc)
        return emuboard_table(runs, peer_loop);
    if (on_emuboard || optind >= argc)
        return usage(std::cerr);
    return simboard_table(runs, argv[optind], optind + 1 < argc ? argv[optind + 1] : "");
}
