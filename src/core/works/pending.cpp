#include "works/pending.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "app/linkfile.h"
#include "text/jsondoc.h"

namespace vigilo {
namespace {

// A file this large is not ours; reading it whole would only cost memory.
constexpr std::uintmax_t kMaxFileBytes = 64u << 20;

}  // namespace

std::string jsonQuoted(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

PendingDownloads::PendingDownloads(std::filesystem::path file) : file_(std::move(file)) {}

void PendingDownloads::load() {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file_, ec);
    if (ec || size > kMaxFileBytes) return;
    std::ifstream in(file_, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    JsonDoc doc;
    if (!doc.parse(text)) return;
    std::lock_guard lock(mutex_);
    const int n = doc.count("['downloads']");
    for (int i = 0; i < n; ++i) {
        const std::string at = "['downloads'][" + std::to_string(i) + "]";
        PendingDownload e;
        e.id = doc.getText(at + "['id']");
        if (e.id.empty()) continue;
        e.desc = doc.getText(at + "['desc']");
        e.nickname = doc.getText(at + "['nickname']");
        e.secUid = doc.getText(at + "['sec_uid']");
        e.playAddress = doc.getText(at + "['play_address']");
        e.firstTryMs = static_cast<std::int64_t>(doc.getNumber(at + "['first_try_ms']"));
        e.nextTryMs = static_cast<std::int64_t>(doc.getNumber(at + "['next_try_ms']"));
        e.gapMs = static_cast<std::int64_t>(doc.getNumber(at + "['gap_ms']"));
        e.attempts = static_cast<int>(doc.getNumber(at + "['attempts']"));
        e.lastError = doc.getText(at + "['last_error']");
        const bool known = std::any_of(entries_.begin(), entries_.end(), [&](const auto& x) { return x.id == e.id; });
        if (!known) entries_.push_back(std::move(e));
    }
}

bool PendingDownloads::saveLocked() const {
    std::string out = "{\"downloads\":[";
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const PendingDownload& e = entries_[i];
        if (i) out += ",";
        out += "\n{\"id\":" + jsonQuoted(e.id) + ",\"desc\":" + jsonQuoted(e.desc) + ",\"nickname\":" + jsonQuoted(e.nickname) +
               ",\"sec_uid\":" + jsonQuoted(e.secUid) + ",\"play_address\":" + jsonQuoted(e.playAddress) +
               ",\"first_try_ms\":" + std::to_string(e.firstTryMs) + ",\"next_try_ms\":" + std::to_string(e.nextTryMs) +
               ",\"gap_ms\":" + std::to_string(e.gapMs) + ",\"attempts\":" + std::to_string(e.attempts) +
               ",\"last_error\":" + jsonQuoted(e.lastError) + "}";
    }
    out += "\n]}\n";
    return writeFileAtomically(file_, out);
}

bool PendingDownloads::add(const PendingDownload& entry) {
    std::lock_guard lock(mutex_);
    if (std::any_of(entries_.begin(), entries_.end(), [&](const auto& x) { return x.id == entry.id; })) return false;
    entries_.push_back(entry);
    saveLocked();
    return true;
}

std::vector<PendingDownload> PendingDownloads::takeDue(std::int64_t nowMs) {
    std::lock_guard lock(mutex_);
    std::vector<PendingDownload> due;
    for (const auto& e : entries_) {
        if (e.nextTryMs > nowMs) continue;
        if (std::find(running_.begin(), running_.end(), e.id) != running_.end()) continue;
        running_.push_back(e.id);
        due.push_back(e);
    }
    return due;
}

void PendingDownloads::update(const PendingDownload& entry) {
    std::lock_guard lock(mutex_);
    running_.erase(std::remove(running_.begin(), running_.end(), entry.id), running_.end());
    for (auto& e : entries_)
        if (e.id == entry.id) e = entry;
    saveLocked();
}

void PendingDownloads::remove(const std::string& id) {
    std::lock_guard lock(mutex_);
    running_.erase(std::remove(running_.begin(), running_.end(), id), running_.end());
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e.id == id; }),
                   entries_.end());
    saveLocked();
}

std::vector<PendingDownload> PendingDownloads::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

bool PendingDownloads::contains(const std::string& id) const {
    std::lock_guard lock(mutex_);
    return std::any_of(entries_.begin(), entries_.end(), [&](const auto& x) { return x.id == id; });
}

}  // namespace vigilo
