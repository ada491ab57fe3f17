// SPDX-License-Identifier: MIT
#include "options.h"

#include <algorithm>
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

bool RegisterOptions::nothing_answers() const {
    return std::any_of(claims.begin(), claims.end(),
                       [](const auto &c) { return c && c->window == Window::nothing; });
}

namespace {

// The options that play the register with the FPGA design: each asks for it.
std::vector<Option> rtl_options(RegisterOptions &reg) {
    auto wants_rtl = [&reg](const std::string &option) {
        if (!reg.rtl) {
            reg.rtl.emplace();
            reg.claim(Decider::rtl, option, Window::block);
        }
        return &*reg.rtl;
    };
    return {
        {"--rtl", false, [wants_rtl](const std::string &) { wants_rtl("--rtl"); }},
        {"--volts", true,
         [wants_rtl](const std::string &value) {
             double volts = parse_volts(value);
             wants_rtl("--volts")->volts = volts;
         }},
        {"--fpga-reset", false,
         [wants_rtl](const std::string &) { wants_rtl("--fpga-reset")->fpga_reset = true; }},
        {"--converter", true,
         [wants_rtl](const std::string &value) {
             const Converter kinds[] = {Converter::sdo_low, Converter::sdo_high, Converter::asleep};
             const Converter kind =
                 kinds[one_of("--converter", value, {"sdo-low", "sdo-high", "asleep"})];
             wants_rtl("--converter")->converter = kind;
         }},
    };
}

// The options that say what else is at the register's address, and around it.
std::vector<Option> window_options(RegisterOptions &reg) {
    return {
        {"--reading", true,
         [&reg](const std::string &value) {
             reg.held = parse_reading(value);
             if (!reg.held)
                 refuse("--reading", value, "a reading from 0 to 4294967295");
             reg.claim(Decider::reading, "--reading", Window::held);
         }},
        {"--design", true,
         [&reg](const std::string &value) {
             const Design designs[] = {Design::other, Design::none};
             reg.design = designs[one_of("--design", value, {"other", "none"})];
             reg.claim(Decider::design, "--design " + value,
                       reg.design == Design::other ? Window::other_design : Window::nothing);
         }},
        {"--sysfs", true,
         [&reg](const std::string &value) {
             const Sysfs states[] = {Sysfs::ready, Sysfs::unconfigured, Sysfs::bridge_disabled};
             reg.sysfs =
                 states[one_of("--sysfs", value, {"ready", "unconfigured", "bridge-disabled"})];
             reg.claims.at(static_cast<std::size_t>(Decider::sysfs)).reset();
             if (reg.sysfs != Sysfs::ready)
                 reg.claim(Decider::sysfs, "--sysfs " + value, Window::nothing);
         }},
        {"--help", false, [&reg](const std::string &) { reg.help = true; }},
    };
}

// Takes the options in `args` up to the command, which starts at the index returned.
std::size_t take_options(const std::vector<std::string> &args, const std::vector<Option> &options) {
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string &word = args[i];
        if (word == "--")
            return i + 1;
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
    return i;
}

// Two options that put different things at the window, named in the deciders' order.
void check_window(const RegisterOptions &reg) {
    for (std::size_t i = 0; i < reg.claims.size(); ++i)
        for (std::size_t j = i + 1; j < reg.claims.size(); ++j) {
            const auto &first = reg.claims[i];
            const auto &second = reg.claims[j];
            if (first && second && first->window != second->window)
                throw UsageError(first->by + " and " + second->by + " cannot go together");
        }
}

} // namespace

std::vector<std::string> parse_options(const std::vector<std::string> &args, RegisterOptions &reg,
                                       const std::vector<Option> &own) {
    std::vector<Option> options = window_options(reg);
    const std::vector<Option> rtl = rtl_options(reg);
    options.insert(options.end(), rtl.begin(), rtl.end());
    options.insert(options.end(), own.begin(), own.end());
    const std::size_t command = take_options(args, options);
    check_window(reg);
    return {args.begin() + static_cast<std::ptrdiff_t>(command), args.end()};
}

} // namespace common
