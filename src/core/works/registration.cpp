// Registration of share links and the first query of each account, tried again until it
// answers.
#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "net/http.h"
#include "net/reason.h"
#include "net/service.h"
#include "text/strings.h"
#include "text/timefmt.h"
#include "works/accountfile.h"
#include "works/engine.h"

namespace vigilo {

using SteadyClock = std::chrono::steady_clock;

void WorksEngine::ensureRegistrationPool() {
    ctx_.accountRegistrationPool.create(
        [self = shared_from_this()](const TaskArgs& args) {
            if (args.size() < 4) return;
            self->runQuery(args[2], std::strtoull(args[3].c_str(), nullptr, 10));
        },
        20, 400);
}

std::uint64_t WorksEngine::resetAccount(const std::string& link, const std::string& uid, const std::string& secUid) {
    AccountState state;
    state.generation = nextGeneration_++;
    state.link = link;
    state.uid = uid;
    state.secUid = secUid;
    state.busy = true;
    auto known = accounts_.find(secUid);
    state.shared = known != accounts_.end();
    accounts_[secUid] = state;
    return state.generation;
}

void WorksEngine::registerOne(const std::string& element) {
    // A blank line still gets its row, as every other line does; only the request is spared.
    const auto [uid, secUid] = shareTarget(element.empty() ? std::string() : resolveShareLink(element));

    TableStore& table = ctx_.accountTable;
    std::uint64_t generation = 0;
    if (!secUid.empty()) {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        generation = resetAccount(element, uid, secUid);
    }
    const int row = table.appendRow();
    table.setCell(row, acol::Link, element);
    table.setCell(row, acol::Uid, uid);
    table.setCell(row, acol::SecUid, secUid);
    if (secUid.empty() && !element.empty()) {
        bool first = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            first = !linkRetries_.count(element);
            linkRetries_[element] = LinkRetry{1, SteadyClock::now() + cycleLength()};
        }
        if (first) logLine("账号链接暂时无法打开，稍后重试：" + element);
    }
    // A row without a sec_uid is not queried: the monitor resolves its link again.
    if (secUid.empty() || !ctx_.accountRegistrationPool.post({element, uid, secUid, std::to_string(generation)}))
        queryFinished();
}

void WorksEngine::registerAccounts(const std::string& linkText, bool multiMode) {
    const std::vector<std::string> elements = splitCrLf(linkText);
    ensureRegistrationPool();
    const int count = multiMode ? static_cast<int>(elements.size()) : (elements.empty() ? 0 : 1);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queriesInFlight_ += count;
    }
    if (multiMode) {
        {
            std::lock_guard<TableLock> lock(ctx_.tableLock);
            ctx_.accountTable.deleteAll();
            // The table is rebuilt: what was known of its accounts goes with it.
            accounts_.clear();
        }
        for (const auto& element : elements) {
            registerOne(element);
            delay(ctx_.pacing.accountPostGap);
        }
    } else if (!elements.empty()) {
        registerOne(elements.back());
    }
}

void WorksEngine::queryNewAccount(const std::string& link, const std::string& uid, const std::string& secUid) {
    std::uint64_t generation = 0;
    {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        generation = resetAccount(link, uid, secUid);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++queriesInFlight_;
    }
    runQuery(secUid, generation);
}

void WorksEngine::queryFinished(bool counted) {
    if (counted) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queriesInFlight_ > 0) --queriesInFlight_;
    }
    retryWake_.notify_all();
}

int WorksEngine::queriesInFlight() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queriesInFlight_;
}

void WorksEngine::runQuery(const std::string& secUid, std::uint64_t generation, bool counted) {
    const Profile profile = secUid.empty() ? Profile{} : requestProfile(ctx_.endpoints, secUid);
    // Without a profile the post list would fill nothing the row can use.
    const PostList posts = profile.ok ? requestPostList(ctx_.endpoints, secUid) : PostList{};
    const bool good = profile.ok && listUsable(profile, posts);

    AccountEntry entry;
    bool save = false;
    std::vector<PostItem> fresh;
    std::vector<PendingDownload> givenUp;
    std::string failed, recovered;
    {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        auto it = accounts_.find(secUid);
        if (it != accounts_.end() && it->second.generation == generation) {
            AccountState& state = it->second;
            state.busy = false;
            if (!good && profile.ok && state.countWhileRegistering.empty())
                state.countWhileRegistering = profile.postCount;
            if (!good) {
                // Not yet queried: no cells, no poll, no report; the query is tried again.
                state.query = AccountState::Query::NotYet;
                ++state.queryFailures;
                state.nextQuery = SteadyClock::now() + retryGap(state.queryFailures);
                if (!state.failureLogged) {
                    state.failureLogged = true;
                    const bool profileFailed = !profile.ok;
                    failed = "账号首次查询失败，稍后重试：" + state.link + "（" +
                             (profileFailed ? net::failureReasonZh(profile.status, profile.transportCode)
                                            : net::failureReasonZh(posts.status, posts.transportCode)) +
                             "）";
                }
            } else {
                if (state.failureLogged) recovered = "账号首次查询已恢复：" + state.link;
                state.failureLogged = false;
                state.query = AccountState::Query::Done;
                state.queryFailures = 0;
                state.shortId = profile.shortId;
                state.nickname = profile.nickname;
                state.followerText = profile.followerText;
                state.postCount = profile.postCount;
                state.counter = 0;
                state.seen.clear();
                for (const auto& item : posts.items) state.seen.insert(item.id);
                fresh = postsMadeUnseen(state, profile, posts);
                // Listed as pending before the record of seen posts takes them: whichever file a
                // kill leaves, no post is both seen and missing from the pending list.
                givenUp = enqueue(secUid, state.nickname, fresh);
                seenPosts_.record(state.secUid, idsOf(posts.items), profile.postCount, wallSeconds());
                state.countWhileRegistering.clear();
                const PostItem newest = posts.items.empty() ? PostItem{} : posts.items.front();
                state.newestId = newest.id;
                state.newestDesc = newest.desc;
                state.playAddress = newest.playAddress;
                writeRows(state, -1);
                entry = AccountEntry{state.link,     state.uid,          state.secUid,    state.shortId,
                                     state.nickname, state.followerText, state.postCount, state.newestDesc,
                                     state.newestId, state.playAddress};
                save = true;
            }
        }
    }
    if (!failed.empty()) logLine(failed);
    if (!recovered.empty()) logLine(recovered);
    // Without a thread the file misses this entry; the table still has its row.
    if (save) ctx_.startThread([self = shared_from_this(), entry] { self->saveAccountEntry(entry); });
    givingUp(givenUp, "待下载列表已满");
    if (!fresh.empty()) {
        ctx_.appendLog(oneLine(entry.nickname) + "：有更新" + std::to_string(fresh.size()) + "条\r\n");
        dispatchDownloads();
    }
    queryFinished(counted);
}

std::vector<PostItem> WorksEngine::postsMadeUnseen(const AccountState& state, const Profile& profile,
                                                   const PostList& posts) {
    const std::optional<SeenAccount> known = seenPosts_.find(state.secUid);
    // An account met for the first time: its back catalogue is not new, but what it posted
    // since its profile first answered is.
    std::string before = state.countWhileRegistering;
    std::set<std::string> seen;
    if (known) {
        before = known->postCount;
        seen.insert(known->ids.begin(), known->ids.end());
    }
    if (before.empty()) return {};
    const std::size_t count =
        newPostCount(idsOf(posts.items), seen, textToNumber(profile.postCount) - textToNumber(before));
    return {posts.items.begin(), posts.items.begin() + static_cast<std::ptrdiff_t>(count)};
}

void WorksEngine::saveAccountEntry(const AccountEntry& entry) {
    writeAccountEntry(ctx_.paths.accountFile(), entry);
    delay(Millis{10});
}

void WorksEngine::retryFirstQuery(int row, bool onlyWhenDue) {
    TableStore& table = ctx_.accountTable;
    const std::string secUid = table.cell(row, acol::SecUid);
    if (secUid.empty()) {
        const std::string link = table.cell(row, acol::Link);
        if (!link.empty()) resolveAgain(link, onlyWhenDue);
        return;
    }
    std::uint64_t generation = 0;
    {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        AccountState* found = adoptRow(secUid, row);
        if (found == nullptr) {
            // A row this engine did not register: its first query is still to come.
            resetAccount(table.cell(row, acol::Link), table.cell(row, acol::Uid), secUid);
            found = &accounts_[secUid];
            found->busy = false;
            found->query = AccountState::Query::NotYet;
        }
        AccountState& state = *found;
        if (state.query != AccountState::Query::NotYet || state.busy) return;
        if (onlyWhenDue && SteadyClock::now() < state.nextQuery) return;
        state.busy = true;
        state.query = AccountState::Query::Running;
        generation = state.generation;
    }
    if (!ctx_.startThread(
            [self = shared_from_this(), secUid, generation] { self->runQuery(secUid, generation, false); })) {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        auto it = accounts_.find(secUid);
        if (it != accounts_.end() && it->second.generation == generation) {
            it->second.busy = false;
            it->second.query = AccountState::Query::NotYet;
        }
    }
}

void WorksEngine::resolveAgain(const std::string& link, bool onlyWhenDue) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (resolving_.count(link)) return;
        if (onlyWhenDue && SteadyClock::now() < linkRetries_[link].next) return;
        resolving_.insert(link);
    }
    const bool started = ctx_.startThread([self = shared_from_this(), link] {
        const auto [uid, secUid] = shareTarget(resolveShareLink(link));
        std::uint64_t generation = 0;
        if (!secUid.empty()) {
            std::lock_guard<TableLock> lock(self->ctx_.tableLock);
            TableStore& table = self->ctx_.accountTable;
            bool found = false;
            for (int row = 0; row < table.rowCount(); ++row) {
                if (table.cell(row, acol::Link) != link || !table.cell(row, acol::SecUid).empty()) continue;
                table.setCell(row, acol::Uid, uid);
                table.setCell(row, acol::SecUid, secUid);
                found = true;
            }
            if (found) generation = self->resetAccount(link, uid, secUid);
        }
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->resolving_.erase(link);
            if (secUid.empty()) {
                LinkRetry& retry = self->linkRetries_[link];
                ++retry.failures;
                retry.next = SteadyClock::now() + self->retryGap(retry.failures);
            } else {
                self->linkRetries_.erase(link);
            }
        }
        if (!secUid.empty()) self->logLine("账号链接已恢复：" + link);
        if (generation != 0) self->runQuery(secUid, generation, false);
    });
    if (!started) {
        std::lock_guard<std::mutex> lock(mutex_);
        resolving_.erase(link);
    }
}

void WorksEngine::retryFirstQueries(bool onlyWhenDue) {
    TableStore& table = ctx_.accountTable;
    const int rows = table.rowCount();
    for (int row = 0; row < rows && !ctx_.closing; ++row) retryFirstQuery(row, onlyWhenDue);
}

}  // namespace vigilo
