// SPDX-License-Identifier: MIT
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <system_error>

namespace common {

namespace {

[[noreturn]] void fail(int error, const std::string &what) {
    throw std::system_error(error, std::generic_category(), what);
}

// The child's descriptors and signals, set up as posix_spawn applies them: standard input
// from /dev/null, standard output and error from `out` and `err` (a pipe's end, closed, or
// left as they are), the report on descriptor 3, nothing else of ours (not a descriptor
// that some library opened without close-on-exec, nor one that a thread opens meanwhile),
// the signals that a shell or test runner may ignore at their defaults, and a process group
// of its own if asked.
class Plan {
  public:
    Plan(const Spawn &how, int out, int err, int report) {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        for (auto [from, to] : {std::pair{out, 1}, std::pair{err, 2}}) {
            if (from == closed)
                posix_spawn_file_actions_addclose(&actions, to);
            else if (from != to)
                posix_spawn_file_actions_adddup2(&actions, from, to);
        }
        if (how.report)
            posix_spawn_file_actions_adddup2(&actions, report, 3);
        posix_spawn_file_actions_addclosefrom_np(&actions, how.report ? 4 : 3);
        sigset_t set;
        sigemptyset(&set);
        posix_spawnattr_setsigmask(&attr, &set);
        for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE})
            sigaddset(&set, sig);
        posix_spawnattr_setsigdefault(&attr, &set);
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        if (how.own_group)
            flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setflags(&attr, flags);
    }
    ~Plan() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    Plan(const Plan &) = delete;
    Plan &operator=(const Plan &) = delete;

    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attr{};
};

// What posix_spawn does with a plan, done by hand after a fork, for the one process that
// forks (the launcher, which has one thread). An exec that fails ends the child with status
// 127, as a shell's.
int fork_exec(pid_t &pid, char *const args[], char *const envp[], const Spawn &how, int out,
              int err, int report) {
    pid = fork();
    if (pid == -1)
        return errno;
    if (pid > 0)
        return 0;
    if (how.own_group)
        setpgid(0, 0);
    int in = open("/dev/null", O_RDONLY);
    if (in > 0) {
        dup2(in, 0);
        close(in);
    }
    for (auto [from, to] : {std::pair{out, 1}, std::pair{err, 2}}) {
        if (from == closed)
            close(to);
        else if (from != to)
            dup2(from, to);
    }
    if (how.report)
        dup2(report, 3);
    close_range(how.report ? 4 : 3, ~0U, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE})
        (void)signal(sig, SIG_DFL);
    execvpe(args[0], args, envp);
    const char *why = std::strerror(errno);
    for (const char *part : {"cannot run ", static_cast<const char *>(args[0]), ": ", why, "\n"})
        (void)!write(2, part, std::strlen(part));
    _exit(127);
}

void read_into(int &fd, std::string &into) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        close(fd);
        fd = -1;
        return;
    }
    into.append(buf, static_cast<std::size_t>(n));
}

// Milliseconds for poll() until `deadline`, at most an hour at a time.
int poll_timeout(Clock::time_point deadline) {
    auto now = Clock::now();
    if (deadline <= now)
        return 0;
    if (deadline - now > std::chrono::hours(1))
        return 3600 * 1000;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
}

} // namespace

std::vector<std::string> environment() {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
        env.emplace_back(*e);
    return env;
}

Process::Process(const std::vector<std::string> &argv, const Spawn &how) : group_(how.own_group) {
    // The ends that the child writes, closed here once it has them, whatever happens.
    struct Ends {
        int out = -1, err = -1, report = -1;
        Ends() = default;
        ~Ends() {
            for (int fd : {out, err, report})
                if (fd != -1)
                    close(fd);
        }
        Ends(const Ends &) = delete;
        Ends &operator=(const Ends &) = delete;
    } child;
    // A pipe whose ends are neither standard input, output nor error, so that no descriptor
    // of ours is one that the child's own streams replace.
    auto open_pipe = [this](int &read_end, int &write_end) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) == -1) {
            int saved = errno;
            close_all();
            fail(saved, "pipe");
        }
        for (int &fd : ends)
            if (fd <= 2) {
                int above = fcntl(fd, F_DUPFD_CLOEXEC, 3);
                close(fd);
                fd = above;
            }
        read_end = ends[0];
        write_end = ends[1];
    };
    if (how.out == piped)
        open_pipe(out_fd_, child.out);
    if (how.err == piped)
        open_pipe(err_fd_, child.err);
    if (how.report)
        open_pipe(report_fd_, child.report);

    const int out = how.out == piped ? child.out : how.out;
    const int err = how.err == piped ? child.err : how.err;

    std::vector<char *> args;
    std::vector<char *> envp;
    args.reserve(argv.size() + 1);
    envp.reserve(how.env.size() + 1);
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (const auto &e : how.env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    started_ = Clock::now();
    int error = 0;
    if (how.own_memory) {
        error = fork_exec(pid_, args.data(), envp.data(), how, out, err, child.report);
    } else {
        Plan plan(how, out, err, child.report);
        error =
            posix_spawnp(&pid_, args.at(0), &plan.actions, &plan.attr, args.data(), envp.data());
    }
    if (error != 0) {
        pid_ = -1;
        close_all();
        fail(error, "cannot run " + argv.at(0));
    }
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd_ == -1) {
        int saved = errno;
        reap(true);
        close_all();
        fail(saved, "pidfd_open");
    }
}

void Process::close_all() {
    close_output();
    for (int *fd : {&err_fd_, &report_fd_, &pidfd_}) {
        if (*fd != -1)
            close(*fd);
        *fd = -1;
    }
}

Process::~Process() {
    if (!status_ && pid_ > 0)
        reap(true);
    close_all();
}

bool Process::pump(Clock::time_point deadline) {
    pollfd fds[3] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}, {report_fd_, POLLIN, 0}};
    if (out_fd_ == -1 && err_fd_ == -1 && report_fd_ == -1)
        return false;
    if (poll(fds, 3, poll_timeout(deadline)) <= 0)
        return true;
    auto now = Clock::now();
    if (fds[1].revents)
        read_into(err_fd_, err_);
    if (fds[2].revents)
        read_into(report_fd_, report_text_);
    if (fds[0].revents) {
        read_into(out_fd_, out_);
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

bool Process::exited(Clock::time_point deadline) const {
    pollfd fd{pidfd_, POLLIN, 0};
    for (;;) {
        int n = poll(&fd, 1, poll_timeout(deadline));
        if (n > 0)
            return true;
        if (n == 0 && Clock::now() >= deadline)
            return false;
    }
}

int Process::reap(bool kill_first) {
    if (kill_first)
        kill(group_ ? -pid_ : pid_, SIGKILL);
    int status = 0;
    rusage ru{};
    while (wait4(pid_, &status, 0, &ru) == -1 && errno == EINTR) {
    }
    ended_ = Clock::now();
    auto us = [](timeval tv) { return (std::int64_t{tv.tv_sec} * 1000000) + tv.tv_usec; };
    cpu_us_ = us(ru.ru_utime) + us(ru.ru_stime);
    rss_kib_ = ru.ru_maxrss;
    status_ = kill_first ? -1 : exit_status(status);
    return *status_;
}

int Process::wait(Clock::duration timeout) {
    if (status_)
        return *status_;
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline && pump(deadline)) {
    }
    const int status = reap(!exited(deadline));
    // Whoever wrote the report has ended with the command: what is left is whole.
    for (pollfd fd{report_fd_, POLLIN, 0}; report_fd_ != -1 && poll(&fd, 1, 1000) > 0;)
        read_into(report_fd_, report_text_);
    report_ = parse_report(report_text_);
    return status;
}

void Process::signal(int sig) const {
    if (!status_)
        kill(group_ ? -pid_ : pid_, sig);
}

void Process::close_output() {
    if (out_fd_ != -1)
        close(out_fd_);
    out_fd_ = -1;
}

int exit_status(int wait_status) {
    return WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : WEXITSTATUS(wait_status);
}

bool write_all(int fd, const std::string &bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string next_to_self(const std::string &name) {
    std::vector<char> self(4096);
    ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (n <= 0)
        return name;
    std::string path(self.data(), static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + name;
}

} // namespace common
