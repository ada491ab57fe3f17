// SPDX-License-Identifier: MIT
// A command run on the simulated board, seen from outside: the lines it writes with the
// time each one arrives, what it writes to standard error, and how it ends.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Line {
    std::string text; // without its newline
    Clock::time_point at;
};

class Process {
  public:
    enum class Output { pipe, full, closed }; // where standard output goes

    // The command line to start, given the descriptor on which simboard-stamp reports.
    using Command = std::function<std::vector<std::string>(int report_fd)>;

    // Starts the command in a process group of its own, with `env` as its environment.
    Process(const Command &command, const std::vector<std::string> &env,
            Output output = Output::pipe);
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    // The next whole line of standard output; nothing if the output ends or `timeout` passes.
    std::optional<Line> next_line(Clock::duration timeout = 3s);
    // Waits for the end (killing the run after `timeout`) and returns the exit status as a
    // shell reports it, or -1 if it had to be killed.
    int exit_status(Clock::duration timeout = 15s);

    void signal_command(int sig) const; // to the command in the sandbox alone
    void close_output();                // the reader of standard output goes away

    [[nodiscard]] const std::string &output() const { return out_; } // every byte, as written
    [[nodiscard]] const std::string &errors() const { return err_; }
    // The stamped command's own exec and exit, as simboard-stamp saw them; after
    // exit_status(), and only if the launcher reported.
    [[nodiscard]] std::optional<Clock::time_point> exec_at() const { return exec_at_; }
    [[nodiscard]] std::optional<Clock::time_point> exit_at() const { return exit_at_; }

  private:
    bool pump(Clock::time_point deadline); // reads what arrives; false once it all ended
    void read_report();

    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1, report_fd_ = -1;
    std::string out_, err_;
    std::vector<Line> lines_;
    std::size_t next_ = 0, line_start_ = 0;
    std::optional<int> status_;
    std::optional<Clock::time_point> exec_at_, exit_at_;
};
