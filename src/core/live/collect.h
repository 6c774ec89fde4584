#pragma once
// Collecting finished recordings into the download folder after "停止录制".
#include <filesystem>
#include <string>
#include <vector>

#include "app/pacing.h"

namespace vigilo {

struct StopRecordingReport {
    std::vector<std::string> moved;     // file names now in download/
    std::vector<std::string> leftOver;  // file names that stayed behind, with the reason
};

// Moves every recording of `dir` (not of its sub-folders) into `target`, created when missing.
// A file is never replaced: one whose name is taken in `target` stays, and so does one that a
// process still holds open after `busyBound`; both are reported with the reason.
StopRecordingReport collectRecordingFiles(const std::filesystem::path& dir, const std::filesystem::path& target,
                                          Millis busyBound);

}  // namespace vigilo
