// SPDX-License-Identifier: MIT
// Every way a board can end, on both boards, through their command lines: each documented
// exit status, a closed standard output, signals to the board (mid-run, and before its
// command exists) and a kill -9; after each, no process of the board and no file of it left.

#include "process.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
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

// Whether every one of `pids` is gone within a few seconds.
bool all_gone(const std::vector<pid_t> &pids) {
    const auto deadline = Clock::now() + 5s;
    while (Clock::now() < deadline && std::any_of(pids.begin(), pids.end(), alive))
        std::this_thread::sleep_for(20ms);
    return std::none_of(pids.begin(), pids.end(), alive);
}

// The parameter is the board: simboard or emuboard.
class BoardExits : public testing::TestWithParam<std::string> {
  public:
    BoardExits(const BoardExits &) = delete;
    BoardExits &operator=(const BoardExits &) = delete;

  protected:
    BoardExits() {
        std::string pattern = "/tmp/board-exits.XXXXXX";
        if (mkdtemp(pattern.data()))
            tmp_ = pattern;
    }
    ~BoardExits() override {
        EXPECT_EQ(leftovers(), "") << "files of the board left behind";
        std::error_code ignored;
        std::filesystem::remove_all(tmp_, ignored);
    }

    // The board with `args`, its files in a folder of the case's own; `before` in front.
    [[nodiscard]] Process start(const std::vector<std::string> &args, common::Spawn how = {},
                                const std::vector<std::string> &before = {}) const {
        std::vector<std::string> argv = before;
        argv.push_back(common::next_to_self(GetParam()));
        argv.insert(argv.end(), args.begin(), args.end());
        how.env = common::environment();
        how.env.push_back("TMPDIR=" + tmp_);
        return {argv, how};
    }

    // A command that says when it runs, then runs for 30 s in the one process.
    static std::vector<std::string> long_command() {
        return {"--", "sh", "-c", "echo up; exec sleep 30"};
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

TEST_P(BoardExits, ATermDuringTheForkIsActedOn) {
    // strace holds the board at its fork (clone; a thread starts with clone3) for 3 s, and
    // the signal comes meanwhile: after the board's start, before its command exists.
    Process run = start(long_command(), {},
                        {"strace", "-qq", "-o", "/dev/null", "-e", "trace=clone", "-e",
                         "inject=clone:delay_enter=3000000"});
    pid_t board = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (board == 0 && Clock::now() < deadline) {
        const std::vector<pid_t> below = descendants(run.pid());
        if (!below.empty() && in_syscall(below.front()) == SYS_clone)
            board = below.front();
        else
            std::this_thread::sleep_for(10ms);
    }
    ASSERT_NE(board, 0) << "the board never came to its fork";
    kill(board, SIGTERM);
    EXPECT_EQ(run.wait(boot), 128 + SIGTERM) << run.errors();
    EXPECT_EQ(run.output(), "") << "the command ran on";
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
    // The next board removes what the killed one left, whatever becomes of it.
    Process next = start({"--reading", "3", "--", "true"});
    EXPECT_EQ(next.wait(boot), 0) << next.errors();
}

TEST_P(BoardExits, ACommandNotFoundOrNotExecutableIsSaidAsAShellSaysIt) {
    for (const auto &[command, status, says] :
         std::vector<std::tuple<std::string, int, std::string>>{
             {"nosuch-command", 127, "nosuch-command: command not found\n"},
             {"/etc/passwd", 126, "/etc/passwd: Permission denied\n"}}) {
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

// The register's side failing while the command runs: the command is stopped, 124.
TEST(BoardExitsOwn, TheBatteryFailingStopsTheCommandOnTheSimulatedBoard) {
    // A board whose files sit on a full tmpfs (in a mount namespace of its own), the
    // register's page punched out of the image: the battery's next write finds no room.
    char dir[] = "/tmp/board-full.XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string script =
        "mount -t tmpfs -o size=64k tmpfs \"$1\" && TMPDIR=\"$1\" exec \"$2\" -- sh -c "
        "'fallocate -p -o 4280553472 -l 4096 /dev/mem && cat /dev/zero > \"$TMPDIR/fill\"; "
        "exec sleep 30'";
    // Root needs no user namespace for it, and cannot make one inside a chroot.
    Process run({"unshare", geteuid() == 0 ? "-m" : "-rm", "sh", "-c", script, "sh", dir,
                 common::next_to_self("simboard")},
                {common::environment()});
    const auto asked = Clock::now();
    EXPECT_EQ(run.wait(20s), 124) << run.errors();
    EXPECT_LT(common::seconds(Clock::now() - asked), 5.0) << "the command was not stopped";
    EXPECT_NE(run.errors().find("simboard: the battery: "), std::string::npos) << run.errors();
    rmdir(dir);
}

TEST(BoardExitsOwn, TheRelayFailingStopsTheCommandOnTheEmulatedBoard) {
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    common::Spawn how{common::environment()};
    how.out = full;
    Process run({common::next_to_self("emuboard"), "--", "sh", "-c", "echo up; exec sleep 150"},
                how);
    close(full);
    const auto asked = Clock::now();
    EXPECT_EQ(run.wait(boot), 124) << run.errors();
    // A boot and the relay's first line, not the command's 150 s.
    EXPECT_LT(common::seconds(Clock::now() - asked), 90.0) << "the command was not stopped";
    EXPECT_NE(run.errors().find("cannot pass the command's output on"), std::string::npos)
        << run.errors();
}

} // namespace
