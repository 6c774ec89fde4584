#include "works/pending.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "app/aside.h"
#include "app/linkfile.h"
#include "text/jsondoc.h"

namespace vigilo {
namespace {

bool sameId(const PendingDownload& e, const std::string& id) { return e.id == id; }

std::int64_t clampMs(double value, std::int64_t low, std::int64_t high) {
    if (!(value >= static_cast<double>(low))) return low;
    if (value >= static_cast<double>(high)) return high;
    return static_cast<std::int64_t>(value);
}

}  // namespace

std::string jsonQuoted(const std::string& text) {
    // Ids, counts and most addresses are plain ASCII that needs no escape: quoted as they are.
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f && c != '"' && c != '\\'; }))
        return '"' + text + '"';
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

PendingDownloads::PendingDownloads(std::filesystem::path file) : file_(std::move(file)) {}

PendingDownloads::LoadResult PendingDownloads::load(std::int64_t nowMs) {
    LoadResult result;
    std::error_code ec;
    if (!std::filesystem::exists(file_, ec)) return result;
    const auto size = std::filesystem::file_size(file_, ec);
    std::string text;
    JsonDoc doc;
    if (ec) {
        result.problem = "unreadable: " + ec.message();
    } else if (size > kMaxFileBytes) {
        result.problem = "larger than " + std::to_string(kMaxFileBytes >> 20) + " MB";
    } else {
        std::ifstream in(file_, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof())
            result.problem = "unreadable";
        else if (!doc.parse(text))
            result.problem = "not JSON";
        else if (doc.typeOf("['downloads']") != 5)
            result.problem = "no list of downloads";
    }
    if (!result.problem.empty()) {
        // Kept for the user; the next write starts a new file.
        result.movedTo = moveAside(file_);
        return result;
    }
    std::vector<PendingDownload> read;
    const int n = doc.count("['downloads']");
    for (int i = 0; i < n; ++i) {
        const std::string at = "['downloads'][" + std::to_string(i) + "]";
        PendingDownload e;
        e.id = doc.getText(at + "['id']");
        if (e.id.empty()) continue;
        if (std::any_of(read.begin(), read.end(), [&](const auto& x) { return sameId(x, e.id); })) continue;
        e.desc = doc.getText(at + "['desc']");
        e.nickname = doc.getText(at + "['nickname']");
        e.secUid = doc.getText(at + "['sec_uid']");
        e.playAddress = doc.getText(at + "['play_address']");
        // A time from the future would keep an entry from ever being given up.
        e.firstTryMs = clampMs(doc.getNumber(at + "['first_try_ms']"), 0, nowMs);
        e.nextTryMs = clampMs(doc.getNumber(at + "['next_try_ms']"), 0, nowMs + (std::int64_t{86400000} * 2));
        e.gapMs = clampMs(doc.getNumber(at + "['gap_ms']"), 0, std::int64_t{86400000});
        e.attempts = static_cast<int>(clampMs(doc.getNumber(at + "['attempts']"), 0, kMaxAttempts));
        e.lastError = doc.getText(at + "['last_error']");
        e.coverAddress = doc.getText(at + "['cover_address']");
        e.uid = doc.getText(at + "['uid']");
        e.author = doc.getText(at + "['author']");
        e.createTime = clampMs(doc.getNumber(at + "['create_time']"), 0, std::int64_t{1} << 40);
        std::int64_t* counts[] = {&e.statistics.likes, &e.statistics.comments, &e.statistics.shares,
                                  &e.statistics.plays, &e.statistics.collects};
        for (int k = 0; k < 5; ++k) {
            const std::string path = at + "['statistics'][" + std::to_string(k) + "]";
            *counts[k] = doc.typeOf(path) == 2 ? clampMs(doc.getNumber(path), -1, std::int64_t{1} << 53) : -1;
        }
        e.coverOnly = doc.typeOf(at + "['cover_only']") == 1 && doc.getText(at + "['cover_only']") == "true";
        e.resumed = true;
        read.push_back(std::move(e));
    }
    std::lock_guard lock(mutex_);
    entries_ = std::move(read);
    // The oldest make room, as they would have when they were added.
    while (entries_.size() > kMaxEntries) {
        auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                       [](const auto& a, const auto& b) { return a.firstTryMs < b.firstTryMs; });
        result.givenUp.push_back(*oldest);
        entries_.erase(oldest);
        changed_ = true;
    }
    return result;
}

bool PendingDownloads::write(std::unique_lock<std::mutex>& lock) {
    std::string out = "{\"downloads\":[";
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const PendingDownload& e = entries_[i];
        if (i) out += ",";
        out += "\n{\"id\":" + jsonQuoted(e.id) + ",\"desc\":" + jsonQuoted(e.desc) +
               ",\"nickname\":" + jsonQuoted(e.nickname) + ",\"sec_uid\":" + jsonQuoted(e.secUid) +
               ",\"play_address\":" + jsonQuoted(e.playAddress) + ",\"first_try_ms\":" + std::to_string(e.firstTryMs) +
               ",\"next_try_ms\":" + std::to_string(e.nextTryMs) + ",\"gap_ms\":" + std::to_string(e.gapMs) +
               ",\"attempts\":" + std::to_string(e.attempts) + ",\"last_error\":" + jsonQuoted(e.lastError) +
               ",\"cover_address\":" + jsonQuoted(e.coverAddress) + ",\"uid\":" + jsonQuoted(e.uid) +
               ",\"author\":" + jsonQuoted(e.author) + ",\"create_time\":" + std::to_string(e.createTime) +
               ",\"statistics\":[" + std::to_string(e.statistics.likes) + "," + std::to_string(e.statistics.comments) +
               "," + std::to_string(e.statistics.shares) + "," + std::to_string(e.statistics.plays) + "," +
               std::to_string(e.statistics.collects) + "],\"cover_only\":" + (e.coverOnly ? "true" : "false") + "}";
    }
    out += "\n]}\n";
    changed_ = false;
    const bool hadUnwritten = unwritten_;
    unwritten_ = false;
    lastWrite_ = std::chrono::steady_clock::now();
    ++writes_;
    lock.unlock();
    const bool ok = writeFileAtomically(file_, out);
    lock.lock();
    if (!ok) {
        changed_ = true;
        unwritten_ = unwritten_ || hadUnwritten;
    }
    return ok;
}

bool PendingDownloads::ensureWritten() {
    std::lock_guard writing(writeMutex_);
    std::unique_lock lock(mutex_);
    if (!unwritten_) return true;
    return write(lock);
}

bool PendingDownloads::flushIfDue(bool force) {
    std::lock_guard writing(writeMutex_);
    std::unique_lock lock(mutex_);
    if (!changed_) return true;
    if (!force && std::chrono::steady_clock::now() - lastWrite_ < kWriteGap) return true;
    return write(lock);
}

bool PendingDownloads::add(const PendingDownload& entry, std::vector<PendingDownload>* givenUp) {
    std::lock_guard lock(mutex_);
    if (std::any_of(entries_.begin(), entries_.end(), [&](const auto& x) { return sameId(x, entry.id); })) return false;
    while (entries_.size() >= kMaxEntries) {
        // The oldest that is not being tried makes room.
        auto oldest = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it)
            if (!running_.count(it->id) && (oldest == entries_.end() || it->firstTryMs < oldest->firstTryMs))
                oldest = it;
        if (oldest == entries_.end()) break;
        if (givenUp) givenUp->push_back(*oldest);
        entries_.erase(oldest);
    }
    entries_.push_back(entry);
    changed_ = true;
    unwritten_ = true;
    return true;
}

std::vector<PendingDownload> PendingDownloads::takeNext(std::int64_t nowMs, int slots) {
    std::lock_guard lock(mutex_);
    std::vector<PendingDownload> next;
    slots -= static_cast<int>(running_.size());
    if (slots <= 0) return next;
    std::set<std::string> busy;
    for (const auto& [id, account] : running_) busy.insert(account);
    // Newest first: the later listing first, and within one listing the list's own order
    // (newest first).
    std::vector<const PendingDownload*> due;
    for (const auto& e : entries_)
        if (e.nextTryMs <= nowMs && !running_.count(e.id)) due.push_back(&e);
    std::stable_sort(due.begin(), due.end(),
                     [](const auto* a, const auto* b) { return a->firstTryMs > b->firstTryMs; });
    for (const PendingDownload* e : due) {
        if (static_cast<int>(next.size()) >= slots) break;
        const std::string account = e->account();
        if (!busy.insert(account).second) continue;
        running_[e->id] = account;
        next.push_back(*e);
    }
    return next;
}

std::optional<PendingDownload> PendingDownloads::take(const std::string& id) {
    std::lock_guard lock(mutex_);
    if (running_.count(id)) return std::nullopt;
    for (const auto& e : entries_) {
        if (e.id != id) continue;
        const std::string account = e.account();
        for (const auto& [other, busy] : running_)
            if (busy == account) return std::nullopt;
        running_[id] = account;
        return e;
    }
    return std::nullopt;
}

bool PendingDownloads::anyDue(std::int64_t nowMs, int slots) const {
    std::lock_guard lock(mutex_);
    if (static_cast<int>(running_.size()) >= slots) return false;
    std::set<std::string> busy;
    for (const auto& [id, account] : running_) busy.insert(account);
    return std::any_of(entries_.begin(), entries_.end(), [&](const PendingDownload& e) {
        return e.nextTryMs <= nowMs && !running_.count(e.id) && !busy.count(e.account());
    });
}

void PendingDownloads::update(const PendingDownload& entry) {
    std::lock_guard lock(mutex_);
    running_.erase(entry.id);
    for (auto& e : entries_)
        if (e.id == entry.id) e = entry;
    changed_ = true;
}

void PendingDownloads::amend(const PendingDownload& entry) {
    std::lock_guard lock(mutex_);
    for (auto& e : entries_)
        if (e.id == entry.id) e = entry;
    changed_ = true;
}

void PendingDownloads::remove(const std::string& id) {
    std::lock_guard lock(mutex_);
    running_.erase(id);
    const auto before = entries_.size();
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(), [&](const auto& e) { return sameId(e, id); }),
                   entries_.end());
    if (entries_.size() != before) changed_ = true;
}

void PendingDownloads::release(const std::string& id) {
    std::lock_guard lock(mutex_);
    running_.erase(id);
}

int PendingDownloads::running() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(running_.size());
}

std::vector<PendingDownload> PendingDownloads::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

bool PendingDownloads::contains(const std::string& id) const {
    std::lock_guard lock(mutex_);
    return std::any_of(entries_.begin(), entries_.end(), [&](const auto& x) { return sameId(x, id); });
}

std::uint64_t PendingDownloads::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

}  // namespace vigilo
