#pragma once
// Every new post whose video is not saved yet, kept in a file in the data directory so that a
// stop, a restart or a crash loses none of them. A post is listed before its download starts
// and leaves the list once its file is in place. The file is rewritten whole, through a
// temporary file and a rename, at most once a second (flushIfDue), and at once when a download
// is about to start whose entry is not on disk yet (ensureWritten).
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "works/answers.h"

namespace vigilo {

// A text as a JSON string; bytes that are no UTF-8 become U+FFFD rather than a broken file.
std::string jsonQuoted(const std::string& text);

struct PendingDownload {
    std::string id, desc, nickname, secUid, playAddress;
    std::int64_t firstTryMs = 0;  // wall clock, ms since 1970: when the post was listed
    std::int64_t nextTryMs = 0;   // 0: at once
    std::int64_t gapMs = 0;       // the gap before the next try; doubles after each failure
    int attempts = 0;             // tries that failed so far
    std::string lastError;
    bool resumed = false;  // read back from the file at start (not stored)
    // What the post said, for the files written beside its video.
    std::string coverAddress, uid, author;
    std::int64_t createTime = 0;
    PostStatistics statistics;
    // The video and its description are saved; only the cover is left to fetch.
    bool coverOnly = false;

    // Downloads of one account run one at a time.
    std::string account() const { return secUid.empty() ? "nickname:" + nickname : secUid; }
};

class PendingDownloads {
public:
    static constexpr std::size_t kMaxEntries = 10000;
    // Read back, a count of failed tries beyond this is taken as this.
    static constexpr int kMaxAttempts = 1000;
    static constexpr std::uintmax_t kMaxFileBytes = 64u << 20;
    static constexpr std::chrono::milliseconds kWriteGap{1000};

    explicit PendingDownloads(std::filesystem::path file);

    struct LoadResult {
        std::string problem;                   // empty when the file was read or is absent
        std::string movedTo;                   // the name an unreadable file was renamed to ("" if it stayed)
        std::vector<PendingDownload> givenUp;  // beyond the cap
    };
    // Reads the file. An unreadable one is renamed aside, never overwritten.
    LoadResult load(std::int64_t nowMs);
    // False when a download of that id is already listed. `givenUp` receives the oldest
    // entries that made room when the list was full.
    bool add(const PendingDownload& entry, std::vector<PendingDownload>* givenUp = nullptr);
    // The entries to start now, newest first: due, not running, of an account with no download
    // running, at most `slots` of them. Each is marked as running.
    std::vector<PendingDownload> takeNext(std::int64_t nowMs, int slots);
    // The outcome of a try handed out by takeNext: the entry is updated (and kept) or removed;
    // release() keeps it unchanged (a stopped try).
    void update(const PendingDownload& entry);
    // The entry changes and stays marked as running (a try moving on to its next file).
    void amend(const PendingDownload& entry);
    // That entry, marked as running, when it is listed, not running and its account has no
    // download running.
    std::optional<PendingDownload> take(const std::string& id);
    // Whether takeNext would hand out something now (nothing is marked).
    bool anyDue(std::int64_t nowMs, int slots) const;
    void remove(const std::string& id);
    void release(const std::string& id);
    int running() const;

    // Writes the file now when an entry is not on disk yet. False when the write failed.
    bool ensureWritten();
    // Writes the file when it changed and the last write is a second old; `force`: whenever
    // it changed.
    bool flushIfDue(bool force = false);

    std::vector<PendingDownload> entries() const;
    bool contains(const std::string& id) const;
    // Whole rewrites of the file so far.
    std::uint64_t writes() const;

private:
    bool write(std::unique_lock<std::mutex>& lock);

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    std::vector<PendingDownload> entries_;
    std::map<std::string, std::string> running_;  // id -> account
    bool changed_ = false;
    bool unwritten_ = false;  // an entry was added since the last write
    std::chrono::steady_clock::time_point lastWrite_{};
    std::uint64_t writes_ = 0;
    std::mutex writeMutex_;  // one write at a time, outside mutex_
};

}  // namespace vigilo
