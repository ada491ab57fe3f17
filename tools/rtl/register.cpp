// SPDX-License-Identifier: MIT
#include "register.h"

namespace rtl {

Register::Register(common::Board *board, const common::RegisterOptions &options,
                   common::Failure &failure)
    : board_(options.nothing_answers() ? nullptr : board), options_(options), failure_(failure) {
    if (!board_)
        return;
    if (options.design == common::Design::other)
        board_->set_words(common::other_design_words());
    else if (options.rtl)
        cosim_.emplace(*board_, *options.rtl, failure);
    else
        board_->set_reading(options.held.value_or(common::discharged(0)));
}

void Register::command_starts() {
    if (cosim_)
        cosim_->command_starts();
    else if (board_ && !options_.held && options_.design == common::Design::battery_adc)
        battery_.emplace(*board_, failure_);
}

std::vector<std::string> Register::said() const {
    if (!cosim_)
        return {};
    std::vector<std::string> lines{cosim_->summary()};
    if (const std::string breaches = cosim_->breaches(); !breaches.empty())
        lines.push_back("the converter's model saw: " + breaches);
    return lines;
}

} // namespace rtl
