// SPDX-License-Identifier: MIT
// The first failure of a thread that runs beside a board's command (the battery, the
// co-simulation): kept for the board to say in one line, and the command stopped through
// the action that the board gave for it while the command runs.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace common {

class Failure {
  public:
    // The first failure is kept; the stop action, if one is set, runs.
    void fail(const std::string &what) {
        std::lock_guard lock(mutex_);
        if (what_)
            return;
        what_ = what;
        if (stop_)
            stop_();
    }
    [[nodiscard]] std::optional<std::string> what() const {
        std::lock_guard lock(mutex_);
        return what_;
    }

    // Runs `stop` on a failure for as long as it lives, at once if one came already.
    class Stopping {
      public:
        Stopping(Failure &failure, std::function<void()> stop) : failure_(failure) {
            std::lock_guard lock(failure_.mutex_);
            failure_.stop_ = std::move(stop);
            if (failure_.what_)
                failure_.stop_();
        }
        ~Stopping() {
            std::lock_guard lock(failure_.mutex_);
            failure_.stop_ = nullptr;
        }
        Stopping(const Stopping &) = delete;
        Stopping &operator=(const Stopping &) = delete;

      private:
        Failure &failure_;
    };

  private:
    mutable std::mutex mutex_;
    std::optional<std::string> what_;
    std::function<void()> stop_;
};

} // namespace common
