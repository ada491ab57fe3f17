// SPDX-License-Identifier: MIT
#include "process.h"

#include <fcntl.h>
#include <linux/sched.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace common {

namespace {

[[noreturn]] void fail(int error, const std::string &what) {
    throw std::system_error(error, std::generic_category(), what);
}

// A descriptor of this process, closed when it goes unless it was given away.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    [[nodiscard]] int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ != -1)
            close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

struct Pipe {
    Fd read, write;
};

// A close-on-exec pipe whose ends are at `lowest` or above: neither standard input, output
// nor error, so that no descriptor of ours is one that the child's own streams replace.
Pipe make_pipe(int lowest) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) == -1)
        fail(errno, "pipe");
    Pipe pipe{Fd(ends[0]), Fd(ends[1])};
    for (Fd *end : {&pipe.read, &pipe.write}) {
        if (end->get() < lowest) {
            end->reset(fcntl(end->get(), F_DUPFD_CLOEXEC, lowest));
            if (end->get() == -1)
                fail(errno, "pipe");
        }
    }
    return pipe;
}

// The steps of the child's set-up, named to the parent when one fails.
enum class Step : std::uint8_t {
    group,
    parent,
    user,
    stdin,
    stdout,
    stderr,
    report,
    others,
    signals,
    exec
};

const char *name(Step step) {
    switch (step) {
    case Step::group:
        return "setpgid";
    case Step::parent:
        return "dying with its parent";
    case Step::user:
        return "its user namespace";
    case Step::stdin:
        return "standard input";
    case Step::stdout:
        return "standard output";
    case Step::stderr:
        return "standard error";
    case Step::report:
        return "the report's descriptor";
    case Step::others:
        return "closing the other descriptors";
    case Step::signals:
        return "the signal mask and actions";
    case Step::exec:
        break;
    }
    return "";
}

// What the child needs after the fork: only descriptors and plain arrays, so that it calls
// nothing but system calls until its exec, as a child of a process with threads must.
struct Plan {
    int in, out, err, report; // descriptors of this process, or `closed`, for 0 to 3
    bool own_group;
    int parent;   // a pidfd of the parent to die with, or -1
    int failures; // close-on-exec: the exec closes it, a failed step writes to it
    // In a user namespace of its own: what goes in its setgroups, uid_map and gid_map.
    const char *const *user_maps;
};

// Writes `text` to the file at `path`, whole.
bool write_file(const char *path, const char *text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    const auto size = static_cast<ssize_t>(std::strlen(text));
    const bool written = fd != -1 && write(fd, text, static_cast<std::size_t>(size)) == size;
    if (fd != -1)
        close(fd);
    return written;
}

// The child's whole set-up, then the exec: standard input from /dev/null or `in`, standard
// output and error from `out` and `err` (a pipe's end, closed, or left as they are), the report
// on descriptor 3, nothing else of ours (not a descriptor that some library opened without
// close-on-exec, nor one that a thread opened meanwhile), the signals that a shell or test
// runner may ignore at their defaults, and a process group of its own if asked. A step that
// fails writes its errno and its name to the parent, and the child ends with status 127.
[[noreturn]] void become(const Plan &plan, char *const args[], char *const envp[]) {
    auto failed = [&plan](Step step) {
        const int what[2] = {errno, static_cast<int>(step)};
        (void)!write(plan.failures, what, sizeof what);
        _exit(127);
    };
    if (plan.own_group && setpgid(0, 0) == -1)
        failed(Step::group);
    // If the parent went before the death signal was set, it is not sent: the child goes now.
    // Its pidfd says so in a PID namespace too, where getppid() says 0 either way.
    pollfd parent{plan.parent, POLLIN, 0};
    if (plan.parent != -1 && (prctl(PR_SET_PDEATHSIG, SIGKILL) == -1 || poll(&parent, 1, 0) != 0))
        failed(Step::parent);
    const char *const files[] = {"/proc/self/setgroups", "/proc/self/uid_map",
                                 "/proc/self/gid_map"};
    for (int i = 0; plan.user_maps && i < 3; ++i)
        if (!write_file(files[i], plan.user_maps[i]))
            failed(Step::user);
    int in = plan.in;
    if (in == null_device) {
        in = open("/dev/null", O_RDONLY);
        if (in == -1 || (in != 0 && (dup2(in, 0) == -1 || close(in) == -1)))
            failed(Step::stdin);
        in = 0;
    }
    const std::pair<int, Step> streams[] = {{in, Step::stdin},
                                            {plan.out, Step::stdout},
                                            {plan.err, Step::stderr},
                                            {plan.report, Step::report}};
    for (int to = 0; to <= 3; ++to) {
        auto [from, step] = streams[to];
        if (from == closed) {
            if (to < 3)
                (void)close(to); // whether it was open or not, it is closed now
            continue;
        }
        // One kept in place is kept across the exec, if it is open: closed, it stays closed.
        const bool moved = from != to;
        if ((moved && dup2(from, to) == -1) ||
            (!moved && fcntl(to, F_SETFD, 0) == -1 && errno != EBADF))
            failed(step);
    }
    const unsigned first = plan.report == closed ? 3 : 4;
    const auto failures = static_cast<unsigned>(plan.failures);
    if ((first < failures && close_range(first, failures - 1, 0) == -1) ||
        close_range(failures + 1, ~0U, 0) == -1)
        failed(Step::others);
    sigset_t none;
    sigemptyset(&none);
    if (sigprocmask(SIG_SETMASK, &none, nullptr) == -1)
        failed(Step::signals);
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE})
        if (signal(sig, SIG_DFL) == SIG_ERR)
            failed(Step::signals);
    execvpe(args[0], args, envp);
    failed(Step::exec);
    _exit(127); // not reached
}

// The words of a command or an environment as exec takes them: pointers into `words`.
std::vector<char *> pointers(const std::vector<std::string> &words) {
    std::vector<char *> p;
    p.reserve(words.size() + 1);
    for (const auto &w : words)
        p.push_back(const_cast<char *>(w.c_str()));
    p.push_back(nullptr);
    return p;
}

// What a user namespace of the child's own holds: this user and group, themselves.
std::vector<std::string> own_user_maps() {
    return {"deny", std::to_string(geteuid()) + " " + std::to_string(geteuid()) + " 1",
            std::to_string(getegid()) + " " + std::to_string(getegid()) + " 1"};
}

// Starts the child as `plan` says, in namespaces of its own as `how` says; sets `pidfd`. In
// the parent, returns the child's pid; the child never returns.
pid_t spawn(const Plan &plan, const Spawn &how, const std::vector<std::string> &argv, int &pidfd) {
    const std::vector<char *> args = pointers(argv);
    const std::vector<char *> envp = pointers(how.env);
    clone_args clone{};
    clone.flags = CLONE_PIDFD;
    if (how.pid_namespace)
        clone.flags |= CLONE_NEWPID | (plan.user_maps ? CLONE_NEWUSER : 0);
    clone.pidfd = reinterpret_cast<std::uintptr_t>(&pidfd);
    clone.exit_signal = SIGCHLD;
    const auto pid = static_cast<pid_t>(syscall(SYS_clone3, &clone, sizeof clone));
    if (pid == 0)
        become(plan, args.data(), envp.data());
    if (pid == -1)
        fail(errno, "cannot run " + argv.at(0) + ": clone3");
    return pid;
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

Process::Process(const std::vector<std::string> &argv, const Spawn &how)
    : group_(how.own_group), poll_(how.poll) {
    Pipe out;
    Pipe err;
    Pipe report;
    if (how.out == piped)
        out = make_pipe(3);
    if (how.err == piped)
        err = make_pipe(3);
    if (how.report)
        report = make_pipe(3);
    // Above 3 too, which the report takes in the child.
    Pipe failures = make_pipe(4);
    Fd parent;
    if (how.die_with_parent) {
        parent.reset(static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0)));
        if (parent.get() == -1)
            fail(errno, "cannot run " + argv.at(0) + ": pidfd_open");
    }
    const std::vector<std::string> maps =
        how.pid_namespace && geteuid() != 0 ? own_user_maps() : std::vector<std::string>{};
    std::vector<const char *> user_maps;
    user_maps.reserve(maps.size());
    for (const auto &map : maps)
        user_maps.push_back(map.c_str());
    const Plan plan{how.in,
                    how.out == piped ? out.write.get() : how.out,
                    how.err == piped ? err.write.get() : how.err,
                    how.report ? report.write.get() : closed,
                    how.own_group,
                    parent.get(),
                    failures.write.get(),
                    user_maps.empty() ? nullptr : user_maps.data()};
    started_ = Clock::now();
    int fd = -1;
    pid_ = spawn(plan, how, argv, fd);
    Fd ends(fd); // the child's pidfd, closed if the exec fails
    // The child's ends go, so that the pipes end with the exec (or the child).
    for (Fd *end : {&out.write, &err.write, &report.write, &failures.write})
        end->reset();
    await_exec(failures.read.get(), argv.at(0));
    out_fd_ = out.read.release();
    err_fd_ = err.read.release();
    report_fd_ = report.read.release();
    pidfd_ = ends.release();
}

void Process::await_exec(int failures, const std::string &command) {
    int what[2] = {0, 0};
    ssize_t got = 0;
    while ((got = read(failures, what, sizeof what)) == -1 && errno == EINTR) {
    }
    if (got == 0)
        return;
    // The child ended without its exec: reaped here, and its step named.
    while (waitpid(pid_, nullptr, 0) == -1 && errno == EINTR) {
    }
    pid_ = -1;
    if (got != static_cast<ssize_t>(sizeof what))
        fail(got == -1 ? errno : EPROTO, "cannot run " + command + ": its set-up");
    const auto step = static_cast<Step>(what[1]);
    fail(what[0],
         "cannot run " + command + (step == Step::exec ? "" : std::string(": ") + name(step)));
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
    int n = poll_(fds, 3, poll_timeout(deadline));
    if (n == -1 && errno != EINTR)
        fail(errno, "poll");
    if (n <= 0)
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
        int n = poll_(&fd, 1, poll_timeout(deadline));
        if (n > 0)
            return true;
        if (n == 0 && Clock::now() >= deadline)
            return false;
        if (n == -1 && errno != EINTR)
            fail(errno, "poll");
    }
}

int Process::reap(bool kill_first) {
    if (kill_first)
        ::kill(group_ ? -pid_ : pid_, SIGKILL);
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
    for (pollfd fd{report_fd_, POLLIN, 0}; report_fd_ != -1 && poll_(&fd, 1, 1000) > 0;)
        read_into(report_fd_, report_text_);
    return status;
}

void Process::kill() const {
    // Through the pidfd: never another process that took the pid after this one was reaped.
    if (pidfd_ != -1)
        (void)syscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, nullptr, 0);
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
