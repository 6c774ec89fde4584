#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sys/unique_fd.h"

namespace vigilo {

// The activity log; each append reaches the log whole. Memory keeps the last kept lines only
// (a program watching thousands of accounts writes some 100 MB a day); with a file set, every
// appended byte also goes to that file, which is rotated by size.
class ActivityLog {
public:
    static constexpr std::size_t kKeptLines = 20000;
    static constexpr std::uintmax_t kFileRotateBytes = std::uintmax_t{10} << 20;
    static constexpr int kFilesKept = 5;

    explicit ActivityLog(std::size_t keptLines = kKeptLines);
    void appendLog(const std::string& text);
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
    void writeFileLocked(const std::string& text);
    bool openFileLocked();

    mutable std::mutex mutex_;
    const std::size_t keptLines_;
    std::string text_;
    std::size_t start_ = 0;              // text_ before this offset is no longer kept
    std::deque<std::size_t> lineEnds_;   // offsets just past each kept LF
    std::vector<std::pair<int, Observer>> observers_;
    int nextObserver_ = 1;

    std::filesystem::path file_;
    UniqueFd fd_;
    std::uintmax_t fileBytes_ = 0;
    std::uintmax_t rotateBytes_ = kFileRotateBytes;
    int filesKept_ = kFilesKept;
};

// The two-part status bar; part 0 is the fixed label, part 1 the status text.
class StatusBar {
public:
    void setText(int part, const std::string& text);
    std::string text(int part) const;
    using Observer = std::function<void(int part, const std::string& text)>;
    int addObserver(Observer observer);
    void removeObserver(int id);

private:
    mutable std::mutex mutex_;
    std::string parts_[2] = {"  监控状态", ""};
    std::vector<std::pair<int, Observer>> observers_;
    int nextObserver_ = 1;
};

}  // namespace vigilo
