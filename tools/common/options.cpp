// SPDX-License-Identifier: MIT
#include "options.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace common {

std::vector<option> RegisterOptions::options(std::initializer_list<option> own) {
    std::vector<option> table{{"reading", required_argument, nullptr, 'r'},
                              {"rtl", no_argument, nullptr, 'R'},
                              {"volts", required_argument, nullptr, 'v'},
                              {"fpga-reset", no_argument, nullptr, 'F'},
                              {"help", no_argument, nullptr, 'h'}};
    table.insert(table.end(), own);
    table.push_back({});
    return table;
}

RegisterOptions::Taken RegisterOptions::take(int c, const char *value) {
    if (c == 'h') {
        help = true;
        return Taken::ok;
    }
    if (c == 'r') {
        held = parse_reading(value);
        return held ? Taken::ok : Taken::bad;
    }
    if (c != 'R' && c != 'v' && c != 'F')
        return Taken::other;
    if (!rtl)
        rtl.emplace();
    if (c == 'F')
        rtl->fpga_reset = true;
    if (c != 'v')
        return Taken::ok;
    char *end = nullptr;
    double volts = std::strtod(value, &end);
    if (!*value || *end || std::isnan(volts))
        return Taken::bad;
    rtl->volts = volts;
    return Taken::ok;
}

std::optional<std::uint32_t> parse_reading(const char *text) {
    char *end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(text, &end, 0);
    if (errno || *end || !*text || text[0] == '-' || n > UINT32_MAX)
        return std::nullopt;
    return static_cast<std::uint32_t>(n);
}

} // namespace common
