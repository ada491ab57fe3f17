// SPDX-License-Identifier: MIT
#include "report.h"

#include <sstream>

namespace common {

std::string line_record(std::int64_t at_ns) {
    return "line " + std::to_string(at_ns) + "\n";
}

std::string stamp_record(const Report &r) {
    return "stamp " + std::to_string(r.started_ns) + " " + std::to_string(r.ended_ns) + " " +
           std::to_string(r.cpu_us) + " " + std::to_string(r.rss_kib) + "\n";
}

Report parse_report(const std::string &text) {
    Report r;
    std::istringstream in(text);
    for (std::string record; std::getline(in, record);) {
        std::istringstream words(record);
        std::string tag;
        words >> tag;
        if (std::int64_t at = 0; tag == "line" && words >> at)
            r.lines_ns.push_back(at);
        else if (int status = 0; tag == "status" && words >> status)
            r.status = status;
        else if (tag == "stamp")
            r.stamped =
                static_cast<bool>(words >> r.started_ns >> r.ended_ns >> r.cpu_us >> r.rss_kib);
        else if (tag == "ready")
            r.ready = true;
    }
    return r;
}

} // namespace common
