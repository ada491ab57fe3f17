// SPDX-License-Identifier: MIT
// One run of a board (simboard, emuboard) or of the launcher inside one (board-stamp), from
// its first line to its exit: its standard descriptors held, its termination signals kept
// for the command, its temporary folder removed on every way out, and the statuses that say
// how it ended: README.md's "How a board ends" gives them whole, exit_statuses() in short.
#pragma once

#include "process.h"

#include <csignal>
#include <string>

namespace common {

inline constexpr int board_failed = 124;   // the register's side failed: the command was stopped
inline constexpr int cannot_run = 125;     // the board could not run
inline constexpr int not_executable = 126; // the command was found but cannot be run
inline constexpr int not_found = 127;      // the command was not found

// How a board ends, for its --help: "Exit status:", then a line for each status of README.md's
// table, in its order, which a case holds it to.
std::string exit_statuses();

class Session {
  public:
    // Call first thing in main, before any thread starts: descriptors 0 to 2 that are
    // closed are held by /dev/null, so that no file of the board takes their place, and
    // INT, TERM, HUP and QUIT are blocked (threads started later inherit that), but for one
    // that the board was given ignored, which stays ignored.
    Session();
    ~Session() = default;
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Standard descriptor `fd` (0 to 2) as it was given to the board: itself, or `closed`.
    [[nodiscard]] int given(int fd) const;

    // While it lives, a termination signal goes to `child` (as itself, or as `as` if not
    // 0), and one that came since the start goes at once. The calling thread takes them:
    // start every other thread before it, so that they keep the signals blocked. It must go
    // before `child` does: a signal that comes later waits, blocked.
    class Forwarding {
      public:
        explicit Forwarding(const Process &child, int as = 0);
        ~Forwarding();
        Forwarding(const Forwarding &) = delete;
        Forwarding &operator=(const Forwarding &) = delete;
    };

    // The termination signal that came, or 0.
    [[nodiscard]] static int signalled();
    // How the board ends a run whose command returned `status`: 128 + a termination
    // signal that came, else `status`.
    [[nodiscard]] static int status(int status);

  private:
    bool closed_[3] = {false, false, false};
};

// Whether `name` is a command that execvp(3) could start: 0, or what its exec would answer:
// ENOENT (not found, also along PATH), EACCES (found, but not an executable file), or for a
// path, what stat(2) answered (ENOTDIR, ...). Both boards decide 126 and 127 by it alone.
int lookup(const std::string &name);

// A shell's line and status for a command that cannot be started with `error` (errno of the
// exec): "BOARD: NAME: command not found", 127; "BOARD: NAME: <error>", 126.
int cannot_start(const std::string &board, const std::string &name, int error);

// A folder of a board's own files, `$TMPDIR/PREFIX.XXXXXX` (else /tmp), removed with all
// that is in it when it goes. Its board holds a lock on it while it lives: making one removes
// the folders of the same prefix whose board went without (killed with SIGKILL), whatever
// step it had reached.
class TempDir {
  public:
    explicit TempDir(const std::string &prefix);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    [[nodiscard]] const std::string &path() const { return path_; }
    // Leaves the folder as it is, for a look: not removed now, nor by a later board.
    void keep();

  private:
    std::string path_;
    int lock_ = -1;
    bool keep_ = false;
};

} // namespace common
