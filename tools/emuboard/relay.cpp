// SPDX-License-Identifier: MIT
#include "relay.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace emuboard {

Tail::Tail(const std::string &path, int to) : path_(path), to_(to) {
    while ((from_ = open(path.c_str(), O_RDONLY | O_CLOEXEC)) == -1 && errno == EINTR) {
    }
    if (from_ == -1)
        throw Error("cannot read " + path + ": " + std::strerror(errno));
}

Tail::~Tail() {
    close(from_);
}

void Tail::pass_on() {
    char buf[65536];
    for (;;) {
        const ssize_t n = read(from_, buf, sizeof buf);
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1)
            throw Error("cannot read " + path_ + ": " + std::strerror(errno));
        if (n == 0) // the end, for now: the file grows on
            return;
        if (!common::write_all(to_, std::string(buf, static_cast<std::size_t>(n))))
            throw Error(std::string("cannot pass the command's ") +
                        (to_ == 1 ? "output" : "errors") + " on: " + std::strerror(errno));
    }
}

void relay(const Machine &machine, const std::atomic<bool> &done,
           const std::function<void()> &started, common::Failure &failure) {
    try {
        Tail out(machine.port_file("out"), 1);
        Tail err(machine.port_file("err"), 2);
        for (bool up = false;; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            // Once the machine is off, its files are whole: what is read next is the last.
            const bool last = done;
            if (!up && machine.started()) {
                up = true;
                started();
            }
            out.pass_on();
            err.pass_on();
            if (last)
                return;
        }
    } catch (const std::exception &e) {
        failure.fail(e.what());
    }
}

} // namespace emuboard
