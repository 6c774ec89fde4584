#include "works/seen.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>

#include "app/linkfile.h"
#include "sys/unique_fd.h"
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

// An account as the whole file and the journal both hold it; false when it is not one of ours.
bool readAccount(const JsonDoc& entry, std::string* secUid, SeenAccount* account) {
    *secUid = textAt(entry, "['sec_uid']");
    if (!fits(*secUid)) return false;
    const int ids = entry.typeOf("['ids']") == kTypeArray ? entry.count("['ids']") : 0;
    for (int j = 0; j < ids && account->ids.size() < SeenPosts::kMaxIds; ++j) {
        std::string id = textAt(entry, "['ids'][" + std::to_string(j) + "]");
        if (fits(id) && std::find(account->ids.begin(), account->ids.end(), id) == account->ids.end())
            account->ids.push_back(std::move(id));
    }
    account->postCount = textAt(entry, "['post_count']");
    // Without a count and an id there is nothing to compare a new list with.
    if (account->ids.empty() && account->postCount.empty()) return false;
    if (account->postCount.size() > kMaxTextBytes) account->postCount.clear();
    account->watchingSince = wholeSeconds(entry, "['watching_since']");
    account->updatedAt = wholeSeconds(entry, "['updated_at']");
    return true;
}

void appendAccount(std::string& out, const std::string& secUid, const SeenAccount& account) {
    out += "\"sec_uid\":" + jsonQuoted(secUid) + ",\"post_count\":" + jsonQuoted(account.postCount) +
           ",\"watching_since\":" + std::to_string(account.watchingSince) +
           ",\"updated_at\":" + std::to_string(account.updatedAt) + ",\"ids\":[";
    for (std::size_t i = 0; i < account.ids.size(); ++i) {
        if (i) out += ',';
        out += jsonQuoted(account.ids[i]);
    }
    out += "]}";
}

std::string readAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

SeenPosts::SeenPosts(std::filesystem::path file) : file_(std::move(file)) {
    journal_ = file_;
    journal_.replace_extension(".journal");
}

std::string SeenPosts::load() {
    std::string problem;
    std::map<std::string, SeenAccount> read;
    std::uint64_t wholeSequence = 0;
    std::uintmax_t wholeBytes = 0;
    std::error_code ec;
    if (std::filesystem::exists(file_, ec)) {
        const auto size = std::filesystem::file_size(file_, ec);
        JsonDoc doc;
        if (ec) {
            problem = "unreadable: " + ec.message();
        } else if (size > kMaxFileBytes) {
            problem = "larger than " + std::to_string(kMaxFileBytes >> 20) + " MB";
        } else if (std::ifstream in(file_, std::ios::binary); !in) {
            problem = "unreadable";
        } else if (!doc.parse(std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()})) {
            problem = "not JSON";
        } else if (doc.typeOf("['accounts']") != kTypeArray) {
            problem = "no list of accounts";
        } else {
            wholeBytes = size;
            wholeSequence = static_cast<std::uint64_t>(wholeSeconds(doc, "['sequence']"));
            const int n = doc.count("['accounts']");
            for (int i = 0; i < n && read.size() < kMaxAccounts; ++i) {
                std::string secUid;
                SeenAccount account;
                if (readAccount(doc.subDocument("['accounts'][" + std::to_string(i) + "]"), &secUid, &account) &&
                    !read.count(secUid))
                    read.emplace(std::move(secUid), std::move(account));
            }
        }
    }
    // The journal's lines after the whole file, in their order; the whole file may be unusable
    // while they are not. A last line without its end was cut short by a kill: it is left out.
    std::uint64_t sequence = wholeSequence;
    bool journaled = false;
    const auto journalSize = std::filesystem::file_size(journal_, ec);
    if (!ec && journalSize > 0) {
        journaled = true;
        // A journal is folded in before it reaches the bound (plus one write's lines).
        const std::string text = journalSize <= 2 * kMaxFileBytes ? readAll(journal_) : std::string();
        std::size_t at = 0;
        for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
            JsonDoc line;
            if (!line.parse(std::string_view(text).substr(at, end - at))) continue;
            const auto lineSequence = static_cast<std::uint64_t>(wholeSeconds(line, "['sequence']"));
            if (lineSequence <= wholeSequence) continue;  // already in the whole file
            sequence = std::max(sequence, lineSequence);
            std::string secUid;
            SeenAccount account;
            if (readAccount(line, &secUid, &account)) read[secUid] = std::move(account);
        }
        // Accounts over the bound made room as they would have when they were recorded.
        while (read.size() > kMaxAccounts)
            read.erase(std::min_element(read.begin(), read.end(), [](const auto& a, const auto& b) {
                return a.second.updatedAt < b.second.updatedAt;
            }));
    }
    std::lock_guard lock(mutex_);
    accounts_ = std::move(read);
    changed_.clear();
    sequence_ = sequence;
    wholeBytes_ = wholeBytes;
    journalBytes_ = journaled ? journalSize : 0;
    // What the journal held goes into the whole file at the first write.
    wholeDue_ = journaled;
    return problem;
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
    changed_.insert(secUid);
}

bool SeenPosts::save(const std::function<bool()>& beforeWrite, bool whole) {
    std::lock_guard saving(saveMutex_);
    std::string out;
    std::set<std::string> taken;
    {
        std::lock_guard lock(mutex_);
        if (changed_.empty() && !wholeDue_ && !(whole && journalBytes_ > 0)) return true;
        // The journal costs a line per changed account; the whole record, written once the
        // journal has grown to a few times its size, adds a fraction of that per change. The
        // journal stays within what a load reads.
        whole = whole || wholeDue_ || wholeBytes_ < kWholeBelowBytes ||
                journalBytes_ >= std::min<std::uintmax_t>(wholeBytes_ * kJournalPerWhole, kMaxFileBytes);
        if (whole) {
            out = "{\"accounts\":[";
            bool first = true;
            for (const auto& [secUid, account] : accounts_) {
                out += first ? "\n{" : ",\n{";
                first = false;
                appendAccount(out, secUid, account);
            }
            // The last journal line it holds, after the accounts: the file begins as it always did.
            out += "\n],\"sequence\":" + std::to_string(sequence_) + "}\n";
        } else {
            for (const std::string& secUid : changed_) {
                auto it = accounts_.find(secUid);
                if (it == accounts_.end()) continue;  // made room for another since
                out += "{\"sequence\":" + std::to_string(++sequence_) + ",";
                appendAccount(out, secUid, it->second);
                out += '\n';
            }
        }
        taken.swap(changed_);
        wholeDue_ = false;
    }
    bool ok = !beforeWrite || beforeWrite();
    if (ok && whole) {
        ok = writeFileAtomically(file_, out);
        if (ok) {
            // The whole file holds every line up to its sequence: a kill before the journal
            // goes, or a journal that cannot go, leaves lines the next load skips.
            std::error_code ec;
            const bool gone = std::filesystem::remove(journal_, ec) || !ec;
            std::lock_guard lock(mutex_);
            wholeBytes_ = out.size();
            if (gone) journalBytes_ = 0;
            return true;
        }
    } else if (ok) {
        ok = appendJournal(out);
        if (ok) {
            std::lock_guard lock(mutex_);
            journalBytes_ += out.size();
            return true;
        }
    }
    std::lock_guard lock(mutex_);
    changed_.merge(taken);
    if (whole) wholeDue_ = true;
    return false;
}

bool SeenPosts::appendJournal(const std::string& lines) {
    UniqueFd fd(::open(journal_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd) return false;
    const off_t before = ::lseek(fd.get(), 0, SEEK_END);
    if (before < 0) return false;
    std::size_t done = 0;
    while (done < lines.size()) {
        const ssize_t n = ::write(fd.get(), lines.data() + done, lines.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (done == lines.size() && ::fdatasync(fd.get()) == 0) return fd.closeChecked();
    // Cut back to the last whole line: the next lines must not continue this one.
    if (::ftruncate(fd.get(), before) != 0) {
        std::lock_guard lock(mutex_);
        wholeDue_ = true;
    }
    return false;
}

std::size_t SeenPosts::size() const {
    std::lock_guard lock(mutex_);
    return accounts_.size();
}

}  // namespace vigilo
