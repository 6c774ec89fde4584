#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sys/unique_fd.h"

namespace vigilo {

// The activity log; each append reaches the log whole. Memory keeps the last kept lines only
// (a program watching thousands of accounts writes some 100 MB a day); with a file set, every
// line but the countdown's digits also goes to that file, which is rotated by size. In the
// file each line begins with the full local time and its zone ("2026-12-11 09:14:56+08:00 "),
// whatever stamp the line itself carries, so it can be read days later.
class ActivityLog {
public:
    static constexpr std::size_t kKeptLines = 20000;
    static constexpr std::uintmax_t kFileRotateBytes = std::uintmax_t{10} << 20;
    static constexpr int kFilesKept = 5;

    explicit ActivityLog(std::size_t keptLines = kKeptLines);
    // An unfinished last line still reaches the file.
    ~ActivityLog();
    ActivityLog(const ActivityLog&) = delete;
    ActivityLog& operator=(const ActivityLog&) = delete;
    void appendLog(const std::string& text);
    // Lines for the file only (program start and exit, events, recordings collected, the
    // English detail of a failure): the window and the terminal have their own words for them.
    // Each line of `text` becomes one stamped line; nothing happens without a file.
    void record(const std::string& text);
    // The kept lines (the last keptLines lines ended by LF, and any unfinished line after them).
    std::string text() const;
    using Observer = std::function<void(const std::string& appended)>;
    int addObserver(Observer observer);  // runs under the log's mutex, in order
    void removeObserver(int id);

    // Appends every later line to `file` as well. When a line would take the file past
    // rotateBytes, the file becomes file.1 (file.1 becomes file.2 …, the one past filesKept
    // goes) and a new file starts. A file that cannot be written costs the file's copy only.
    bool setFile(const std::filesystem::path& file, std::uintmax_t rotateBytes = kFileRotateBytes,
                 int filesKept = kFilesKept);

private:
    void trimLocked();
    void fileAppendLocked(const std::string& text);
    void writeStampedLocked(std::string_view line);
    void writeFileLocked(const std::string& text);
    bool openFileLocked();

    mutable std::mutex mutex_;
    const std::size_t keptLines_;
    std::string text_;
    std::size_t start_ = 0;             // text_ before this offset is no longer kept
    std::deque<std::size_t> lineEnds_;  // offsets just past each kept LF
    std::vector<std::pair<int, Observer>> observers_;
    int nextObserver_ = 1;

    std::filesystem::path file_;
    UniqueFd fd_;
    std::uintmax_t fileBytes_ = 0;
    std::string filePending_;  // the start of a line whose end has not been appended yet
    std::uintmax_t rotateBytes_ = kFileRotateBytes;
    int filesKept_ = kFilesKept;
};

// The two-part status bar; part 0 is the fixed label, part 1 the status text.
class StatusBar {
public:
    // Service: what the request budget says of a host that refuses (none while all answer).
    enum class Monitor { Works, Live, Service };
    void setText(int part, const std::string& text);
    // Each monitor has its own word in part 1, so the one started last does not hide the
    // other: "视频监控中…… 直播录制中……". A word set with setText(1, …) clears both.
    void setMonitorText(Monitor monitor, const std::string& text);
    std::string text(int part) const;
    using Observer = std::function<void(int part, const std::string& text)>;
    int addObserver(Observer observer);
    void removeObserver(int id);

private:
    mutable std::mutex mutex_;
    void publishLocked(int part);

    std::string parts_[2] = {"  监控状态", ""};
    std::string monitors_[3];
    std::vector<std::pair<int, Observer>> observers_;
    int nextObserver_ = 1;
};

}  // namespace vigilo
