#pragma once
// Videos that could not be saved yet, kept in a file in the data directory so that a restart
// or a crash loses none of them. Every change rewrites the whole file through a temporary file
// and a rename.
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vigilo {

// A text as a JSON string; bytes that are no UTF-8 become U+FFFD rather than a broken file.
std::string jsonQuoted(const std::string& text);

struct PendingDownload {
    std::string id, desc, nickname, secUid, playAddress;
    std::int64_t firstTryMs = 0;  // wall clock, ms since 1970
    std::int64_t nextTryMs = 0;
    std::int64_t gapMs = 0;       // the gap before the next try; doubles after each failure
    int attempts = 0;             // tries that failed so far
    std::string lastError;
};

class PendingDownloads {
public:
    explicit PendingDownloads(std::filesystem::path file);

    // Reads the file; a missing or unreadable file gives an empty list.
    void load();
    // False when a download of that id is already listed.
    bool add(const PendingDownload& entry);
    // The entries due at `nowMs` that are not being tried; each is marked as being tried.
    std::vector<PendingDownload> takeDue(std::int64_t nowMs);
    // The outcome of a try handed out by takeDue: the entry is updated (and kept) or removed.
    void update(const PendingDownload& entry);
    void remove(const std::string& id);
    std::vector<PendingDownload> entries() const;
    bool contains(const std::string& id) const;

private:
    bool saveLocked() const;

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    std::vector<PendingDownload> entries_;
    std::vector<std::string> running_;  // ids being tried
};

}  // namespace vigilo
