#pragma once
// Keeping the disk from filling with old files, when the user asks for it (VIGILO_KEEP_DAYS):
// the collected recordings in download/ and the downloaded videos in 下载/<nickname>/ (with the
// description and cover beside each) older than that many days are removed, oldest first, one
// log line each. Only files this program wrote are looked at: in download/ the .mp4 files that
// carry our recordings' mark, in 下载/ the "<id>-<description>.mp4" videos one folder down and
// the .json and .jpg of the same name. A recording in progress is never among them: recorders
// write in the data directory itself, and a file being written is not days old.
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "app/context.h"
#include "text/timefmt.h"

namespace vigilo {

// The days to keep from VIGILO_KEEP_DAYS: nothing when unset or empty; a text that is no
// positive number is nothing too, and `problem` says so.
std::optional<double> keepDaysFromEnvironment(std::string* problem = nullptr);

class Retention {
public:
    static constexpr std::chrono::hours kEvery{1};

    // With keepDays, sweeps at once and then every `every` on a thread of its own; without, does
    // nothing. `clock` tells the time the files' ages are counted against.
    Retention(AppContext& ctx, std::optional<double> keepDays, WallClock clock = {},
              std::chrono::milliseconds every = kEvery);
    // Stops and joins the thread (a sweep in progress finishes the file it is at).
    ~Retention();
    Retention(const Retention&) = delete;
    Retention& operator=(const Retention&) = delete;

    // One sweep on the calling thread: the paths removed (sidecars included), oldest first.
    std::vector<std::filesystem::path> sweep();

private:
    void run(std::stop_token stop);

    AppContext& ctx_;
    const std::optional<double> keepDays_;
    const WallClock clock_;
    const std::chrono::milliseconds every_;
    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::jthread thread_;
};

}  // namespace vigilo
