// SPDX-License-Identifier: MIT
#include "process.h"

#include "board.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <stdexcept>
#include <thread>

Process::Process(const Command &command, const std::vector<std::string> &env, Output output) {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    int report[2] = {-1, -1};
    if (pipe2(err, O_CLOEXEC) == -1 || pipe2(report, O_CLOEXEC) == -1 ||
        (output == Output::pipe && pipe2(out, O_CLOEXEC) == -1))
        throw std::runtime_error("pipe");
    if (output == Output::full && (out[1] = open("/dev/full", O_WRONLY | O_CLOEXEC)) == -1)
        throw std::runtime_error("open /dev/full");
    // A command that dies of a fault leaves no core file behind (qemu-arm would write one).
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);

    // The child leads a process group of its own, so that a run cut short by a failed
    // test can be killed whole.
    pid_ = simboard::spawn(command(report[1]), env, out[1], err[1], true, report[1]);
    if (out[1] != -1)
        close(out[1]);
    close(err[1]);
    close(report[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    report_fd_ = report[0];
}

Process::~Process() {
    if (!status_) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close_output();
    for (int fd : {err_fd_, report_fd_})
        if (fd != -1)
            close(fd);
}

bool Process::pump(Clock::time_point deadline) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (out_fd_ == -1 && err_fd_ == -1)
        return false;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (poll(fds, 2, left > 0 ? static_cast<int>(left) : 0) <= 0)
        return true;
    auto now = Clock::now();
    char buf[4096];
    for (auto &fd : fds) {
        if (fd.fd == -1 || !fd.revents)
            continue;
        ssize_t n = read(fd.fd, buf, sizeof buf);
        if (n <= 0) {
            close(fd.fd);
            (fd.fd == out_fd_ ? out_fd_ : err_fd_) = -1;
            continue;
        }
        if (fd.fd == err_fd_) {
            err_.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        out_.append(buf, static_cast<std::size_t>(n));
        for (auto nl = out_.find('\n', line_start_); nl != std::string::npos;
             nl = out_.find('\n', line_start_)) {
            lines_.push_back({out_.substr(line_start_, nl - line_start_), now});
            line_start_ = nl + 1;
        }
    }
    return true;
}

std::optional<Line> Process::next_line(Clock::duration timeout) {
    auto deadline = Clock::now() + timeout;
    while (next_ == lines_.size() && out_fd_ != -1 && Clock::now() < deadline)
        pump(deadline);
    if (next_ == lines_.size())
        return std::nullopt;
    return lines_[next_++];
}

int Process::exit_status(Clock::duration timeout) {
    if (status_)
        return *status_;
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline && pump(deadline)) {
    }
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            return *(status_ = -1);
        }
        std::this_thread::sleep_for(1ms);
    }
    status_ = simboard::exit_status(status);
    read_report();
    return *status_;
}

void Process::read_report() {
    // The launcher has ended with the sandbox, so the report is whole or absent.
    std::string text;
    char buf[256];
    pollfd fd{report_fd_, POLLIN, 0};
    while (poll(&fd, 1, 1000) > 0) {
        ssize_t n = read(report_fd_, buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    if (auto r = simboard::parse_report(text)) {
        exec_at_ = Clock::time_point(std::chrono::nanoseconds(r->started_ns));
        exit_at_ = Clock::time_point(std::chrono::nanoseconds(r->ended_ns));
    }
}

void Process::signal_command(int sig) const {
    // The sandbox (bubblewrap, without a pid namespace) runs the launcher as its one child,
    // and the launcher runs the command: the last of the line.
    pid_t command = pid_;
    for (;;) {
        std::ifstream children("/proc/" + std::to_string(command) + "/task/" +
                               std::to_string(command) + "/children");
        pid_t child = 0;
        if (!(children >> child))
            break;
        command = child;
    }
    if (command == pid_)
        throw std::runtime_error("the sandbox has no command running");
    kill(command, sig);
}

void Process::close_output() {
    if (out_fd_ != -1)
        close(out_fd_);
    out_fd_ = -1;
}
