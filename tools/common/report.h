// SPDX-License-Identifier: MIT
// The report of a command's run: what board-stamp writes on a descriptor of its own, and
// the emulated board's /init around it (ready, status). One record a line, one parser.
//
//   ready                             the emulated board is up; the command starts now
//   line NS                           a line of the command's output came (--lines)
//   waited NS                         how long the command had waited for a processor by
//                                     the lines before it that have none yet; or, with
//                                     none such, by its exit
//   stamp START END CPU-US RSS-KIB    the command's exec and exit, its CPU time and memory
//   status N                          how the command ended, as a shell reports it
//
// NS, START and END are CLOCK_MONOTONIC in nanoseconds: the same clock in every process of
// one machine, so a test or the benchmark can time a command from its own exec.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace common {

struct Report {
    bool ready = false;
    // Deques, here and in the runner: growing a vector of 64-bit elements makes GCC for ARM
    // note a change of calling convention since GCC 7 in libstdc++'s own code.
    std::deque<std::int64_t> lines_ns;
    // The command's time on a run queue, ready but not running (the machine's load), by
    // each line and by its exit; 0 where the kernel keeps no account of it.
    std::deque<std::int64_t> lines_waited_ns;
    std::int64_t waited_ns = 0;
    bool stamped = false;        // whether the stamp below came
    std::int64_t started_ns = 0; // just before the command's exec
    std::int64_t ended_ns = 0;   // as soon as its wait returned
    std::int64_t cpu_us = 0;     // user and system time of the command and its waited children
    long rss_kib = 0;            // the largest peak resident memory among them
    std::optional<int> status;
};

std::string line_record(std::int64_t at_ns);
std::string waited_record(std::int64_t waited_ns);
std::string stamp_record(const Report &r);

// Takes each whole record: one ended by its newline, with its tag and exactly its fields,
// each a whole number. Records of other kinds, or cut short, or malformed, are passed over.
Report parse_report(const std::string &text);

} // namespace common
