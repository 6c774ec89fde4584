#pragma once
// What of the activity log goes into the records people read later (the terminal, the journal,
// vigilo.log). The window shows every line; the works monitor's countdown and its unchanged
// reports repeat every few seconds and would bury the lines that matter.
#include <map>
#include <set>
#include <string>
#include <string_view>

namespace vigilo {

enum class LogLineKind {
    Plain,
    Countdown,  // "9" … "0", one a second
    NoUpdate,   // "监控账号无更新"
    Report,     // "<nickname>：有更新N条"
};

struct LogLineClass {
    LogLineKind kind = LogLineKind::Plain;
    std::string nickname;  // Report only
    std::string count;     // Report only, as written ("3", "-1")
};

// `line` without its line end.
LogLineClass classifyLogLine(std::string_view line);

// The terminal's (and so the journal's) choice: no countdown, no "监控账号无更新", and an
// account's report only when its counter differs from the one last printed for it. A pass over
// the accounts ends where its countdown begins; an account that pass did not report has a
// counter of 0 again, so its next report is printed.
class TerminalLogFilter {
public:
    bool keep(std::string_view line);

private:
    std::map<std::string, std::string> printed_;  // nickname -> count last printed
    std::set<std::string> reportedThisPass_;
    bool passOpen_ = true;
};

}  // namespace vigilo
