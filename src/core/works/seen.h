#pragma once
// What the works monitor has seen of each account, kept in the data directory across runs, so
// that the posts made while the program was down are told apart from an account's back
// catalogue. Changes are collected in memory and written by save() only when something
// changed: a small record whole, through a temporary file and a rename; a large one by
// appending the changed accounts to a journal beside it (seen-posts.journal), folded into the
// whole file once the journal is a few times its size and at the last save. A line cut short
// by a kill is skipped when the journal is read back.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "works/decision.h"

namespace vigilo {

struct SeenAccount {
    std::vector<std::string> ids;    // newest first, at most SeenPosts::kMaxIds
    std::string postCount;           // as the profile gave it
    std::int64_t watchingSince = 0;  // unix seconds: the account's first registration ever
    std::int64_t updatedAt = 0;      // unix seconds: the last change
};

class SeenPosts {
public:
    // As many as one post list can hold: an id further down can come back into a list only
    // after that many deletions.
    static constexpr std::size_t kMaxIds = 50;
    static constexpr std::size_t kMaxAccounts = 5000;
    // 5000 accounts of 50 ids each stay well below this.
    static constexpr std::uintmax_t kMaxFileBytes = 32u << 20;
    // Below this the record is rewritten whole: a journal would save next to nothing.
    static constexpr std::size_t kWholeBelowBytes = 64u << 10;
    // The journal is folded into the whole file once it is this many times as large.
    static constexpr std::uintmax_t kJournalPerWhole = 4;

    explicit SeenPosts(std::filesystem::path file);

    // Reads the file. Empty when it was read or is absent; else why it was ignored (the record
    // then starts empty, as if there were no file).
    std::string load();
    std::optional<SeenAccount> find(const std::string& secUid) const;
    // The ids of a post list (newest first) and the count shown with it. `nowSeconds` starts the
    // account's watch when it is new to the record.
    void record(const std::string& secUid, const std::vector<std::string>& listedIds, const std::string& postCount,
                std::int64_t nowSeconds);
    // Writes what changed since the last write. `beforeWrite` runs once the changes are taken
    // and before any byte of them is written; when it fails nothing is written. `whole`: the
    // journal is folded into the whole file now. False when a write failed (it is tried again
    // by the next call).
    bool save(const std::function<bool()>& beforeWrite = {}, bool whole = false);
    std::size_t size() const;
    std::filesystem::path journalFile() const { return journal_; }

private:
    // Appends a block of whole lines; a write cut short is taken back, so the next append never
    // continues a broken line.
    bool appendJournal(const std::string& lines);

    std::filesystem::path file_;
    std::filesystem::path journal_;
    mutable std::mutex mutex_;
    std::map<std::string, SeenAccount> accounts_;
    std::set<std::string> changed_;  // accounts not yet written since their last change
    bool wholeDue_ = false;          // the next write is of the whole record
    std::uint64_t sequence_ = 0;     // of the last journal line; the whole file holds up to it
    std::uintmax_t wholeBytes_ = 0;
    std::uintmax_t journalBytes_ = 0;
    std::mutex saveMutex_;  // one write at a time, outside mutex_
};

}  // namespace vigilo
