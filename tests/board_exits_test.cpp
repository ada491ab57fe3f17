// SPDX-License-Identifier: MIT
// Every way a board can end, on both boards, through their command lines: each documented
// exit status, a closed standard output, signals to the board (mid-run, and before its
// command exists) and a kill -9; after each, no process of the board and no file of it left.

#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using common::Clock;
using common::Process;
using namespace std::chrono_literals;

// The processes below `pid`, deepest last.
std::vector<pid_t> descendants(pid_t pid) {
    std::vector<pid_t> all;
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                           "/children");
    for (pid_t child = 0; children >> child;) {
        all.push_back(child);
        for (pid_t below : descendants(child))
            all.push_back(below);
    }
    return all;
}

bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const auto state = text.rfind(')');
    return state != std::string::npos && text.size() > state + 2 && text[state + 2] != 'Z';
}

// Whether every one of `pids` is gone within `limit`.
bool all_gone(const std::vector<pid_t> &pids, Clock::duration limit = 5s) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline && std::any_of(pids.begin(), pids.end(), alive))
        std::this_thread::sleep_for(20ms);
    return std::none_of(pids.begin(), pids.end(), alive);
}

// The caller's TMPDIR, else /tmp: each case's own folder is made there.
std::string temporary_base() {
    const char *tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

// A folder of the case's own, which the boards it starts take as their TMPDIR; after the
// case, nothing of theirs may be left in it.
class CaseFolder {
  public:
    CaseFolder(const CaseFolder &) = delete;
    CaseFolder &operator=(const CaseFolder &) = delete;

  protected:
    CaseFolder() {
        std::string pattern = temporary_base() + "/board-exits.XXXXXX";
        if (mkdtemp(pattern.data()))
            tmp_ = pattern;
    }
    ~CaseFolder() {
        EXPECT_EQ(leftovers(), "") << "files of the board left behind";
        std::error_code ignored;
        std::filesystem::remove_all(tmp_, ignored);
    }

    // `board` with `args`, its TMPDIR the case's folder in place of the caller's; `before`
    // in front.
    [[nodiscard]] Process start_board(const std::string &board,
                                      const std::vector<std::string> &args, common::Spawn how,
                                      const std::vector<std::string> &before) const {
        std::vector<std::string> argv = before;
        argv.push_back(common::next_to_self(board));
        argv.insert(argv.end(), args.begin(), args.end());
        how.env.clear();
        for (const auto &e : common::environment())
            if (e.rfind("TMPDIR=", 0) != 0)
                how.env.push_back(e);
        how.env.push_back("TMPDIR=" + tmp_);
        return {argv, how};
    }

    [[nodiscard]] std::string leftovers() const {
        std::string names;
        std::error_code ignored;
        for (const auto &entry : std::filesystem::directory_iterator(tmp_, ignored))
            names += entry.path().filename().string() + " ";
        return names;
    }

    std::string tmp_;
};

// The parameter is the board: simboard or emuboard.
class BoardExits : public CaseFolder, public testing::TestWithParam<std::string> {
  protected:
    // The board with `args`; `before` in front.
    [[nodiscard]] Process start(const std::vector<std::string> &args, common::Spawn how = {},
                                const std::vector<std::string> &before = {}) const {
        return start_board(GetParam(), args, std::move(how), before);
    }

    // A command that says when it runs, then runs for 30 s in the one process.
    static std::vector<std::string> long_command() {
        return {"--", "sh", "-c", "echo up; exec sleep 30"};
    }

    // The next board, which must remove what a killed one left. The emulated board's is one
    // that stops as soon as it has made its folders, for want of its kernel.
    void next_board_sweeps() const {
        const bool emulated = GetParam() == "emuboard";
        Process next =
            start({"--reading", "3", "--", "true"}, {},
                  emulated ? std::vector<std::string>{"env", "EMUBOARD_CACHE=/nonexistent"}
                           : std::vector<std::string>{});
        EXPECT_EQ(next.wait(30s), emulated ? 125 : 0) << next.errors();
        EXPECT_EQ(leftovers(), "") << "not swept by the next board";
    }
};

constexpr auto boot = 120s; // a boot of the emulated board, on a loaded machine

TEST_P(BoardExits, AClosedStandardOutputIsTheToolsStatusOne) {
    common::Spawn how;
    how.out = common::closed;
    Process run = start({"--reading", "3"}, how);
    EXPECT_EQ(run.wait(boot), 1) << run.errors();
}

TEST_P(BoardExits, ATermMidRunEndsTheCommandWithTheBoard) {
    Process run = start(long_command());
    ASSERT_TRUE(run.next_line(boot)) << run.errors();
    const std::vector<pid_t> below = descendants(run.pid());
    ASSERT_FALSE(below.empty());
    kill(run.pid(), SIGTERM);
    EXPECT_EQ(run.wait(10s), 128 + SIGTERM) << run.errors();
    EXPECT_TRUE(all_gone(below)) << "the command outlived the board";
}

// The system call that `pid` is in, as /proc shows it: -1 if it runs, or has gone.
long in_syscall(pid_t pid) {
    std::ifstream syscall("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    if (!(syscall >> number))
        return -1;
    return number;
}

// strace in front of a board, holding each call of `call` that the board makes (and with
// `follow`, each its processes make) for `seconds` before it is made.
std::vector<std::string> held_at(const std::string &call, int seconds, bool follow = false) {
    std::vector<std::string> strace{
        "strace", "-qq",
        "-o",     "/dev/null",
        "-e",     "trace=" + call,
        "-e",     "inject=" + call + ":delay_enter=" + std::to_string(seconds) + "000000"};
    if (follow)
        strace.insert(strace.begin() + 1, "-f");
    return strace;
}

// The first process below `run` (strace) found in system call `number`; 0 if none comes
// within 30 s.
pid_t held_in(const Process &run, long number) {
    const auto deadline = Clock::now() + 30s;
    while (Clock::now() < deadline) {
        for (pid_t pid : descendants(run.pid()))
            if (in_syscall(pid) == number)
                return pid;
        std::this_thread::sleep_for(5ms);
    }
    return 0;
}

// The board stopped at one step of its start, where strace holds the call that begins it
// for 2 s, and signalled there: it ends with 128 + the signal, and before it returns nothing
// of it is left running; the command never ran, and the next board removes its files.
TEST_P(BoardExits, ASignalAtEachStepOfItsStartEndsAllOfIt) {
    struct Step {
        const char *what;
        std::string call; // the call that strace holds
        long number;      // ... as /proc shows it
        bool follow;      // made by the board's child, not by the board
        int sig;
        bool simboard_only;
    };
    const std::vector<Step> steps{
        {"the start of its child or a thread", "clone3", SYS_clone3, false, SIGTERM, false},
        {"between making its folder and locking it", "flock", SYS_flock, false, SIGKILL, false},
        {"before its child is set to die with it", "prctl", SYS_prctl, true, SIGKILL, false},
        {"while bubblewrap sets the sandbox up", "pivot_root", SYS_pivot_root, true, SIGTERM, true},
        {"while bubblewrap sets the sandbox up", "pivot_root", SYS_pivot_root, true, SIGKILL, true},
    };
    std::vector<std::string> args{"--reading", "3"};
    for (const auto &word : long_command())
        args.push_back(word);
    for (const auto &step : steps) {
        if (step.simboard_only && GetParam() != "simboard")
            continue;
        SCOPED_TRACE(std::string(step.what) + ", " + strsignal(step.sig));
        common::Spawn how;
        how.own_group = true; // whatever outlives a board that fails the case dies with it
        Process run = start(args, how, held_at(step.call, 2, step.follow));
        ASSERT_NE(held_in(run, step.number), 0) << "the board never came to " << step.call;
        const std::vector<pid_t> below = descendants(run.pid());
        kill(below.front(), step.sig); // the board, strace's child
        // The holds, and no more: a child that ran on would boot, or run its command.
        EXPECT_TRUE(all_gone(below, 15s)) << "a process of the board outlived it";
        EXPECT_EQ(run.wait(boot), 128 + step.sig) << run.errors();
        EXPECT_EQ(run.output(), "") << "the command ran";
        EXPECT_EQ(run.errors().find("bwrap"), std::string::npos) << run.errors();
        kill(-run.pid(), SIGKILL);
        next_board_sweeps();
    }
}

// The board signalled at each millisecond of its first twelve, INT, QUIT, HUP and TERM in
// turn, alone and with its whole process group as a terminal's Ctrl-C sends them; and killed
// with SIGKILL at each of its first eight: it ends with 128 + the signal, and nothing of it
// is left to hold or write its output or errors. Signalled, it leaves no file; killed, the
// next board removes its files.
TEST_P(BoardExits, ASignalInItsFirstMillisecondsEndsAllOfIt) {
    struct Shot {
        int ms, sig;
        bool group;
    };
    std::vector<Shot> shots;
    const int signals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};
    for (int ms = 1; ms <= 12; ++ms)
        shots.insert(shots.end(),
                     {{ms, signals[ms % 4], false}, {ms, signals[(ms + 1) % 4], true}});
    for (int ms = 0; ms < 8; ++ms) // last, since these leave files for the next board
        shots.push_back({ms, SIGKILL, false});
    for (const auto &shot : shots) {
        SCOPED_TRACE(std::to_string(shot.ms) + " ms, " + strsignal(shot.sig) +
                     (shot.group ? " to the group" : ""));
        common::Spawn how;
        how.own_group = true; // the group's signal stays in it
        Process run = start({"--reading", "3", "--", "sh", "-c", "while :; do echo up; done"}, how);
        std::this_thread::sleep_until(run.started() + std::chrono::milliseconds(shot.ms));
        kill(shot.group ? -run.pid() : run.pid(), shot.sig);
        // The wait lasts until the output and errors end, or 10 s.
        EXPECT_EQ(run.wait(10s), 128 + shot.sig) << run.errors();
        EXPECT_FALSE(run.pump(Clock::now())) << "a process of the board outlived it";
        EXPECT_EQ(run.errors().find("bwrap"), std::string::npos) << run.errors();
        if (shot.sig != SIGKILL) {
            EXPECT_EQ(leftovers(), "");
        }
        kill(-run.pid(), SIGKILL); // whatever outlived a board that failed the case
    }
    next_board_sweeps();
}

// INT and QUIT given ignored, as a shell starts a job in the background, stay ignored from
// the board's first moment on, so that one is never taken or lost by its timing alone; TERM
// still ends it.
TEST_P(BoardExits, ASignalGivenIgnoredStaysIgnored) {
    Process run = start(long_command(), {}, {"sh", "-c", "trap '' INT QUIT; exec \"$@\"", "sh"});
    // (A literal here stops cppcheck 2.10, which takes it for a number it cannot read.)
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (std::string comm; comm != GetParam().substr(0, 15) && Clock::now() < deadline;) {
        std::ifstream name("/proc/" + std::to_string(run.pid()) + "/comm");
        std::getline(name, comm);
    }
    kill(run.pid(), SIGINT);
    kill(run.pid(), SIGQUIT);
    std::this_thread::sleep_for(300ms);
    pollfd ended{run.pidfd(), POLLIN, 0};
    EXPECT_EQ(poll(&ended, 1, 0), 0) << "the board took a signal it was given ignored";
    kill(run.pid(), SIGTERM);
    EXPECT_EQ(run.wait(boot), 128 + SIGTERM) << run.errors();
}

TEST_P(BoardExits, AKillOfTheBoardTakesItsCommandWithItAndTheNextRunSweeps) {
    Process run = start(long_command());
    ASSERT_TRUE(run.next_line(boot)) << run.errors();
    const std::vector<pid_t> below = descendants(run.pid());
    ASSERT_FALSE(below.empty());
    run.kill();
    EXPECT_EQ(run.wait(10s), 128 + SIGKILL);
    EXPECT_TRUE(all_gone(below)) << "the command outlived the board";
    EXPECT_NE(leftovers(), "") << "nothing to sweep: the case proves nothing";
    next_board_sweeps();
}

TEST_P(BoardExits, ACommandNotFoundOrNotExecutableIsSaidAsAShellSaysIt) {
    for (const auto &[command, status, says] :
         std::vector<std::tuple<std::string, int, std::string>>{
             {"nosuch-command", 127, "nosuch-command: command not found\n"},
             {"/etc/passwd", 126, "/etc/passwd: Permission denied\n"},
             {"/etc", 126, "/etc: Permission denied\n"}}) {
        SCOPED_TRACE(command);
        Process run = start({"--", command});
        EXPECT_EQ(run.wait(boot), status);
        // One line, the last, as a shell says it (the emulated board's launcher says it).
        const std::string &err = run.errors();
        const std::string last = err.substr(err.rfind('\n', err.size() - 2) + 1);
        EXPECT_EQ(last.substr(last.find(": ") + 2), says) << err;
        EXPECT_EQ(run.output(), "");
    }
}

TEST_P(BoardExits, ABoardThatCannotRunIs125) {
    // No folder for the board's files.
    Process nowhere = start({"--reading", "3"}, {}, {"env", "TMPDIR=/nonexistent/folder"});
    EXPECT_EQ(nowhere.wait(boot), 125);
    EXPECT_NE(nowhere.errors().find("/nonexistent/folder"), std::string::npos) << nowhere.errors();
    EXPECT_EQ(nowhere.output(), "");
}

INSTANTIATE_TEST_SUITE_P(Board, BoardExits, testing::Values("simboard", "emuboard"),
                         [](const auto &board) { return board.param; });

class BoardExitsOwn : public CaseFolder, public testing::Test {};

// The register's side failing while the command runs: the command is stopped, 124.
TEST_F(BoardExitsOwn, TheBatteryFailingStopsTheCommandOnTheSimulatedBoard) {
    // A board whose files sit on a full tmpfs (in a mount namespace of its own, over the
    // case's folder), the register's page punched out of the image: the battery's next write
    // finds no room.
    const std::string script =
        "mount -t tmpfs -o size=64k tmpfs \"$1\" && TMPDIR=\"$1\" exec \"$2\" -- sh -c "
        "'fallocate -p -o 4280553472 -l 4096 /dev/mem && cat /dev/zero > \"$TMPDIR/fill\"; "
        "exec sleep 30'";
    // Root needs no user namespace for it, and cannot make one inside a chroot.
    Process run({"unshare", geteuid() == 0 ? "-m" : "-rm", "sh", "-c", script, "sh", tmp_,
                 common::next_to_self("simboard")},
                {common::environment()});
    const auto asked = Clock::now();
    EXPECT_EQ(run.wait(20s), 124) << run.errors();
    EXPECT_LT(common::seconds(Clock::now() - asked), 5.0) << "the command was not stopped";
    EXPECT_NE(run.errors().find("simboard: the battery: "), std::string::npos) << run.errors();
}

TEST_F(BoardExitsOwn, TheRelayFailingStopsTheCommandOnTheEmulatedBoard) {
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    common::Spawn how;
    how.out = full;
    Process run = start_board("emuboard", {"--", "sh", "-c", "echo up; exec sleep 150"}, how, {});
    close(full);
    const auto asked = Clock::now();
    EXPECT_EQ(run.wait(boot), 124) << run.errors();
    // A boot and the relay's first line, not the command's 150 s.
    EXPECT_LT(common::seconds(Clock::now() - asked), 90.0) << "the command was not stopped";
    EXPECT_NE(run.errors().find("cannot pass the command's output on"), std::string::npos)
        << run.errors();
}

// A user who is not root: simboard makes the sandbox a user namespace of its own (here,
// uid 65534 in one), and it runs and ends as root's does.
TEST_F(BoardExitsOwn, AnOrdinaryUsersSimulatedBoardRunsAndEnds) {
    const std::vector<std::string> user{"unshare", "--user", "--map-user=65534",
                                        "--map-group=65534"};
    Process run = start_board(
        "simboard", {"--reading", "4095", "--", "sh", "-c", "battery-voltage | head -n 1; id -u"},
        {}, user);
    EXPECT_EQ(run.wait(30s), 0) << run.errors();
    EXPECT_EQ(run.output(), "Battery voltage is: 4095\n65534\n");
    Process held = start_board("simboard", {"--", "sh", "-c", "echo up; exec sleep 30"}, {}, user);
    ASSERT_TRUE(held.next_line(30s)) << held.errors();
    const std::vector<pid_t> below = descendants(held.pid());
    kill(held.pid(), SIGTERM);
    EXPECT_EQ(held.wait(10s), 128 + SIGTERM) << held.errors();
    EXPECT_TRUE(all_gone(below)) << "the command outlived the board";
}

// A board that does not end within --timeout is stopped, and says so in its words, with
// what its console showed; its files go.
TEST_F(BoardExitsOwn, TheEmulatedBoardsTimeoutIsSaid) {
    Process run = start_board("emuboard", {"--timeout", "1", "--", "true"}, {}, {});
    EXPECT_EQ(run.wait(boot), 125);
    const std::string &err = run.errors();
    EXPECT_NE(err.find("\nemuboard: the board did not power off within 1 s (see emuboard "
                       "--timeout)\n"),
              std::string::npos)
        << err;
    EXPECT_TRUE(err.find("\nThe kernel printed nothing.\n") != std::string::npos ||
                err.find("\nThe last lines of the kernel's console:\n") != std::string::npos)
        << err;
    EXPECT_EQ(run.output(), "");
}

// A board's files kept for a look (EMUBOARD_KEEP) stay through the next board's sweep.
TEST_F(BoardExitsOwn, AKeptFolderIsNotSwept) {
    // Boards that stop once they have made their folders, for want of their kernel.
    const std::vector<std::string> no_kernel{"env", "EMUBOARD_CACHE=/nonexistent"};
    std::vector<std::string> kept = no_kernel;
    kept.emplace_back("EMUBOARD_KEEP=1");
    Process keeping = start_board("emuboard", {}, {}, kept);
    EXPECT_EQ(keeping.wait(30s), 125);
    const std::string folder = leftovers();
    ASSERT_EQ(folder.rfind("emuboard.", 0), 0U) << folder;
    EXPECT_NE(keeping.errors().find("the board's files are kept in " + tmp_ + "/emuboard."),
              std::string::npos)
        << keeping.errors();
    Process next = start_board("emuboard", {}, {}, no_kernel);
    EXPECT_EQ(next.wait(30s), 125);
    EXPECT_EQ(leftovers(), folder) << "the kept folder was swept";
    std::error_code ignored;
    std::filesystem::remove_all(tmp_ + "/" + folder.substr(0, folder.size() - 1), ignored);
}

} // namespace
