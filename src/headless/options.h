#pragma once
// The terminal front end's command line: its options, their checks and the help text.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/settings.h"

namespace vigilo::headless {

constexpr int kExitUsage = 2;
constexpr int kExitNotStarted = 1;
constexpr int kExitUpdate = 3;

extern const char* const kUsage;

struct Options {
    bool help = false;
    bool version = false;
    std::string accountsFile;  // empty: the link-box file
    std::string roomsFile;
    std::string statusJson;  // empty: none
    std::optional<double> durationSeconds;
    std::optional<int> livePeriodMinutes;  // 0: passes paused
    bool verbose = false;
    bool notifyTest = false;
    std::vector<std::string> notifyOnlyRooms;
    std::vector<std::string> recordRooms;
    std::optional<RecordQuality> quality;
    std::optional<int> splitMinutes;  // 0: one file
    std::string web;                  // empty: VIGILO_WEB decides
};

// Returns the error text, or "" when the arguments are fine.
std::string parseOptions(int argc, char** argv, Options& options);

// A link list given on the command line, as the link box would hold it: UTF-8 or GBK, without
// a byte order mark, with CR LF line ends.
std::optional<std::string> readLinkList(const std::filesystem::path& path, std::string& error);

}  // namespace vigilo::headless
