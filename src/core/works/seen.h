#pragma once
// What the works monitor has seen of each account, kept in the data directory across runs, so
// that the posts made while the program was down are told apart from an account's back
// catalogue. Changes are collected in memory and written by save(), through a temporary file
// and a rename, only when something changed.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "works/decision.h"

namespace vigilo {

struct SeenAccount {
    std::vector<std::string> ids;     // newest first, at most SeenPosts::kMaxIds
    std::string postCount;            // as the profile gave it
    std::int64_t watchingSince = 0;   // unix seconds: the account's first registration ever
    std::int64_t updatedAt = 0;       // unix seconds: the last change
};

class SeenPosts {
public:
    // As many as one post list can hold: an id further down can come back into a list only
    // after that many deletions.
    static constexpr std::size_t kMaxIds = 50;
    static constexpr std::size_t kMaxAccounts = 5000;
    // 5000 accounts of 50 ids each stay well below this.
    static constexpr std::uintmax_t kMaxFileBytes = 32u << 20;

    explicit SeenPosts(std::filesystem::path file);

    // Reads the file. Empty when it was read or is absent; else why it was ignored (the record
    // then starts empty, as if there were no file).
    std::string load();
    std::optional<SeenAccount> find(const std::string& secUid) const;
    // The ids of a post list (newest first) and the count shown with it. `nowSeconds` starts the
    // account's watch when it is new to the record.
    void record(const std::string& secUid, const std::vector<std::string>& listedIds, const std::string& postCount,
                std::int64_t nowSeconds);
    // Writes the file when something changed since the last write. False when a write failed
    // (it is tried again by the next call).
    bool save();
    std::size_t size() const;

private:
    std::filesystem::path file_;
    mutable std::mutex mutex_;
    std::map<std::string, SeenAccount> accounts_;
    bool changed_ = false;
    std::mutex saveMutex_;  // one write at a time, outside mutex_
};

}  // namespace vigilo
