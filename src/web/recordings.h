#pragma once
// The recordings the page lists and serves: the running ones and those left in the data
// directory, and the collected ones in download/. A file is named to the page by an id made
// from where it lies; a request names the id, never a path, and only a regular file found by
// this listing (no link, nothing outside those two folders) is ever opened.
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/paths.h"
#include "live/recorderset.h"

namespace vigilo::web {

struct RecordingFile {
    std::string id;
    std::string name;   // the file's name
    std::string place;  // "running", "left" (in the data directory, not recording) or "collected"
    std::filesystem::path path;
    std::uintmax_t size = 0;
    std::int64_t modified = 0;       // seconds since 1970
    std::optional<double> duration;  // seconds
    std::string nickname;            // of a running recording
};

// The playing time of an MP4 file (plain or fragmented, as ffmpeg writes while recording):
// the movie header's duration, or the sum of the fragments' sample durations of the longest
// track. nullopt when the file holds no usable header.
std::optional<double> mp4Duration(const std::filesystem::path& file);

class RecordingList {
public:
    // Every recording now, newest first. Durations are read once per file version (size and
    // time) and kept.
    std::vector<RecordingFile> list(const Paths& paths, const std::vector<RecorderInfo>& running);
    std::optional<RecordingFile> find(const Paths& paths, const std::vector<RecorderInfo>& running,
                                      const std::string& id);

private:
    std::vector<RecordingFile> scan(const Paths& paths, const std::vector<RecorderInfo>& running);
    struct Known {
        std::uintmax_t size;
        std::int64_t modified;
        std::optional<double> duration;
    };
    std::mutex mutex_;
    std::map<std::string, Known> durations_;
};

}  // namespace vigilo::web
