#include "app/record.h"

#include <algorithm>

namespace vigilo {

namespace {

constexpr std::string_view kReportMiddle = "：有更新";
constexpr std::string_view kReportEnd = "条";
constexpr std::string_view kNoUpdate = "监控账号无更新";

bool isDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

LogLineClass classifyLogLine(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    LogLineClass out;
    // The countdown is the only line made of digits alone: every other line has words.
    if (isDigits(line)) {
        out.kind = LogLineKind::Countdown;
        return out;
    }
    if (line == kNoUpdate) {
        out.kind = LogLineKind::NoUpdate;
        return out;
    }
    if (line.size() > kReportEnd.size() && line.substr(line.size() - kReportEnd.size()) == kReportEnd) {
        const std::string_view head = line.substr(0, line.size() - kReportEnd.size());
        // The last marker: a nickname may itself hold "：有更新".
        const std::size_t at = head.rfind(kReportMiddle);
        if (at != std::string_view::npos) {
            std::string_view count = head.substr(at + kReportMiddle.size());
            const std::string_view digits = !count.empty() && count.front() == '-' ? count.substr(1) : count;
            if (isDigits(digits)) {
                out.kind = LogLineKind::Report;
                out.nickname = std::string(head.substr(0, at));
                out.count = std::string(count);
            }
        }
    }
    return out;
}

bool TerminalLogFilter::keep(std::string_view line) {
    const LogLineClass c = classifyLogLine(line);
    switch (c.kind) {
        case LogLineKind::Plain: return true;
        case LogLineKind::NoUpdate:
            // Said after a countdown: the next pass begins.
            passOpen_ = true;
            return false;
        case LogLineKind::Countdown:
            if (passOpen_) {
                passOpen_ = false;
                std::erase_if(printed_, [&](const auto& entry) { return !reportedThisPass_.contains(entry.first); });
                reportedThisPass_.clear();
            }
            return false;
        case LogLineKind::Report: {
            passOpen_ = true;
            reportedThisPass_.insert(c.nickname);
            auto [it, inserted] = printed_.try_emplace(c.nickname, c.count);
            if (inserted) return true;
            if (it->second == c.count) return false;
            it->second = c.count;
            return true;
        }
    }
    return true;
}

}  // namespace vigilo
