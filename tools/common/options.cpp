// SPDX-License-Identifier: MIT
#include "options.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <iostream>

namespace common {

namespace {

[[noreturn]] void refuse(const std::string &option, const std::string &value,
                         const std::string &is_not) {
    throw UsageError(option + ": '" + value + "' is not " + is_not);
}

double parse_volts(const std::string &value) {
    if (value.empty() || std::isspace(static_cast<unsigned char>(value[0])))
        refuse("--volts", value, "a number of volts");
    char *end = nullptr;
    double volts = std::strtod(value.c_str(), &end);
    if (*end || !std::isfinite(volts))
        refuse("--volts", value, "a number of volts");
    return volts;
}

} // namespace

std::optional<std::uint32_t> parse_reading(const std::string &text) {
    // Decimal, or hex after 0x: a leading zero is a digit like another, never octal.
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || !(hex ? std::isxdigit(static_cast<unsigned char>(digits[0]))
                                : std::isdigit(static_cast<unsigned char>(digits[0]))))
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(digits.c_str(), &end, hex ? 16 : 10);
    if (errno || *end || n > UINT32_MAX)
        return std::nullopt;
    return static_cast<std::uint32_t>(n);
}

int usage_mistake(const std::string &board, const UsageError &mistake) {
    std::cerr << board << ": " << mistake.what() << "\nTry '" << board
              << " --help' for more information.\n";
    return 2;
}

std::size_t one_of(const std::string &option, const std::string &value,
                   const std::vector<std::string> &names) {
    std::string all;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (value == names[i])
            return i;
        if (i > 0)
            all += i + 1 == names.size() ? " or " : ", ";
        all += names[i];
    }
    refuse(option, value, "one of " + all);
}

std::vector<std::string> parse_options(const std::vector<std::string> &args, RegisterOptions &reg,
                                       const std::vector<Option> &own) {
    auto wants_rtl = [&reg](const std::string &option) {
        if (!reg.rtl) {
            reg.rtl.emplace();
            reg.rtl_by = option;
        }
    };
    std::vector<Option> options{
        {"--reading", true,
         [&reg](const std::string &value) {
             reg.held = parse_reading(value);
             if (!reg.held)
                 refuse("--reading", value, "a reading from 0 to 4294967295");
         }},
        {"--rtl", false, [&wants_rtl](const std::string &) { wants_rtl("--rtl"); }},
        {"--volts", true,
         [&reg, &wants_rtl](const std::string &value) {
             double volts = parse_volts(value);
             wants_rtl("--volts");
             reg.rtl->volts = volts;
         }},
        {"--fpga-reset", false,
         [&reg, &wants_rtl](const std::string &) {
             wants_rtl("--fpga-reset");
             reg.rtl->fpga_reset = true;
         }},
        {"--help", false, [&reg](const std::string &) { reg.help = true; }},
    };
    options.insert(options.end(), own.begin(), own.end());

    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string &word = args[i];
        if (word == "--") {
            ++i;
            break;
        }
        if (word.size() < 2 || word[0] != '-')
            break;
        const std::size_t equals = word.find('=');
        const std::string name = word.substr(0, equals);
        const Option *option = nullptr;
        for (const auto &o : options)
            if (o.name == name)
                option = &o;
        if (!option)
            throw UsageError(name + ": no such option");
        std::string value;
        if (equals != std::string::npos) {
            if (!option->takes_value)
                throw UsageError(name + ": takes no value");
            value = word.substr(equals + 1);
        } else if (option->takes_value) {
            if (++i == args.size())
                throw UsageError(name + ": needs a value");
            value = args[i];
        }
        option->take(value);
    }
    if (reg.held && reg.rtl)
        throw UsageError("--reading and " + reg.rtl_by + " cannot go together");
    return {args.begin() + static_cast<std::ptrdiff_t>(i), args.end()};
}

} // namespace common
