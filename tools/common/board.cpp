// SPDX-License-Identifier: MIT
#include "board.h"

#include "clock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <system_error>

namespace common {

namespace {

[[noreturn]] void fail(const std::string &what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

Board::Board(std::uint64_t size, std::uint64_t base) : image_(dir_.path() + "/mem"), base_(base) {
    fd_ = open(image_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ == -1 || ftruncate(fd_, static_cast<off_t>(size)) == -1) {
        int saved = errno;
        if (fd_ != -1)
            close(fd_);
        errno = saved;
        fail("create " + image_); // the folder goes with its files
    }
}

Board::~Board() {
    close(fd_);
}

void Board::set_reading(std::uint32_t reading) {
    unsigned char word[4];
    for (int i = 0; i < 4; ++i)
        word[i] = static_cast<unsigned char>(reading >> (8 * i));
    if (pwrite(fd_, word, sizeof word, static_cast<off_t>(register_address - base_)) != sizeof word)
        fail("write the register in " + image_);
}

std::uint32_t discharged(unsigned seconds) {
    seconds = std::min(seconds, 1166U);
    return 3900 - (3 * seconds) - (seconds % 2);
}

Battery::Battery(Board &board, Failure &failure) : board_(board), failure_(failure) {
    board_.set_reading(discharged(0));
    thread_ = std::thread([this] {
        auto start = Clock::now();
        std::unique_lock lock(mutex_);
        for (unsigned s = 1;; ++s) {
            if (done_cv_.wait_until(lock, start + std::chrono::milliseconds((1000 * s) - 500),
                                    [this] { return done_; }))
                return;
            try {
                board_.set_reading(discharged(s));
            } catch (const std::exception &e) {
                failure_.fail(std::string("the battery: ") + e.what());
                return;
            }
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

} // namespace common
