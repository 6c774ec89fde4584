#pragma once
// Collecting finished recordings into the download folder after "停止录制".
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/pacing.h"

namespace vigilo {

struct StopRecordingReport {
    std::vector<std::string> moved;     // file names now in download/ (the names they got there)
    std::vector<std::string> leftOver;  // file names that stayed behind, with the reason
};

// Moves every recording of ours in `dir` (not of its sub-folders) into `target`, created when
// missing. Ours: a name in `made` (file name → its owner's nickname: the names this run
// reserved), or a file carrying the mark of our recordings. Every other file, whatever its
// name, is left alone. A recording whose name is taken in `target` gets a free one there
// ("<nickname>-2.mp4", …): nothing is ever replaced. One that a process still holds open after
// `busyBound` stays and is reported; one that never got a frame is removed.
StopRecordingReport collectRecordingFiles(const std::filesystem::path& dir, const std::filesystem::path& target,
                                          Millis busyBound, const std::map<std::string, std::string>& made = {});

}  // namespace vigilo
