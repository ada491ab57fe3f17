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
    set_words({reading});
}

void Board::set_words(const std::vector<std::uint32_t> &words) {
    // Little-endian, as the board's processor loads them.
    std::vector<unsigned char> bytes;
    for (std::uint32_t word : words)
        for (unsigned i = 0; i < 4; ++i)
            bytes.push_back(static_cast<unsigned char>(word >> (8 * i)));
    if (pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(register_address - base_)) !=
        static_cast<ssize_t>(bytes.size()))
        fail("write the register in " + image_);
}

std::vector<std::uint32_t> other_design_words() {
    std::vector<std::uint32_t> words;
    for (std::uint32_t address = register_address; address < register_address + 4096; address += 4)
        words.push_back(address);
    return words;
}

SysfsTree fpga_sysfs(Sysfs sysfs) {
    if (sysfs == Sysfs::absent)
        return {};
    // An unconfigured Cyclone V waits in its configuration phase, which the driver reports
    // as "write init"; configured, it is in user mode: "operating".
    SysfsTree tree{{"fpga_manager", "fpga_manager/fpga0", "fpga_bridge"},
                   {{"fpga_manager/fpga0/name", "Altera SOCFPGA FPGA Manager\n"},
                    {"fpga_manager/fpga0/state",
                     sysfs == Sysfs::unconfigured ? "write init\n" : "operating\n"}}};
    // The bridges in the device tree's order, as they probe.
    const char *const bridges[] = {"lwhps2fpga", "hps2fpga", "fpga2hps"};
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string br = "fpga_bridge/br" + std::to_string(i);
        const bool disabled = sysfs == Sysfs::bridge_disabled && i == 0;
        tree.folders.push_back(br);
        tree.files.emplace_back(br + "/name", std::string(bridges[i]) + "\n");
        tree.files.emplace_back(br + "/state", disabled ? "disabled\n" : "enabled\n");
    }
    return tree;
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
