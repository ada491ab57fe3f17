// SPDX-License-Identifier: MIT
// The relay of the command's output off the emulated board. The guest writes the command's
// standard output and error to console ports, which qemu-system-arm appends to files here;
// the relay passes on what each file gains as it gains it, reading each byte once.
#pragma once

#include "failure.h"
#include "machine.h"

#include <atomic>
#include <functional>
#include <string>

namespace emuboard {

// A file that another process appends to, passed on to a descriptor as it grows.
class Tail {
  public:
    Tail(const std::string &path, int to); // throws Error if the file cannot be opened
    ~Tail();
    Tail(const Tail &) = delete;
    Tail &operator=(const Tail &) = delete;

    // Passes on what the file has gained since the last call; throws Error if it cannot.
    void pass_on();

  private:
    std::string path_;
    int from_ = -1;
    int to_;
};

// Passes the command's standard output on to descriptor 1 and its errors to 2, every 20 ms
// until `done`, and then what is left. Runs `started` once, when the command is about to
// start. A failure to read or to pass on goes to `failure`.
void relay(const Machine &machine, const std::atomic<bool> &done,
           const std::function<void()> &started, common::Failure &failure);

} // namespace emuboard
