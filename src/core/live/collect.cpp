#include "live/collect.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "live/recorder.h"

namespace vigilo {

namespace fs = std::filesystem;

StopRecordingReport collectRecordingFiles(const fs::path& dir, const fs::path& target, Millis busyBound) {
    using Clock = std::chrono::steady_clock;
    StopRecordingReport report;
    std::error_code ec;
    fs::create_directories(target, ec);
    for (const std::string& name : recordingFilesIn(dir)) {
        const fs::path from = dir / name;
        if (fs::exists(fs::symlink_status(target / name, ec))) {
            report.leftOver.push_back(name + "（download中已有同名文件）");
            continue;
        }
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
        if (moveWithoutReplace(from, target / name))
            report.moved.push_back(name);
        else
            report.leftOver.push_back(name + "（" + std::strerror(errno) + "）");
    }
    return report;
}

}  // namespace vigilo
