#include "works/monitor.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <set>
#include <system_error>
#include <vector>

#include "net/download.h"
#include "net/http.h"
#include "net/service.h"
#include "text/charset.h"
#include "text/strings.h"
#include "text/timefmt.h"
#include "works/accountfile.h"
#include "works/engine.h"
#include "works/names.h"

namespace vigilo {
namespace {

using SteadyClock = std::chrono::steady_clock;

std::int64_t wallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t wallSeconds() { return wallMs() / 1000; }

std::vector<std::string> idsOf(const std::vector<PostItem>& items) {
    std::vector<std::string> ids;
    ids.reserve(items.size());
    for (const PostItem& item : items) ids.push_back(item.id);
    return ids;
}

// What a home-page share link points at: the account's uid and sec_uid ("" when the page
// holds no such target).
struct ShareTarget {
    std::string uid, secUid;
};
ShareTarget shareTarget(const std::string& page) {
    return {textBetween(page, "/user/", "?"), textBetween(page, "sec_uid=", "&amp")};
}

// An account whose list came back empty although it has posts got what a blocked request gets.
bool listUsable(const Profile& profile, const PostList& posts) {
    return posts.ok && !(posts.items.empty() && textToNumber(profile.postCount) > 0);
}

}  // namespace

std::string anchorTarget(const std::string& page) {
    const std::string href = textBetween(page, "<a href=\"", "\">Found</a>.");
    // "&amp;" last, so an escaped escape is undone once only.
    return replacePairs(href, {{"&#34;", "\""}, {"&quot;", "\""}, {"&#39;", "'"}, {"&lt;", "<"},
                               {"&gt;", ">"}, {"&amp;", "&"}});
}

WorksEngine::WorksEngine(AppContext& ctx)
    : ctx_(ctx), pending_(ctx.paths.pendingDownloadsFile()), seenPosts_(ctx.paths.seenPostsFile()) {
    pending_.load();
    const std::string ignored = seenPosts_.load();
    if (!ignored.empty())
        ctx_.appendLog(logTimestamp() + "：已忽略无法使用的 seen-posts.json（" + oneLine(ignored) + "）\r\n");
}

void WorksEngine::saveSeenPosts() { seenPosts_.save(); }

Millis WorksEngine::cycleLength() const {
    return std::max(Millis{1}, ctx_.pacing.countdownTick * std::max(1, ctx_.pacing.countdownTicks));
}

Millis WorksEngine::retryGap(int failures) const {
    const int doublings = std::clamp(failures - 1, 0, 20);
    return std::min<Millis>(cycleLength() * (1LL << doublings), ctx_.pacing.retryGapCap);
}

// ---------------------------------------------------------------------------------------------
// Registration and the first query

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
        std::lock_guard<std::mutex> lock(mutex_);
        linkRetries_[element] = LinkRetry{1, SteadyClock::now() + cycleLength()};
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
    std::vector<Video> fresh;
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
            } else {
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
    // Without a thread the file misses this entry; the table still has its row.
    if (save) ctx_.startThread([self = shared_from_this(), entry] { self->saveAccountEntry(entry); });
    if (!fresh.empty()) {
        ctx_.appendLog(oneLine(entry.nickname) + "：有更新" + std::to_string(fresh.size()) + "条\r\n");
        ctx_.startThread([self = shared_from_this(), secUid, nickname = entry.nickname, fresh] {
            self->downloadVideos(secUid, nickname, fresh);
        });
    }
    queryFinished(counted);
}

std::vector<WorksEngine::Video> WorksEngine::postsMadeUnseen(const AccountState& state, const Profile& profile,
                                                             const PostList& posts) {
    const std::vector<std::string> listed = idsOf(posts.items);
    const std::optional<SeenAccount> known = seenPosts_.find(state.secUid);
    seenPosts_.record(state.secUid, listed, profile.postCount, wallSeconds());
    // An account met for the first time: its back catalogue is not new, but what it posted
    // since its profile first answered is.
    std::string before = state.countWhileRegistering;
    std::set<std::string> seen;
    if (known) {
        before = known->postCount;
        seen.insert(known->ids.begin(), known->ids.end());
    }
    if (before.empty()) return {};
    const std::size_t count = newPostCount(listed, seen, textToNumber(profile.postCount) - textToNumber(before));
    std::vector<Video> fresh;
    for (std::size_t i = 0; i < count; ++i)
        fresh.push_back({posts.items[i].id, posts.items[i].desc, posts.items[i].playAddress});
    return fresh;
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
        auto it = accounts_.find(secUid);
        if (it == accounts_.end()) {
            // A row this engine did not register: its first query is still to come.
            resetAccount(table.cell(row, acol::Link), table.cell(row, acol::Uid), secUid);
            it = accounts_.find(secUid);
            it->second.busy = false;
            it->second.query = AccountState::Query::NotYet;
        }
        AccountState& state = it->second;
        if (state.query != AccountState::Query::NotYet || state.busy) return;
        if (onlyWhenDue && SteadyClock::now() < state.nextQuery) return;
        state.busy = true;
        state.query = AccountState::Query::Running;
        generation = state.generation;
    }
    if (!ctx_.startThread([self = shared_from_this(), secUid, generation] { self->runQuery(secUid, generation, false); })) {
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
    for (int row = 0; row < rows && !ctx_.closing; ++row)
        if (table.cell(row, acol::Counter).empty()) retryFirstQuery(row, onlyWhenDue);
}

AccountState* WorksEngine::adoptRow(const std::string& secUid, int rowHint) {
    auto it = accounts_.find(secUid);
    if (it != accounts_.end()) return &it->second;
    const int row = findRow(secUid, rowHint);
    const TableStore& table = ctx_.accountTable;
    // A row filled by other means than this engine's query (it holds a counter) is taken as it
    // stands; a row without one is still to be queried.
    if (row < 0 || table.cell(row, acol::Counter).empty()) return nullptr;
    AccountState state;
    state.generation = nextGeneration_++;
    state.query = AccountState::Query::Done;
    state.link = table.cell(row, acol::Link);
    state.uid = table.cell(row, acol::Uid);
    state.secUid = secUid;
    state.shortId = table.cell(row, acol::ShortId);
    state.nickname = table.cell(row, acol::Nickname);
    state.followerText = table.cell(row, acol::Followers);
    state.postCount = table.cell(row, acol::PostCount);
    state.newestDesc = table.cell(row, acol::NewestDesc);
    state.newestId = table.cell(row, acol::NewestId);
    state.playAddress = table.cell(row, acol::PlayAddress);
    state.counter = static_cast<std::int64_t>(textToNumber(table.cell(row, acol::Counter)));
    if (!state.newestId.empty()) state.seen.insert(state.newestId);
    return &(accounts_[secUid] = std::move(state));
}

// ---------------------------------------------------------------------------------------------
// The row cells

int WorksEngine::findRow(const std::string& secUid, int rowHint) const {
    const TableStore& table = ctx_.accountTable;
    if (rowHint >= 0 && table.cell(rowHint, acol::SecUid) == secUid) return rowHint;
    const int rows = table.rowCount();
    for (int row = 0; row < rows; ++row)
        if (table.cell(row, acol::SecUid) == secUid) return row;
    return -1;
}

void WorksEngine::writeRows(const AccountState& state, int rowHint) {
    TableStore& table = ctx_.accountTable;
    const std::pair<int, std::string> cells[] = {
        {acol::ShortId, state.shortId},       {acol::Nickname, state.nickname},
        {acol::Followers, state.followerText}, {acol::PostCount, state.postCount},
        {acol::NewestDesc, state.newestDesc}, {acol::Counter, numberText(static_cast<double>(state.counter))},
        {acol::NewestId, state.newestId},     {acol::PlayAddress, state.playAddress}};
    auto writeRow = [&](int row) {
        for (const auto& [column, text] : cells)
            if (table.cell(row, column) != text) table.setCell(row, column, text);
    };
    if (!state.shared) {
        const int row = findRow(state.secUid, rowHint);
        if (row >= 0) writeRow(row);
        return;
    }
    // The same account stands in several rows; each shows the same record.
    const int rows = table.rowCount();
    if (rowHint >= 0 && rowHint < rows && table.cell(rowHint, acol::SecUid) == state.secUid) writeRow(rowHint);
    for (int row = 0; row < rows; ++row)
        if (row != rowHint && table.cell(row, acol::SecUid) == state.secUid) writeRow(row);
}

// ---------------------------------------------------------------------------------------------
// The monitor loop

bool WorksEngine::pauseUnlessStopped(Millis duration) {
    // Sliced so a stop is seen within a fraction of a countdown second.
    const auto deadline = SteadyClock::now() + duration;
    for (;;) {
        if (stopRequested()) return false;
        const auto left = std::chrono::duration_cast<Millis>(deadline - SteadyClock::now());
        if (left <= Millis{0}) break;
        delay(std::min(left, Millis{20}));
    }
    return !stopRequested();
}

bool WorksEngine::startPoll(const std::string& secUid, int rowHint) {
    std::uint64_t generation = 0;
    {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        const AccountState* state = adoptRow(secUid, rowHint);
        if (!state || state->query == AccountState::Query::NotYet) {
            generation = 0;
        } else if (state->query != AccountState::Query::Done || state->busy) {
            // Its previous poll (or its query) still runs: an answer landing after a newer one
            // would move the counter back and fetch the same video again.
            return true;
        } else {
            generation = state->generation;
        }
    }
    if (generation == 0) {
        retryFirstQuery(rowHint, false);
        return true;
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (activePolls_ >= kMaxConcurrentPolls) {
            if (stopRequested()) return false;
            pollDone_.wait_for(lock, Millis{20});
        }
        ++activePolls_;
    }
    {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        auto it = accounts_.find(secUid);
        if (it == accounts_.end() || it->second.generation != generation || it->second.busy) {
            pollFinished();
            return true;
        }
        it->second.busy = true;
    }
    const bool started = ctx_.startThread([self = shared_from_this(), secUid, generation, rowHint] {
        self->pollKey(secUid, generation, rowHint);
        self->pollFinished();
    });
    if (!started) {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        auto it = accounts_.find(secUid);
        if (it != accounts_.end() && it->second.generation == generation) it->second.busy = false;
        pollFinished();
    }
    return true;
}

void WorksEngine::pollFinished() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --activePolls_;
    }
    pollDone_.notify_all();
}

void WorksEngine::runWorksMonitor() {
    TableStore& table = ctx_.accountTable;
    if (table.rowCount() == 0) {
        ctx_.ui.messageBox("请加入列表后监控！", "提示", MessageIcon::Warning);
        return;
    }
    const int ticks = ctx_.pacing.countdownTicks;
    while (ctx_.worksRunning && !stopRequested()) {
        bool updated = false;
        const int rows = table.rowCount();
        // A pass over thousands of rows takes minutes, so a stop is honoured between rows too.
        for (int i = 1; i <= rows && !stopRequested(); ++i) {
            const std::string secUid = table.cell(i - 1, acol::SecUid);
            if (secUid.empty()) {
                // No account to ask about: its share link is resolved again instead.
                retryFirstQuery(i - 1, false);
            } else if (!startPoll(secUid, i - 1)) {
                break;
            }
            const std::string counter = table.cell(i - 1, acol::Counter);
            // An empty counter is a row whose first query has not succeeded: nothing to report.
            if (!counter.empty() && counter != "0") {
                ctx_.appendLog(oneLine(table.cell(i - 1, acol::Nickname)) + "：有更新" + counter + "条\r\n");
                updated = true;
            }
            delay(ctx_.pacing.pollGap);
        }
        if (stopRequested()) return;
        for (int j = 1; j <= ticks; ++j) {
            ctx_.appendLog(std::to_string(ticks - j) + "\r\n");
            if (!pauseUnlessStopped(ctx_.pacing.countdownTick)) return;
        }
        if (!updated) ctx_.appendLog("监控账号无更新\r\n");
    }
}

void WorksEngine::monitorThreadMain() {
    for (;;) {
        std::uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen = startRequests_;
        }
        runWorksMonitor();
        std::lock_guard<std::mutex> lock(mutex_);
        // A start that came while this run was ending is served by this same thread.
        if (startRequests_ == seen || !ctx_.worksRunning || stopRequested()) {
            monitorActive_ = false;
            return;
        }
    }
}

void WorksEngine::startMonitorThread() {
    if (ctx_.closing) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++startRequests_;
        if (monitorActive_) return;
        monitorActive_ = true;
    }
    if (!ctx_.startThread([self = shared_from_this()] { self->monitorThreadMain(); })) {
        std::lock_guard<std::mutex> lock(mutex_);
        monitorActive_ = false;
    }
}

int WorksEngine::monitorThreads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return monitorActive_ ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// One poll

void WorksEngine::pollAccount(int rowNumber) {
    if (rowNumber < 1) return;
    const int row = rowNumber - 1;
    const std::string secUid = ctx_.accountTable.cell(row, acol::SecUid);
    if (secUid.empty()) return;
    std::uint64_t generation = 0;
    {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        AccountState* state = adoptRow(secUid, row);
        if (!state || state->query != AccountState::Query::Done || state->busy) return;
        state->busy = true;
        generation = state->generation;
    }
    pollKey(secUid, generation, row);
}

void WorksEngine::pollKey(const std::string& secUid, std::uint64_t generation, int rowHint) {
    TableStore& table = ctx_.accountTable;
    // The count to compare with is the row's: the test command lowers it by hand.
    auto storedCount = [&](const AccountState& state, int* row) {
        *row = findRow(secUid, rowHint);
        return *row >= 0 ? table.cell(*row, acol::PostCount) : state.postCount;
    };
    auto release = [&] {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        auto it = accounts_.find(secUid);
        if (it != accounts_.end() && it->second.generation == generation) it->second.busy = false;
    };

    const Profile profile = requestProfile(ctx_.endpoints, secUid);
    std::string stored;
    {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        auto it = accounts_.find(secUid);
        if (it == accounts_.end() || it->second.generation != generation) return;
        int row = -1;
        stored = storedCount(it->second, &row);
    }
    // A failed profile says nothing about the posts: counting it as a change would move the
    // counter and download the same video again on the next good answer.
    if (!profile.ok || profile.postCount == stored) return release();

    const PostList posts = requestPostList(ctx_.endpoints, secUid);
    // Likewise a failed post list, or an empty one for an account that has posts (the answer a
    // blocked request gets): the change stays visible and the next cycle retries it.
    if (!listUsable(profile, posts)) return release();

    std::vector<Video> fresh;
    std::string nickname;
    {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        auto it = accounts_.find(secUid);
        if (it == accounts_.end() || it->second.generation != generation) return;
        AccountState& state = it->second;
        state.busy = false;
        int row = -1;
        const double now = textToNumber(profile.postCount);
        const double before = textToNumber(storedCount(state, &row));
        if (now == before) return;
        const double change = now - before;
        state.counter += static_cast<std::int64_t>(change);
        state.postCount = profile.postCount;

        const auto& items = posts.items;
        const std::size_t top = newPostCount(idsOf(items), state.seen, change);
        for (std::size_t i = 0; i < top; ++i) fresh.push_back({items[i].id, items[i].desc, items[i].playAddress});
        for (const auto& item : items) state.seen.insert(item.id);
        seenPosts_.record(secUid, idsOf(items), profile.postCount, wallSeconds());

        const PostItem newest = items.empty() ? PostItem{} : items.front();
        if (newest.id != state.newestId || (row >= 0 && table.cell(row, acol::NewestId) != newest.id)) {
            state.newestId = newest.id;
            state.newestDesc = newest.desc;
            state.playAddress = newest.playAddress;
        }
        nickname = profile.nickname.empty() ? state.nickname : profile.nickname;
        writeRows(state, row);
    }
    if (fresh.empty()) return;
    ctx_.startThread([self = shared_from_this(), secUid, nickname, fresh] { self->downloadVideos(secUid, nickname, fresh); });
}

// ---------------------------------------------------------------------------------------------
// The video download and its retries

void WorksEngine::logDownload(const std::string& nickname, const std::string& what, const std::string& fileName,
                              const std::string& note) {
    ctx_.appendLog(logTimestamp() + "：" + oneLine(nickname + "：" + what + " " + fileName + "（" + note + "）") + "\r\n");
}

std::string WorksEngine::saveVideo(const std::string& nickname, const Video& video, std::string* file) {
    const std::string fileName = videoFileName(video.id, video.desc);
    if (video.playAddress.empty()) return "the post has no play address";
    HttpRequestOptions options;
    options.url = video.playAddress;
    options.method = 0;
    options.extraHeaders = std::string(kMobileAgentLine);
    options.noRedirect = true;
    options.maxBodyBytes = kMaxPageAnswerBytes;
    const HttpResult result = NativeHttpClient::send(options);
    const std::string page = result.text.empty() ? bodyToText(result.body) : result.text;
    const std::string videoAddress = anchorTarget(page);
    if (videoAddress.empty()) return result.error.empty() ? "no video address in the answer" : result.error;

    fs::path folder = ctx_.paths.downloadsDir();
    const std::string folderName = safeFileName(nickname);
    if (!folderName.empty()) folder /= fs::path(folderName);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec || !fs::is_directory(folder, ec)) return ec ? ec.message() : "no folder";
    const fs::path path = folder / fs::path(fileName);
    const FileDownload download = plainDownloadToFile(videoAddress, path.string());
    if (!download.ok) return download.error.empty() ? "the download failed" : download.error;
    if (file) *file = path.string();
    return {};
}

void WorksEngine::downloadVideos(const std::string& secUid, const std::string& nickname,
                                 const std::vector<Video>& videos) {
    for (const Video& video : videos) {
        if (ctx_.closing) return;
        // Already waiting for its next try: that try saves it.
        if (pending_.contains(video.id)) continue;
        std::string file;
        const std::string error = saveVideo(nickname, video, &file);
        if (error.empty()) {
            ctx_.events.publish(Event{EventType::PostSaved, std::chrono::system_clock::now(),
                                      {{"nickname", nickname}, {"description", video.desc}, {"file", file}, {"id", video.id}}});
            continue;
        }
        // A lost video leaves at least this line: nothing else tells the user it is missing.
        logDownload(nickname, "视频下载失败", videoFileName(video.id, video.desc), error);
        PendingDownload entry;
        entry.id = video.id;
        entry.desc = video.desc;
        entry.nickname = nickname;
        entry.secUid = secUid;
        entry.playAddress = video.playAddress;
        entry.firstTryMs = wallMs();
        entry.gapMs = cycleLength().count();
        entry.nextTryMs = entry.firstTryMs + entry.gapMs;
        entry.attempts = 1;
        entry.lastError = error;
        pending_.add(entry);
    }
}

void WorksEngine::retryDownload(PendingDownload entry) {
    if (entry.playAddress.empty() && !entry.secUid.empty()) {
        // The post had no address when it was listed; a later list may give one.
        for (const PostItem& item : requestPostList(ctx_.endpoints, entry.secUid).items)
            if (item.id == entry.id) entry.playAddress = item.playAddress;
    }
    const Video video{entry.id, entry.desc, entry.playAddress};
    const std::string fileName = videoFileName(entry.id, entry.desc);
    std::string file;
    const std::string error = saveVideo(entry.nickname, video, &file);
    if (error.empty()) {
        pending_.remove(entry.id);
        logDownload(entry.nickname, "视频下载成功", fileName, "第" + std::to_string(entry.attempts + 1) + "次尝试");
        ctx_.events.publish(Event{EventType::PostSaved, std::chrono::system_clock::now(),
                                  {{"nickname", entry.nickname}, {"description", entry.desc}, {"file", file}, {"id", entry.id}}});
        return;
    }
    logDownload(entry.nickname, "视频下载失败", fileName, error);
    ++entry.attempts;
    entry.lastError = error;
    const std::int64_t now = wallMs();
    const std::int64_t giveUpAt = entry.firstTryMs + ctx_.pacing.downloadGiveUp.count();
    if (now >= giveUpAt) {
        pending_.remove(entry.id);
        logDownload(entry.nickname, "视频下载放弃", fileName,
                    std::to_string(entry.attempts) + "次尝试均失败：" + error);
        ctx_.events.publish(Event{EventType::DownloadGivenUp, std::chrono::system_clock::now(),
                                  {{"nickname", entry.nickname}, {"description", entry.desc}, {"id", entry.id}, {"error", error}}});
        return;
    }
    entry.gapMs = std::min<std::int64_t>(std::max<std::int64_t>(entry.gapMs, 1) * 2, ctx_.pacing.retryGapCap.count());
    // The last try falls on the give-up time rather than a whole gap after it.
    entry.nextTryMs = std::min(now + entry.gapMs, giveUpAt);
    pending_.update(entry);
}

void WorksEngine::wakeRetries() { retryWake_.notify_all(); }

void WorksEngine::retryLoop(std::stop_token stop) {
    while (!stop.stop_requested()) {
        if (!ctx_.closing) {
            for (PendingDownload& entry : pending_.takeDue(wallMs())) {
                const PendingDownload copy = entry;
                if (!ctx_.startThread([self = shared_from_this(), copy] { self->retryDownload(copy); }))
                    pending_.update(copy);
            }
            // While the monitor runs, its cycles try the first queries again.
            if (!ctx_.worksRunning || monitorThreads() == 0) retryFirstQueries(true);
        }
        // Written here, at most once a tick, rather than by every query of a registration.
        saveSeenPosts();
        std::unique_lock<std::mutex> lock(mutex_);
        retryWake_.wait_for(lock, stop, ctx_.pacing.countdownTick, [] { return false; });
    }
    saveSeenPosts();
}

// ---------------------------------------------------------------------------------------------
// The public face

WorksMonitor::WorksMonitor(AppContext& ctx) : ctx_(ctx), engine_(std::make_shared<WorksEngine>(ctx)) {
    retry_ = std::jthread([engine = engine_](std::stop_token stop) { engine->retryLoop(stop); });
}

WorksMonitor::~WorksMonitor() {
    // A monitor thread must not outlive its owner's wish to stop it; everything else it
    // started runs to its end on the shared engine.
    if (engine_->monitorThreads() > 0) {
        ctx_.worksRunning = false;
        ctx_.worksStop = true;
    }
    retry_.request_stop();
    engine_->wakeRetries();
    if (retry_.joinable()) retry_.join();
}

void WorksMonitor::registerAccounts(const std::string& linkText, bool multiMode) {
    engine_->registerAccounts(linkText, multiMode);
}
void WorksMonitor::queryNewAccount(const std::string& link, const std::string& uid, const std::string& secUid) {
    engine_->queryNewAccount(link, uid, secUid);
}
void WorksMonitor::runWorksMonitor() { engine_->runWorksMonitor(); }
void WorksMonitor::pollAccount(int rowNumber) { engine_->pollAccount(rowNumber); }
void WorksMonitor::downloadNewestVideo(const std::string& playAddress, const std::string& newestDesc,
                                       const std::string& newestId, const std::string& nickname) {
    engine_->downloadVideo(playAddress, newestDesc, newestId, nickname);
}
void WorksMonitor::saveAccountEntry(const AccountEntry& entry) { engine_->saveAccountEntry(entry); }
void WorksMonitor::startMonitorThread() { engine_->startMonitorThread(); }
int WorksMonitor::monitorThreads() const { return engine_->monitorThreads(); }
int WorksMonitor::queriesInFlight() const { return engine_->queriesInFlight(); }
std::vector<PendingDownload> WorksMonitor::pendingDownloads() const { return engine_->pendingDownloads(); }

}  // namespace vigilo
