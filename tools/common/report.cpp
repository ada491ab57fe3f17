// SPDX-License-Identifier: MIT
#include "report.h"

#include <charconv>
#include <vector>

namespace common {

namespace {

// The record's fields after its tag, if there are exactly `n` and each is a whole number:
// a record cut short or run together with another is not taken.
std::optional<std::vector<std::int64_t>> numbers(const std::string &record, std::size_t at,
                                                 std::size_t n) {
    std::vector<std::int64_t> values;
    while (at < record.size()) {
        if (record[at] != ' ')
            return std::nullopt;
        std::int64_t value = 0;
        const char *first = record.data() + at + 1;
        const char *last = record.data() + record.size();
        auto [end, error] = std::from_chars(first, last, value);
        if (error != std::errc() || end == first)
            return std::nullopt;
        values.push_back(value);
        at = static_cast<std::size_t>(end - record.data());
    }
    if (values.size() != n)
        return std::nullopt;
    return values;
}

} // namespace

std::string line_record(std::int64_t at_ns) {
    return "line " + std::to_string(at_ns) + "\n";
}

std::string waited_record(std::int64_t waited_ns) {
    return "waited " + std::to_string(waited_ns) + "\n";
}

std::string stamp_record(const Report &r) {
    return "stamp " + std::to_string(r.started_ns) + " " + std::to_string(r.ended_ns) + " " +
           std::to_string(r.cpu_us) + " " + std::to_string(r.rss_kib) + "\n";
}

Report parse_report(const std::string &text) {
    Report r;
    // Only whole records, each ended by its newline: what follows the last is cut short.
    for (std::size_t start = 0, nl = 0; (nl = text.find('\n', start)) != std::string::npos;
         start = nl + 1) {
        const std::string record = text.substr(start, nl - start);
        const std::string tag = record.substr(0, record.find(' '));
        if (tag == "ready" && record == tag) {
            r.ready = true;
        } else if (auto at = numbers(record, tag.size(), 1); tag == "line" && at) {
            r.lines_ns.push_back(at->front());
        } else if (auto waited = numbers(record, tag.size(), 1); tag == "waited" && waited) {
            if (r.lines_waited_ns.size() < r.lines_ns.size())
                r.lines_waited_ns.resize(r.lines_ns.size(), waited->front());
            else
                r.waited_ns = waited->front();
        } else if (auto status = numbers(record, tag.size(), 1);
                   tag == "status" && status && status->front() >= 0 && status->front() <= 255) {
            r.status = static_cast<int>(status->front());
        } else if (auto stamp = numbers(record, tag.size(), 4); tag == "stamp" && stamp) {
            r.stamped = true;
            r.started_ns = (*stamp)[0];
            r.ended_ns = (*stamp)[1];
            r.cpu_us = (*stamp)[2];
            r.rss_kib = static_cast<long>((*stamp)[3]);
        }
    }
    return r;
}

} // namespace common
