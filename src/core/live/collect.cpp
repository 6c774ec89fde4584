#include "live/collect.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <system_error>
#include <tuple>

#include "live/recorder.h"
#include "sys/files.h"

namespace vigilo {

namespace fs = std::filesystem;

namespace {

// Moves `from` into `target` under its own name, else the first free name of `nickname`'s
// recordings; the name it got, or "" (errno set) when it could not be moved. A part of a split
// recording takes the first free name at once: the parts of a show become "<nickname>.mp4",
// "<nickname>-2.mp4", … in their order.
std::string moveUnderFreeName(const fs::path& from, const fs::path& target, const std::string& nickname, bool part) {
    // Its own name while that is free: a recording keeps the name it was shown under.
    const std::string own = from.filename().string();
    if (!part) {
        if (moveWithoutReplace(from, target / own)) return own;
        if (errno != EEXIST) return "";
    }
    std::error_code ec;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = uniqueRecordingName(nickname, [&](const std::string& candidate) {
            return fs::exists(fs::symlink_status(target / candidate, ec));
        });
        if (moveWithoutReplace(from, target / name)) return name;
        // Taken between the look and the move: the next free one.
        if (errno != EEXIST) return "";
    }
    errno = EEXIST;
    return "";
}

}  // namespace

StopRecordingReport collectRecordingFiles(const fs::path& dir, const fs::path& target, Millis busyBound,
                                          const std::map<std::string, std::string>& made) {
    using Clock = std::chrono::steady_clock;
    StopRecordingReport report;
    std::error_code ec;
    fs::create_directories(target, ec);
    std::vector<std::string> names = recordingFilesIn(dir);
    // Parts in their order (part999 before part1000), each after the others of its recording.
    const auto order = [](const std::string& name) {
        const std::optional<std::string> stem = stemOfRecordingPart(name);
        return std::tuple(stem ? *stem : name.substr(0, name.size() - 4), stem.has_value(), name.size(), name);
    };
    std::sort(names.begin(), names.end(),
              [&](const std::string& a, const std::string& b) { return order(a) < order(b); });
    for (const std::string& name : names) {
        const fs::path from = dir / name;
        const auto known = made.find(name);
        // Not ours: a user's own file, however it is named, is none of our business.
        if (known == made.end() && !recordingMarkOf(from)) continue;
        const Clock::time_point until = Clock::now() + busyBound;
        bool held = fileHeldOpen(from);
        while (held && Clock::now() < until) {
            delay(std::min<Millis>(Millis(500), busyBound));
            held = fileHeldOpen(from);
        }
        if (held) {
            report.leftOver.push_back(name + "（文件仍被占用）");
            continue;
        }
        // A recorder that never got a frame leaves a file nothing can play; collecting it would
        // pass an empty show off as a recording.
        if (recordingNeverStarted(from)) {
            fs::remove(from, ec);
            continue;
        }
        // A recording of an earlier run is named after its own stem (a part's without its number).
        const std::optional<std::string> partStem = stemOfRecordingPart(name);
        const std::string nickname = known != made.end() && !known->second.empty() ? known->second
                                     : partStem                                    ? *partStem
                                                                                   : name.substr(0, name.size() - 4);
        const std::string moved = moveUnderFreeName(from, target, nickname, partStem.has_value());
        if (!moved.empty())
            report.moved.push_back(moved);
        else
            report.leftOver.push_back(name + "（" + std::strerror(errno) + "）");
    }
    return report;
}

}  // namespace vigilo
