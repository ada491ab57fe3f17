// SPDX-License-Identifier: MIT
// A command run from outside: forked and set up in one place, its standard output read as lines
// with the time each one arrived, waited for with a deadline through its pidfd. The tests,
// the benchmark, both boards and the stamping launcher all run their commands with it.
#pragma once

#include "clock.h"

#include <poll.h>
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace common {

struct Line {
    std::string text; // without its newline
    Clock::time_point at;
};

// Where one of the command's standard streams goes: a pipe read here, nowhere, or a
// descriptor of this process.
inline constexpr int piped = -2;
inline constexpr int closed = -1;
inline constexpr int null_device = -3; // /dev/null

// How a command starts. Fields by name: Spawn how{env}; how.report = true; ...
struct Spawn {
    std::vector<std::string> env;
    int in = null_device; // standard input: /dev/null, `closed` or a descriptor of this process
    int out = piped;
    int err = piped;
    bool own_group = false;       // a process group of its own, so that a run cut short dies whole
    bool report = false;          // a pipe on the command's descriptor 3, for board-stamp's report
    bool die_with_parent = false; // killed when this thread ends (PR_SET_PDEATHSIG)
    // The first process of a PID namespace of its own (in a user namespace of its own too,
    // unless this process is root): when it ends, however, the kernel ends every process in
    // it before its wait returns, at whatever step of their start they are. Being its
    // namespace's init, it takes only SIGKILL from here.
    bool pid_namespace = false;
    // The poll(2) that every wait on the command goes through. A case puts one that fails
    // in its place, to see the runner give up with an error rather than spin.
    int (*poll)(pollfd *fds, nfds_t n, int timeout_ms) = ::poll;
};

// This process's environment, to pass on unchanged.
std::vector<std::string> environment();

class Process {
  public:
    // Starts `argv` (looked up in PATH) with its standard streams as `how` says and the signals
    // that a shell or a test runner may ignore back at their defaults. Throws a
    // std::system_error, saying which step failed, if any step of the child's set-up or its
    // exec fails.
    Process(const std::vector<std::string> &argv, const Spawn &how);
    ~Process(); // kills what still runs
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    // The next whole line of standard output; nothing if the output ends or `timeout` passes.
    std::optional<Line> next_line(Clock::duration timeout = 3s);
    // Reads what arrives until something does or `deadline` passes; false once the
    // command's pipes have all ended.
    bool pump(Clock::time_point deadline);
    // Waits for the end, reading the pipes meanwhile, and kills the run after `timeout`.
    // Returns the exit status as a shell reports it, or -1 if the run had to be killed.
    // Throws if poll fails: the destructor then kills what still runs.
    int wait(Clock::duration timeout = 15s);

    // Kills the command (not its group) now; safe from another thread while this one
    // waits, for as long as the Process lives. What wait() then returns is 128 + SIGKILL.
    void kill() const;
    void close_output(); // the reader of standard output goes away

    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] int pidfd() const { return pidfd_; }
    [[nodiscard]] const std::string &output() const { return out_; } // every byte, as written
    [[nodiscard]] const std::string &errors() const { return err_; }
    [[nodiscard]] const std::deque<Line> &lines() const { return lines_; }
    // After wait(): what the command wrote on descriptor 3 (see report.h), and its usage.
    [[nodiscard]] const std::string &reported() const { return report_text_; }
    [[nodiscard]] Clock::time_point started() const { return started_; }
    [[nodiscard]] Clock::time_point ended() const { return ended_; }
    [[nodiscard]] std::int64_t cpu_us() const { return cpu_us_; }
    [[nodiscard]] long rss_kib() const { return rss_kib_; }

  private:
    void await_exec(int failures, const std::string &command);
    [[nodiscard]] bool exited(Clock::time_point deadline) const;
    void close_all();
    int reap(bool kill_first);

    pid_t pid_ = -1;
    bool group_ = false;
    int (*poll_)(pollfd *, nfds_t, int) = ::poll;
    int pidfd_ = -1, out_fd_ = -1, err_fd_ = -1, report_fd_ = -1;
    std::string out_, err_, report_text_;
    std::deque<Line> lines_;
    std::size_t next_ = 0, line_start_ = 0;
    std::optional<int> status_;
    Clock::time_point started_, ended_;
    std::int64_t cpu_us_ = 0;
    long rss_kib_ = 0;
};

// The exit status a shell would report for a wait status: the code, or 128 + the signal.
int exit_status(int wait_status);

// Writes all of `bytes` to `fd`, as far as it takes them; false if it stopped short.
bool write_all(int fd, const std::string &bytes);

// The path of `name` in the directory of this process's own executable.
std::string next_to_self(const std::string &name);

} // namespace common
