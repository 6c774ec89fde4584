#pragma once
// What became of each show: from its start to the pass that sees it off air, how long it was on
// and how much of it the recordings hold, and where the gaps fell. The open shows are kept in
// the data directory, so a restart in the middle of a show still reports it (and counts the
// restart as a gap, of no length when the recorder went on without us).
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vigilo {

enum class GapKind { LateStart, Stall, RecorderFailure, Restart, Stopped };
// The gap's kind in the log's words ("开播后才录", "断流", "录制失败", "程序重启", "停止录制").
const char* gapWord(GapKind kind);
// The kind as a word for JSON ("late_start", "stall", "recorder_failure", "restart", "stopped").
const char* gapName(GapKind kind);

// One recording file of a show. Times are seconds since 1970.
struct ShowFile {
    std::string name;
    std::int64_t startedAt = 0;
    double seconds = 0;  // its duration, by its own fragments
    // How its recorder ended: "" still running or let go when the program ended, else the
    // reason of recording_ended ("ended", "stalled", "failed", "stopped").
    std::string end;
};

struct ShowMark {
    GapKind kind = GapKind::Restart;  // Restart: the program started again; RecorderFailure: a recorder could not start
    std::int64_t at = 0;
};

struct ShowReport {
    std::string key, roomId, liveRoomId, nickname;
    std::int64_t startedAt = 0;    // the show's create_time; 0 unknown
    std::int64_t firstSeenAt = 0;  // the first pass that saw it live
    std::int64_t lastLiveAt = 0;   // the last sign it was on air (a pass, a recorder's end)
    std::vector<ShowFile> files;
    std::vector<ShowMark> marks;
};

struct ShowGap {
    GapKind kind = GapKind::LateStart;
    std::int64_t from = 0;
    double seconds = 0;
};

struct ShowSummary {
    std::int64_t start = 0, end = 0;
    double onAirSeconds = 0, recordedSeconds = 0;
    double share = 0;  // recorded / on air, at most 1
    std::vector<ShowGap> gaps;
    double gapSeconds = 0;
};

// Shorter stretches without a file are a recorder's start-up, not a gap.
inline constexpr double kMinGapSeconds = 3;

// The arithmetic of a report: the show runs from its start (its create time, else when it was
// first seen) to the last sign it was on air; each file covers its start plus its duration;
// what no file covers is a gap, of the kind of what happened there: a restart, else a recorder
// that could not start, else what ended the file before it (a stall or a stream that broke, a
// failure, a stop), else — before any file — a late start. A restart inside a recorded stretch
// is a gap of no length.
ShowSummary summarizeShow(const ShowReport& report);

// "01:02:03".
std::string clockText(double seconds);
// The log line's and the event's words for the gaps: "开播后才录 00:01:00、断流 00:00:20".
std::string gapsText(const ShowSummary& summary);

// The open shows by the room of their row, kept in a file rewritten (temporary file and
// rename) at each change. A leaf: its mutex is taken last and calls nothing that locks.
class ShowReports {
public:
    static constexpr std::size_t kMaxShows = 1000;
    explicit ShowReports(std::filesystem::path file);

    // Reads the file; each show still open gets a restart mark at `now`. Empty when read or
    // absent, else why not (the file is moved aside and the record starts empty).
    std::string load(std::int64_t now);

    // The show is live now. When the room had another show open, that one is over: it comes
    // back, to be reported.
    std::optional<ShowReport> liveSeen(const std::string& roomId, const std::string& key, const std::string& nickname,
                                       const std::string& liveRoomId, std::int64_t createTime, std::int64_t now);
    void recordingStarted(const std::string& roomId, const std::string& key, const std::string& file, std::int64_t now);
    void recordingEnded(const std::string& roomId, const std::string& file, double seconds, const std::string& end,
                        std::int64_t now);
    void recorderFailed(const std::string& roomId, const std::string& key, std::int64_t now);
    // The room's show is over: it comes back, to be reported, and is forgotten.
    std::optional<ShowReport> finish(const std::string& roomId);
    std::optional<ShowReport> open(const std::string& roomId) const;

private:
    ShowReport* findLocked(const std::string& roomId, const std::string& key);
    void saveLocked();

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    std::map<std::string, ShowReport> shows_;
};

}  // namespace vigilo
