// SPDX-License-Identifier: MIT
// The parts that every case leans on, each on its own, where a fault would otherwise show
// only as a puzzling failure of a case about the tool: the report's parser, the boards'
// option parser, and the runner's deadline, kill and failure paths.

#include "failure.h"
#include "options.h"
#include "process.h"
#include "report.h"
#include "session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using common::Clock;
using namespace std::chrono_literals;

// ---- The report ----

TEST(Report, TakesWholeRecordsOnly) {
    struct Case {
        const char *what;
        std::string text;
        bool ready;
        std::vector<std::int64_t> lines;
        bool stamped;
        std::optional<int> status;
        // Rows that leave it out need it for GCC's -Wmissing-field-initializers.
        std::vector<std::int64_t> lines_waited = {}; // NOLINT(readability-redundant-member-init)
        std::int64_t waited = 0;
    };
    const std::vector<Case> cases{
        {"every kind, whole",
         "ready\nline 5\nline 7\nstamp 1 2 3 4\nstatus 0\n",
         true,
         {5, 7},
         true,
         0},
        {"interleaved kinds",
         "line 5\nready\nstatus 3\nline 7\nstamp 1 2 3 4\n",
         true,
         {5, 7},
         true,
         3},
        {"the last record cut short", "ready\nline 5\nstamp 1 2 3 4", true, {5}, false, {}},
        {"a number cut short", "line 5\nline 12", false, {5}, false, {}},
        {"a stamp with a field missing", "stamp 1 2 3\n", false, {}, false, {}},
        {"a stamp with a field too many", "stamp 1 2 3 4 5\n", false, {}, false, {}},
        {"two records run together", "line 5line 6\nstatus 1status 2\n", false, {}, false, {}},
        {"not numbers", "line x\nstatus 1x\nstamp 1 2 3 x\nline \nline\n", false, {}, false, {}},
        {"a status no shell reports", "status 256\nstatus -1\n", false, {}, false, {}},
        {"ready with more", "ready now\nreadyx\n", false, {}, false, {}},
        {"other kinds and blank lines", "\nhello 1\n\nline 9\n", false, {9}, false, {}},
        {"waited by the lines before it, then by the exit",
         "line 5\nline 7\nwaited 3\nline 9\nwaited 4\nwaited x\nwaited 6\nstamp 1 2 3 4\n",
         false,
         {5, 7, 9},
         true,
         {},
         {3, 3, 4},
         6},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const common::Report r = common::parse_report(c.text);
        EXPECT_EQ(r.ready, c.ready);
        EXPECT_EQ(std::vector<std::int64_t>(r.lines_ns.begin(), r.lines_ns.end()), c.lines);
        EXPECT_EQ(r.stamped, c.stamped);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(std::vector<std::int64_t>(r.lines_waited_ns.begin(), r.lines_waited_ns.end()),
                  c.lines_waited);
        EXPECT_EQ(r.waited_ns, c.waited);
    }
    common::Report written;
    written.started_ns = -1;
    written.ended_ns = 9223372036854775807;
    written.cpu_us = 12;
    written.rss_kib = 34;
    const common::Report read = common::parse_report(common::stamp_record(written));
    EXPECT_TRUE(read.stamped);
    EXPECT_EQ(read.started_ns, written.started_ns);
    EXPECT_EQ(read.ended_ns, written.ended_ns);
    EXPECT_EQ(read.cpu_us, written.cpu_us);
    EXPECT_EQ(read.rss_kib, written.rss_kib);
}

// ---- A failure beside the command ----

TEST(Failure, StopsTheCommandWhenItComesBeforeOrWhileItRuns) {
    common::Failure before;
    before.fail("first");
    before.fail("second");
    int stops = 0;
    {
        common::Failure::Stopping stopping(before, [&stops] { ++stops; });
        EXPECT_EQ(stops, 1) << "a failure that came before the command did not stop it";
    }
    common::Failure during;
    common::Failure::Stopping stopping(during, [&stops] { ++stops; });
    during.fail("now");
    EXPECT_EQ(stops, 2);
    EXPECT_EQ(before.what(), "first");
}

// ---- The options both boards share ----

// Each bad value and each conflict of the boards' options, and the line that names it.
std::vector<std::pair<std::vector<std::string>, std::string>> bad_options() {
    return {
        {{"--volts", "abc"}, "--volts: 'abc' is not a number of volts"},
        {{"--volts="}, "--volts: '' is not a number of volts"},
        {{"--volts", "nan"}, "--volts: 'nan' is not a number of volts"},
        {{"--volts", "inf"}, "--volts: 'inf' is not a number of volts"},
        {{"--volts", " 2"}, "--volts: ' 2' is not a number of volts"},
        {{"--volts", "2V"}, "--volts: '2V' is not a number of volts"},
        {{"--reading", "-1"}, "--reading: '-1' is not a reading from 0 to 4294967295"},
        {{"--reading", "4294967296"},
         "--reading: '4294967296' is not a reading from 0 to 4294967295"},
        {{"--reading", "12x"}, "--reading: '12x' is not a reading from 0 to 4294967295"},
        {{"--reading", " 1"}, "--reading: ' 1' is not a reading from 0 to 4294967295"},
        {{"--reading="}, "--reading: '' is not a reading from 0 to 4294967295"},
        {{"--reading", "0x"}, "--reading: '0x' is not a reading from 0 to 4294967295"},
        {{"--reading", "0x-1"}, "--reading: '0x-1' is not a reading from 0 to 4294967295"},
        {{"--reading", "0x100000000"},
         "--reading: '0x100000000' is not a reading from 0 to 4294967295"},
        {{"--reading", "0b1"}, "--reading: '0b1' is not a reading from 0 to 4294967295"},
        {{"--volts"}, "--volts: needs a value"},
        {{"--reading"}, "--reading: needs a value"},
        {{"--rtl=yes"}, "--rtl: takes no value"},
        {{"--fpga-reset=1"}, "--fpga-reset: takes no value"},
        {{"--help=me"}, "--help: takes no value"},
        {{"--weird"}, "--weird: no such option"},
        {{"-r", "1"}, "-r: no such option"},
        {{"--reading", "1", "--rtl"}, "--reading and --rtl cannot go together"},
        {{"--volts", "2", "--reading", "1"}, "--reading and --volts cannot go together"},
        {{"--fpga-reset", "--rtl", "--reading", "1"},
         "--reading and --fpga-reset cannot go together"},
        {{"--device", "x"}, "--device: 'x' is not one of image, absent, forbidden or unmappable"},
        {{"--converter", "dead"}, "--converter: 'dead' is not one of sdo-low, sdo-high or asleep"},
        {{"--converter"}, "--converter: needs a value"},
        {{"--design", "battery_adc"}, "--design: 'battery_adc' is not one of other or none"},
        {{"--sysfs", "off"}, "--sysfs: 'off' is not one of ready, unconfigured or bridge-disabled"},
        {{"--sysfs="}, "--sysfs: '' is not one of ready, unconfigured or bridge-disabled"},
        {{"--converter", "asleep", "--reading", "1"},
         "--reading and --converter cannot go together"},
        {{"--design", "other", "--reading", "1"},
         "--reading and --design other cannot go together"},
        {{"--design", "none", "--rtl"}, "--rtl and --design none cannot go together"},
        {{"--sysfs", "unconfigured", "--volts", "2"},
         "--volts and --sysfs unconfigured cannot go together"},
        {{"--reading", "1", "--sysfs", "bridge-disabled"},
         "--reading and --sysfs bridge-disabled cannot go together"},
        {{"--sysfs", "bridge-disabled", "--design", "other"},
         "--design other and --sysfs bridge-disabled cannot go together"},
        {{"--design", "none", "--design", "other", "--fpga-reset"},
         "--fpga-reset and --design other cannot go together"},
    };
}

TEST(Options, EveryBadValueAndConflictIsNamed) {
    for (const auto &[args, message] : bad_options()) {
        SCOPED_TRACE(message);
        common::RegisterOptions reg;
        auto device = [](const std::string &value) {
            (void)common::one_of("--device", value, {"image", "absent", "forbidden", "unmappable"});
        };
        try {
            common::parse_options(args, reg, {{"--device", true, device}});
            ADD_FAILURE() << "taken";
        } catch (const common::UsageError &e) {
            EXPECT_EQ(e.what(), message);
        }
    }
}

TEST(Options, GoodValuesAreTakenUpToTheCommand) {
    common::RegisterOptions reg;
    auto command =
        common::parse_options({"--volts=2.5", "--fpga-reset", "--", "--reading", ""}, reg);
    if (!reg.rtl)
        FAIL() << "--volts did not ask for the design";
    EXPECT_EQ(reg.rtl->volts, 2.5);
    EXPECT_TRUE(reg.rtl->fpga_reset);
    EXPECT_EQ(command, (std::vector<std::string>{"--reading", ""}));

    // What agrees: nothing at the window by two options, a sysfs tree beside any register,
    // a converter's fault with the block held in reset; the last of one option counts.
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--design", "none", "--sysfs", "unconfigured"},
             {"--sysfs", "ready", "--reading", "5"},
             {"--design", "other", "--sysfs", "ready"},
             {"--sysfs", "unconfigured", "--sysfs", "ready", "--rtl"},
             {"--converter", "sdo-high", "--fpga-reset"}}) {
        common::RegisterOptions agreed;
        EXPECT_NO_THROW(common::parse_options(args, agreed)) << args[0] << " " << args[1];
    }
    for (const auto &[text, value] :
         std::vector<std::pair<std::string, std::uint32_t>>{{"0", 0},
                                                            {"4294967295", 4294967295},
                                                            {"0x10", 16},
                                                            {"0XfFfFfFfF", 4294967295},
                                                            {"010", 10},
                                                            {"08", 8}}) {
        common::RegisterOptions held;
        command = common::parse_options({"--reading", text, "sh", "--rtl"}, held);
        EXPECT_EQ(held.held, value) << text;
        EXPECT_FALSE(held.rtl);
        EXPECT_EQ(command, (std::vector<std::string>{"sh", "--rtl"}));
    }
}

// ---- The runner ----

bool gone(pid_t pid) {
    auto deadline = Clock::now() + 2s;
    while (kill(pid, 0) == 0 && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    return kill(pid, 0) == -1 && errno == ESRCH;
}

TEST(Runner, KillsARunAtItsDeadlineWholeGroupAndAll) {
    common::Spawn how{common::environment()};
    how.own_group = true;
    common::Process run({"sh", "-c", "sleep 30 & echo $!; wait"}, how);
    auto child = run.next_line();
    if (!child)
        FAIL() << "the command never named its child";
    const pid_t sleeper = std::stoi(child->text);
    auto asked = Clock::now();
    EXPECT_EQ(run.wait(300ms), -1);
    EXPECT_LT(common::seconds(Clock::now() - asked), 10.0); // not the 30 s of the command
    EXPECT_TRUE(gone(run.pid())) << "the command still runs";
    EXPECT_TRUE(gone(sleeper)) << "its group still runs";
}

TEST(Runner, ReportsTheEndOfARunAndWhatItWrote) {
    common::Spawn how{common::environment()};
    how.report = true;
    common::Process run({"sh", "-c", "echo a; echo b >&2; echo stamp 1 2 3 4 >&3; exit 3"}, how);
    EXPECT_EQ(run.wait(10s), 3);
    EXPECT_EQ(run.output(), "a\n");
    EXPECT_EQ(run.errors(), "b\n");
    EXPECT_TRUE(common::parse_report(run.reported()).stamped);
    common::Process killed({"sh", "-c", "kill -TERM $$"}, {common::environment()});
    EXPECT_EQ(killed.wait(10s), 128 + SIGTERM);
}

// Fails, a thousand times in a row: enough for a runner that spins on it to show, and
// then the real one, so that such a runner still ends and the case fails rather than hangs.
int failing_poll(pollfd *fds, nfds_t n, int timeout_ms) {
    static int failures = 0;
    if (++failures > 1000)
        return poll(fds, n, timeout_ms);
    errno = EIO;
    return -1;
}

TEST(Runner, AFailingPollIsAnErrorNotASpin) {
    // With its output piped, the wait polls the pipes first; with none, it polls only for
    // the command's end.
    for (const int out : {common::piped, common::closed}) {
        SCOPED_TRACE(out == common::piped ? "output piped" : "no output");
        common::Spawn how{common::environment()};
        how.poll = failing_poll;
        how.out = how.err = out;
        common::Process run({"sleep", "30"}, how);
        const pid_t pid = run.pid();
        auto asked = Clock::now();
        try {
            run.wait(5s);
            ADD_FAILURE() << "wait() took a failing poll as a run that goes on";
        } catch (const std::system_error &e) {
            EXPECT_EQ(e.code().value(), EIO);
            EXPECT_NE(std::string(e.what()).find("poll"), std::string::npos) << e.what();
        }
        // A runner that spins on the failure, or waits for the deadline, takes 5 s.
        EXPECT_LT(common::seconds(Clock::now() - asked), 4.0);
        EXPECT_EQ(kill(pid, 0), 0) << "killed before its owner went";
    }
}

TEST(Runner, EveryFailureOfTheChildsSetUpIsReported) {
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases{
        {{"/nonexistent/command"}, common::piped, "cannot run /nonexistent/command: No such"},
        {{"true"}, 1000, "cannot run true: standard output: Bad file descriptor"},
    };
    for (const auto &[argv, out, message] : cases) {
        SCOPED_TRACE(message);
        common::Spawn how{common::environment()};
        how.out = out;
        try {
            common::Process run(argv, how);
            ADD_FAILURE() << "started, status " << run.wait();
        } catch (const std::system_error &e) {
            EXPECT_EQ(std::string(e.what()).rfind(message, 0), 0U) << e.what();
        }
    }
}

} // namespace

namespace {

// Each board's own options and conflicts, through its command line: the mistake named in
// one line, then where the usage is, status 2, before anything starts.
TEST(Options, EachBoardNamesItsMistakeAndPointsToHelp) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"simboard", "--volts", "abc"}, "simboard: --volts: 'abc' is not a number of volts"},
        {{"simboard", "--reading", "-1"},
         "simboard: --reading: '-1' is not a reading from 0 to 4294967295"},
        {{"simboard", "--device", "weird"},
         "simboard: --device: 'weird' is not one of image, absent, forbidden or unmappable"},
        {{"simboard", "--device"}, "simboard: --device: needs a value"},
        {{"simboard", "--rtl", "--reading", "5"},
         "simboard: --reading and --rtl cannot go together"},
        {{"emuboard", "--memory", "rom"},
         "emuboard: --memory: 'rom' is not one of window, ram or none"},
        {{"emuboard", "--unprivileged=yes"}, "emuboard: --unprivileged: takes no value"},
        {{"emuboard", "--output-full=1"}, "emuboard: --output-full: takes no value"},
        {{"emuboard", "--volts", "1", "--memory", "ram"},
         "emuboard: --volts and --memory ram cannot go together"},
        {{"emuboard", "--memory", "none", "--fpga-reset"},
         "emuboard: --fpga-reset and --memory none cannot go together"},
        {{"emuboard", "--reading", "7", "--memory", "none"},
         "emuboard: --reading and --memory none cannot go together"},
        {{"emuboard", "--reading", "7", "--volts", "2"},
         "emuboard: --reading and --volts cannot go together"},
        {{"simboard", "--sysfs", "ready", "--design", "elsewhere"},
         "simboard: --design: 'elsewhere' is not one of other or none"},
        {{"simboard", "--converter", "sdo-low", "--sysfs", "unconfigured"},
         "simboard: --converter and --sysfs unconfigured cannot go together"},
        {{"emuboard", "--design", "other", "--memory", "none"},
         "emuboard: --design other and --memory none cannot go together"},
        {{"emuboard", "--memory", "ram", "--sysfs", "unconfigured"},
         "emuboard: --sysfs unconfigured and --memory ram cannot go together"},
        {{"emuboard", "--converter", "asleep", "--memory", "ram"},
         "emuboard: --converter and --memory ram cannot go together"},
        {{"emuboard", "--timeout", "-1"},
         "emuboard: --timeout: '-1' is not a number of seconds from 0 to 31536000"},
    };
    for (const auto &[args, message] : cases) {
        SCOPED_TRACE(message);
        std::vector<std::string> argv = args;
        argv[0] = common::next_to_self(args[0]);
        common::Process run(argv, {common::environment()});
        EXPECT_EQ(run.wait(), 2);
        EXPECT_EQ(run.errors(), message + "\nTry '" + args[0] + " --help' for more information.\n");
        EXPECT_EQ(run.output(), "");
    }
}

// The statuses each board's --help gives, in short: those of README.md's table, in its order.
TEST(Usage, EachBoardGivesTheReadmesExitStatuses) {
    std::ifstream readme(README);
    std::vector<std::string> table;
    bool in_section = false;
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind('#', 0) == 0)
            in_section = line == "### How a board ends";
        else if (in_section && line.rfind("| ", 0) == 0)
            table.push_back(line.substr(2, line.find(" |") - 2));
    }
    ASSERT_GT(table.size(), 2U) << "no table under \"How a board ends\"";
    table.erase(table.begin()); // the heading
    for (const std::string board : {"simboard", "emuboard"}) {
        SCOPED_TRACE(board);
        common::Process help({common::next_to_self(board), "--help"}, {common::environment()});
        EXPECT_EQ(help.wait(), 0);
        const std::string &out = help.output();
        std::istringstream statuses(out.substr(std::min(out.find("Exit status:\n"), out.size())));
        std::vector<std::string> given;
        for (std::string line; std::getline(statuses, line);)
            if (line.rfind("  ", 0) == 0 && line[2] != ' ')
                given.push_back(line.substr(2, line.find("  ", 2) - 2));
        EXPECT_EQ(given, table) << out;
    }
}

} // namespace
