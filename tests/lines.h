// SPDX-License-Identifier: MIT
// The tool's lines, as the cases on both boards expect them.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

inline std::string line(std::uint32_t reading) {
    return "Battery voltage is: " + std::to_string(reading) + "\n";
}

inline std::string ten_lines(std::uint32_t reading) {
    std::string all;
    for (int i = 0; i < 10; ++i)
        all += line(reading);
    return all;
}

// What a board with the FPGA design behind its register said on standard error at the
// end: how many clocks the design ran and how many conversions of the battery it made.
struct CosimCounts {
    unsigned long long clocks = 0, conversions = 0;
    bool said = false;
};

inline CosimCounts cosim_counts(const std::string &errors, const std::string &board) {
    CosimCounts counts;
    const std::string start = board + ": the FPGA design ran ";
    const std::string middle = " clocks and converted the battery ";
    auto at = errors.find(start);
    if (at == std::string::npos)
        return counts;
    const char *text = errors.c_str() + at + start.size();
    char *end = nullptr;
    counts.clocks = std::strtoull(text, &end, 10);
    if (end == text ||
        errors.compare(static_cast<std::size_t>(end - errors.c_str()), middle.size(), middle) != 0)
        return counts;
    text = end + middle.size();
    counts.conversions = std::strtoull(text, &end, 10);
    counts.said = end != text && std::string(end).rfind(" times\n", 0) == 0;
    return counts;
}
