// SPDX-License-Identifier: MIT
#include "session.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <system_error>

namespace common {

namespace {

constexpr int termination[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

volatile sig_atomic_t caught = 0;
std::atomic<int> target{-1}; // the pidfd that a signal goes to, or -1
std::atomic<int> forward_as{0};

void forward(int sig) {
    const int saved = errno;
    caught = sig;
    if (const int fd = target; fd != -1)
        (void)syscall(SYS_pidfd_send_signal, fd, forward_as ? forward_as.load() : sig, nullptr, 0);
    errno = saved;
}

// The termination signals that the board takes: those it was not given ignored.
sigset_t taken;

sigset_t termination_set() {
    return taken;
}

void remove_all(const std::string &dir) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

// A board's folder is made with the sticky bit, which no umask clears and no one's own
// temporary folder has: a sweep takes no other, and takes it from its first moment.
constexpr mode_t board_mode = S_ISVTX | S_IRWXU;

// Removes the folders `base/PREFIX.XXXXXX` of this user that a board made and that no board
// holds: those of boards that went without removing them (killed with SIGKILL), at
// whatever step of their making.
void sweep(const std::string &base, const std::string &prefix) {
    const std::string start = prefix + ".";
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(base, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() != start.size() + 6 || name.compare(0, start.size(), start) != 0)
            continue;
        const std::string dir = entry.path().string();
        struct stat st = {};
        if (lstat(dir.c_str(), &st) == -1 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
            (st.st_mode & S_ISVTX) == 0)
            continue;
        const int lock = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (lock == -1)
            continue;
        if (flock(lock, LOCK_EX | LOCK_NB) == 0)
            remove_all(dir);
        close(lock);
    }
}

// A new folder `base/PREFIX.XXXXXX`, made as a board's.
std::string make_folder(const std::string &base, const std::string &prefix) {
    const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int tries = 0; tries < 100; ++tries) {
        unsigned char random[6];
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
            break;
        std::string path = base;
        path.append("/").append(prefix).append(".");
        for (unsigned char r : random)
            path += letters[r % (sizeof letters - 1)];
        if (mkdir(path.c_str(), board_mode) == 0)
            return path;
        if (errno != EEXIST)
            break;
    }
    throw std::system_error(errno, std::generic_category(),
                            "cannot make a folder in " + base + " for " + prefix + ".XXXXXX");
}

} // namespace

Session::Session() {
    for (int fd = 0; fd < 3; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            closed_[fd] = open("/dev/null", O_RDWR) == fd; // the lowest free: fd itself
    // One given ignored (as a shell starts a job in the background) stays ignored, so that
    // it is the same at every moment: taken from here on, it would be lost before.
    sigemptyset(&taken);
    for (int sig : termination) {
        struct sigaction inherited = {};
        if (sigaction(sig, nullptr, &inherited) == 0 && inherited.sa_handler != SIG_IGN)
            sigaddset(&taken, sig);
    }
    (void)pthread_sigmask(SIG_BLOCK, &taken, nullptr);
    struct sigaction action = {};
    action.sa_handler = forward;
    sigfillset(&action.sa_mask);
    for (int sig : termination)
        if (sigismember(&taken, sig) == 1)
            (void)sigaction(sig, &action, nullptr);
}

int Session::given(int fd) const {
    return fd >= 0 && fd < 3 && closed_[fd] ? closed : fd;
}

Session::Forwarding::Forwarding(const Process &child, int as) {
    forward_as = as;
    target = child.pidfd();
    const sigset_t set = termination_set();
    (void)pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

Session::Forwarding::~Forwarding() {
    const sigset_t set = termination_set();
    (void)pthread_sigmask(SIG_BLOCK, &set, nullptr);
    target = -1;
}

int Session::signalled() {
    if (caught)
        return caught;
    sigset_t pending;
    sigemptyset(&pending);
    (void)sigpending(&pending);
    for (int sig : termination)
        if (sigismember(&pending, sig) == 1)
            return sig;
    return 0;
}

int Session::status(int status) {
    const int sig = signalled();
    return sig ? 128 + sig : status;
}

int lookup(const std::string &name) {
    // What execve(2) answers for the file at `path`: 0, or its errno.
    auto check = [](const std::string &path) {
        struct stat st = {};
        if (stat(path.c_str(), &st) == -1)
            return errno;
        return S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0 ? 0 : EACCES;
    };
    if (name.empty())
        return ENOENT;
    if (name.find('/') != std::string::npos)
        return check(name);
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/bin:/usr/bin");
    int found = ENOENT;
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const int error = check((dir.empty() ? "." : dir) + "/" + name);
        if (error == 0)
            return 0;
        if (error == EACCES)
            found = EACCES;
    }
    return found;
}

std::string exit_statuses() {
    return "Exit status:\n"
           "  the command's  the command's own, or 128 + the signal that ended it\n"
           "  2              a mistake in the options\n"
           "  124            the register's side failed while the command ran: it was stopped\n"
           "  125            the board could not run\n"
           "  126            the command was found but cannot be run\n"
           "  127            the command was not found\n"
           "  128 + n        the board got SIGINT, SIGTERM, SIGHUP or SIGQUIT (n): the command\n"
           "                 was ended\n";
}

int cannot_start(const std::string &board, const std::string &name, int error) {
    const bool missing = error == ENOENT;
    std::cerr << board << ": " << name << ": "
              << (missing ? "command not found" : std::strerror(error)) << '\n';
    return missing ? not_found : not_executable;
}

TempDir::TempDir(const std::string &prefix) {
    const char *tmp = std::getenv("TMPDIR");
    const std::string base = tmp && *tmp ? tmp : "/tmp";
    sweep(base, prefix);
    // The folder is locked itself. A sweep beside this board may take it in the moment
    // between its making and its locking: then it has gone when the lock is held (or even
    // before it is opened), and another is made.
    for (;;) {
        path_ = make_folder(base, prefix);
        lock_ = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (lock_ == -1 && errno == ENOENT)
            continue;
        struct stat st = {};
        if (lock_ != -1 && flock(lock_, LOCK_EX) == 0 && fstat(lock_, &st) == 0) {
            if (st.st_nlink > 0)
                return;
            close(lock_);
            continue;
        }
        const int saved = errno;
        if (lock_ != -1)
            close(lock_);
        remove_all(path_);
        throw std::system_error(saved, std::generic_category(), "lock " + path_);
    }
}

TempDir::~TempDir() {
    if (!keep_)
        remove_all(path_);
    close(lock_);
}

void TempDir::keep() {
    keep_ = true;
    // No longer a board's folder to a sweep.
    (void)chmod(path_.c_str(), S_IRWXU);
}

} // namespace common
