#include "works/seen.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "app/linkfile.h"
#include "text/jsondoc.h"
#include "works/pending.h"

namespace vigilo {
namespace {

constexpr int kTypeArray = 5;
constexpr int kTypeNumber = 2;
constexpr int kTypeText = 6;
// Longer ids and counts than the service's are not ours.
constexpr std::size_t kMaxTextBytes = 256;

bool fits(const std::string& text) { return !text.empty() && text.size() <= kMaxTextBytes; }

// The text at `path`; "" for anything else, a number included.
std::string textAt(const JsonDoc& doc, const std::string& path) {
    return doc.typeOf(path) == kTypeText ? doc.getText(path) : std::string();
}

std::int64_t wholeSeconds(const JsonDoc& doc, const char* path) {
    if (doc.typeOf(path) != kTypeNumber) return 0;
    const double value = doc.getNumber(path);
    // A value past the range of the type is as good as none.
    if (!(value >= 0 && value < 1e15)) return 0;
    return static_cast<std::int64_t>(value);
}

}  // namespace

SeenPosts::SeenPosts(std::filesystem::path file) : file_(std::move(file)) {}

std::string SeenPosts::load() {
    std::error_code ec;
    if (!std::filesystem::exists(file_, ec)) return {};
    const auto size = std::filesystem::file_size(file_, ec);
    if (ec) return "unreadable: " + ec.message();
    if (size > kMaxFileBytes) return "larger than " + std::to_string(kMaxFileBytes >> 20) + " MB";
    std::ifstream in(file_, std::ios::binary);
    if (!in) return "unreadable";
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    JsonDoc doc;
    if (!doc.parse(text)) return "not JSON";
    if (doc.typeOf("['accounts']") != kTypeArray) return "no list of accounts";

    std::map<std::string, SeenAccount> read;
    const int n = doc.count("['accounts']");
    for (int i = 0; i < n && read.size() < kMaxAccounts; ++i) {
        const JsonDoc entry = doc.subDocument("['accounts'][" + std::to_string(i) + "]");
        const std::string secUid = textAt(entry, "['sec_uid']");
        if (!fits(secUid) || read.count(secUid)) continue;
        SeenAccount account;
        const int ids = entry.typeOf("['ids']") == kTypeArray ? entry.count("['ids']") : 0;
        for (int j = 0; j < ids && account.ids.size() < kMaxIds; ++j) {
            std::string id = textAt(entry, "['ids'][" + std::to_string(j) + "]");
            if (fits(id) && std::find(account.ids.begin(), account.ids.end(), id) == account.ids.end())
                account.ids.push_back(std::move(id));
        }
        account.postCount = textAt(entry, "['post_count']");
        // Without a count and an id there is nothing to compare a new list with.
        if (account.ids.empty() && account.postCount.empty()) continue;
        if (account.postCount.size() > kMaxTextBytes) account.postCount.clear();
        account.watchingSince = wholeSeconds(entry, "['watching_since']");
        account.updatedAt = wholeSeconds(entry, "['updated_at']");
        read.emplace(secUid, std::move(account));
    }
    std::lock_guard lock(mutex_);
    accounts_ = std::move(read);
    changed_ = false;
    return {};
}

std::optional<SeenAccount> SeenPosts::find(const std::string& secUid) const {
    std::lock_guard lock(mutex_);
    auto it = accounts_.find(secUid);
    if (it == accounts_.end()) return std::nullopt;
    return it->second;
}

void SeenPosts::record(const std::string& secUid, const std::vector<std::string>& listedIds,
                       const std::string& postCount, std::int64_t nowSeconds) {
    if (secUid.empty()) return;
    std::vector<std::string> ids;
    for (const std::string& id : listedIds) {
        if (ids.size() >= kMaxIds) break;
        if (fits(id) && std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    }
    std::lock_guard lock(mutex_);
    auto it = accounts_.find(secUid);
    if (it == accounts_.end()) {
        if (accounts_.size() >= kMaxAccounts) {
            // The account changed least recently makes room: it is the one most likely gone.
            auto oldest = std::min_element(accounts_.begin(), accounts_.end(), [](const auto& a, const auto& b) {
                return a.second.updatedAt < b.second.updatedAt;
            });
            accounts_.erase(oldest);
        }
        SeenAccount account;
        account.watchingSince = nowSeconds;
        it = accounts_.emplace(secUid, std::move(account)).first;
    }
    SeenAccount& account = it->second;
    // The ids kept before and not listed now follow the listed ones, up to the bound.
    for (const std::string& id : account.ids) {
        if (ids.size() >= kMaxIds) break;
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    }
    if (ids == account.ids && postCount == account.postCount) return;
    account.ids = std::move(ids);
    account.postCount = postCount;
    account.updatedAt = nowSeconds;
    if (account.watchingSince == 0) account.watchingSince = nowSeconds;
    changed_ = true;
}

bool SeenPosts::save() {
    std::lock_guard saving(saveMutex_);
    std::string out;
    {
        std::lock_guard lock(mutex_);
        if (!changed_) return true;
        out = "{\"accounts\":[";
        bool first = true;
        for (const auto& [secUid, account] : accounts_) {
            out += first ? "\n" : ",\n";
            first = false;
            out += "{\"sec_uid\":" + jsonQuoted(secUid) + ",\"post_count\":" + jsonQuoted(account.postCount) +
                   ",\"watching_since\":" + std::to_string(account.watchingSince) +
                   ",\"updated_at\":" + std::to_string(account.updatedAt) + ",\"ids\":[";
            for (std::size_t i = 0; i < account.ids.size(); ++i) out += (i ? "," : "") + jsonQuoted(account.ids[i]);
            out += "]}";
        }
        out += "\n]}\n";
        changed_ = false;
    }
    if (writeFileAtomically(file_, out)) return true;
    std::lock_guard lock(mutex_);
    changed_ = true;
    return false;
}

std::size_t SeenPosts::size() const {
    std::lock_guard lock(mutex_);
    return accounts_.size();
}

}  // namespace vigilo
