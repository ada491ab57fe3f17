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

Process::Process(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                 Output output) {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (pipe2(err, O_CLOEXEC) == -1 || (output == Output::pipe && pipe2(out, O_CLOEXEC) == -1))
        throw std::runtime_error("pipe");
    if (output == Output::full && (out[1] = open("/dev/full", O_WRONLY | O_CLOEXEC)) == -1)
        throw std::runtime_error("open /dev/full");
    // A command that dies of a fault leaves no core file behind (qemu-arm would write one).
    rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);

    // The child leads a process group of its own, so that a run cut short by a failed
    // test can be killed whole.
    started_ = Clock::now();
    pid_ = simboard::spawn(argv, env, out[1], err[1], true);
    if (out[1] != -1)
        close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
}

Process::~Process() {
    if (!status_) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close_output();
    if (err_fd_ != -1)
        close(err_fd_);
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
            if (out_fd_ == -1 && err_fd_ == -1)
                ended_ = now;
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
    return *(status_ = simboard::exit_status(status));
}

void Process::signal_command(int sig) const {
    // The sandbox (bubblewrap, without a pid namespace) runs the command as its one child.
    std::ifstream children("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) +
                           "/children");
    pid_t command = 0;
    if (!(children >> command))
        throw std::runtime_error("the sandbox has no command running");
    kill(command, sig);
}

void Process::close_output() {
    if (out_fd_ != -1)
        close(out_fd_);
    out_fd_ = -1;
}
