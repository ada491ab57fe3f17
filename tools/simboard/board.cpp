// SPDX-License-Identifier: MIT
#include "board.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace simboard {

namespace {

[[noreturn]] void fail(const std::string &what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

Board::Board(std::uint64_t size, std::uint64_t base) : base_(base) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/simboard.XXXXXX";
    if (!mkdtemp(pattern.data()))
        fail("mkdtemp " + pattern);
    dir_ = pattern;
    image_ = dir_ + "/mem";
    fd_ = open(image_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ == -1 || ftruncate(fd_, static_cast<off_t>(size)) == -1) {
        int saved = errno;
        if (fd_ != -1) {
            close(fd_);
            unlink(image_.c_str());
        }
        rmdir(dir_.c_str());
        errno = saved;
        fail("create " + image_);
    }
}

Board::~Board() {
    if (fd_ != -1)
        close(fd_);
    unlink(image_.c_str());
    rmdir(dir_.c_str());
}

void Board::set_reading(std::uint32_t reading) {
    unsigned char word[4];
    for (int i = 0; i < 4; ++i)
        word[i] = static_cast<unsigned char>(reading >> (8 * i));
    if (pwrite(fd_, word, sizeof word, static_cast<off_t>(register_address - base_)) != sizeof word)
        fail("write the register in " + image_);
}

std::optional<std::uint32_t> parse_reading(const char *text) {
    char *end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(text, &end, 0);
    if (errno || *end || !*text || text[0] == '-' || n > UINT32_MAX)
        return std::nullopt;
    return static_cast<std::uint32_t>(n);
}

std::uint32_t discharged(unsigned seconds) {
    seconds = std::min(seconds, 1166U);
    return 3900 - 3 * seconds - seconds % 2;
}

Battery::Battery(Board &board) : board_(board) {
    board_.set_reading(discharged(0));
    thread_ = std::thread([this] {
        auto start = std::chrono::steady_clock::now();
        std::unique_lock lock(mutex_);
        for (unsigned s = 1;; ++s) {
            if (done_cv_.wait_until(lock, start + std::chrono::milliseconds(1000 * s - 500),
                                    [this] { return done_; }))
                return;
            board_.set_reading(discharged(s));
        }
    });
}

Battery::~Battery() {
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    done_cv_.notify_one();
    thread_.join();
}

std::vector<std::string> Board::sandbox(const std::vector<std::string> &command,
                                        Device device) const {
    // The host's whole tree, a fresh /dev without the host's devices, and the command dies
    // with whoever started it.
    std::vector<std::string> argv{"bwrap", "--dev-bind",       "/", "/", "--dev",
                                  "/dev",  "--die-with-parent"};
    switch (device) {
    case Device::image:
        argv.insert(argv.end(), {"--bind", image_, "/dev/mem"});
        break;
    case Device::absent:
        break;
    case Device::forbidden:
        argv.insert(argv.end(), {"--bind", image_, "/dev/mem", "--chmod", "0000", "/dev/mem",
                                 "--cap-drop", "ALL"});
        break;
    case Device::unmappable:
        argv.insert(argv.end(), {"--dev-bind", "/dev/null", "/dev/mem"});
        break;
    }
    argv.emplace_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
}

pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env, int out_fd,
            int err_fd, bool own_group, int keep_fd) {
    // Everything the child needs is built before the fork.
    std::vector<char *> args;
    std::vector<char *> envp;
    args.reserve(argv.size() + 1);
    envp.reserve(env.size() + 1);
    const std::string cannot_run = "cannot run " + argv.at(0) + ": ";
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (const auto &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    pid_t pid = fork();
    if (pid == -1)
        fail("fork");
    if (pid == 0) {
        if (own_group)
            setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        if (in > 0) {
            dup2(in, 0);
            close(in);
        }
        for (auto [from, to] : {std::pair{out_fd, 1}, std::pair{err_fd, 2}}) {
            if (from == -1)
                close(to);
            else if (from != to)
                dup2(from, to);
        }
        // Only this child inherits it: other commands started meanwhile never hold it open.
        if (keep_fd != -1)
            fcntl(keep_fd, F_SETFD, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE})
            (void)signal(sig, SIG_DFL);
        execvpe(args[0], args.data(), envp.data());
        const char *why = std::strerror(errno);
        (void)!write(2, cannot_run.data(), cannot_run.size());
        (void)!write(2, why, std::strlen(why));
        (void)!write(2, "\n", 1);
        _exit(127);
    }
    if (own_group)
        setpgid(pid, pid); // also here, so that the group exists as soon as spawn returns
    return pid;
}

namespace {

std::int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

} // namespace

int launch(int report_fd, const std::vector<std::string> &command, bool stamp_lines) {
    fcntl(report_fd, F_SETFD, FD_CLOEXEC); // the report is the launcher's, not the command's
    int lines[2] = {-1, -1};
    if (stamp_lines && pipe2(lines, O_CLOEXEC) == -1)
        fail("pipe");
    Report r;
    r.started_ns = monotonic_ns();
    pid_t pid = spawn(command, environment(), stamp_lines ? lines[1] : 1, 2);
    if (stamp_lines) {
        close(lines[1]);
        char buf[4096];
        ssize_t n = 0;
        while ((n = read(lines[0], buf, sizeof buf)) != 0) {
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                break;
            std::int64_t at = monotonic_ns();
            for (ssize_t i = 0; i < n; ++i)
                if (buf[i] == '\n')
                    dprintf(report_fd, "line %lld\n", static_cast<long long>(at));
            for (ssize_t done = 0, w = 0; done < n; done += w)
                if ((w = write(1, buf + done, static_cast<std::size_t>(n - done))) <= 0)
                    break;
        }
        close(lines[0]);
    }
    int status = 0;
    rusage ru{};
    while (wait4(pid, &status, 0, &ru) == -1 && errno == EINTR) {
    }
    r.ended_ns = monotonic_ns();
    auto us = [](timeval tv) { return std::int64_t{tv.tv_sec} * 1000000 + tv.tv_usec; };
    r.cpu_us = us(ru.ru_utime) + us(ru.ru_stime);
    r.rss_kib = ru.ru_maxrss;
    dprintf(report_fd, "stamp %lld %lld %lld %ld\n", static_cast<long long>(r.started_ns),
            static_cast<long long>(r.ended_ns), static_cast<long long>(r.cpu_us), r.rss_kib);
    return exit_status(status);
}

std::vector<std::string> stamped(std::vector<std::string> launcher, int report_fd,
                                 const std::vector<std::string> &command) {
    launcher.push_back(std::to_string(report_fd));
    launcher.insert(launcher.end(), command.begin(), command.end());
    return launcher;
}

std::optional<Report> parse_report(const std::string &text) {
    Report r;
    std::istringstream in(text);
    bool ended = false;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string tag;
        words >> tag;
        if (std::int64_t at = 0; tag == "line" && words >> at)
            r.lines_ns.push_back(at);
        else if (tag == "stamp")
            ended = static_cast<bool>(words >> r.started_ns >> r.ended_ns >> r.cpu_us >> r.rss_kib);
    }
    if (!ended)
        return std::nullopt;
    return r;
}

std::string next_to_self(const std::string &name) {
    std::vector<char> self(4096);
    ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (n <= 0)
        return name;
    std::string path(self.data(), static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + name;
}

std::vector<std::string> environment() {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
        env.emplace_back(*e);
    return env;
}

int exit_status(int wait_status) {
    return WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : WEXITSTATUS(wait_status);
}

} // namespace simboard
