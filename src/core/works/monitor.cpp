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

#include "app/aside.h"
#include "net/download.h"
#include "net/http.h"
#include "net/service.h"
#include "text/charset.h"
#include "text/strings.h"
#include "text/timefmt.h"
#include "works/accountfile.h"
#include "works/engine.h"
#include "works/names.h"
#include "works/sidecars.h"

namespace vigilo {
std::string anchorTarget(const std::string& page) {
    const std::string href = textBetween(page, "<a href=\"", "\">Found</a>.");
    // "&amp;" last, so an escaped escape is undone once only.
    return replacePairs(
        href, {{"&#34;", "\""}, {"&quot;", "\""}, {"&#39;", "'"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}});
}

namespace {

// "已忽略无法使用的 <file>（<why>）", and where the file went: it is kept for the user, never
// overwritten.
std::string unusableFileLine(const std::string& name, const std::string& why, const std::string& movedTo) {
    std::string line = "已忽略无法使用的 " + name + "（" + why + "）";
    line += movedTo.empty() ? "，且无法移走" : "，原文件已改名为 " + movedTo;
    return line;
}

int downloadLimitFromEnvironment() {
    const char* text = std::getenv("VIGILO_MAX_DOWNLOADS");
    if (text == nullptr || *text == '\0') return 4;
    const double value = textToNumber(text);
    return value >= 1 ? static_cast<int>(std::min(value, 64.0)) : 4;
}

}  // namespace

WorksEngine::WorksEngine(AppContext& ctx)
    : ctx_(ctx),
      pending_(ctx.paths.pendingDownloadsFile()),
      seenPosts_(ctx.paths.seenPostsFile()),
      sidecars_(sidecarsFromEnvironment()) {
    maxDownloads_ = downloadLimitFromEnvironment();
    const PendingDownloads::LoadResult loaded = pending_.load(wallMs());
    if (!loaded.problem.empty()) logLine(unusableFileLine("pending-downloads.json", loaded.problem, loaded.movedTo));
    givingUp(loaded.givenUp, "待下载列表已满");
    const std::string ignored = seenPosts_.load();
    if (!ignored.empty()) logLine(unusableFileLine("seen-posts.json", ignored, moveAside(ctx.paths.seenPostsFile())));
}

void WorksEngine::saveSeenPosts(bool whole) {
    // A post is listed as pending before the record of seen posts takes it; so the pending list
    // goes to disk first, after the changes to write are taken: whatever a kill leaves, no post
    // is seen and missing from the list.
    seenPosts_.save([this] { return pending_.ensureWritten(); }, whole);
}

Millis WorksEngine::cycleLength() const {
    return std::max(Millis{1}, ctx_.pacing.countdownTick * std::max(1, ctx_.pacing.countdownTicks));
}

Millis WorksEngine::retryGap(int failures) const {
    const int doublings = std::clamp(failures - 1, 0, 20);
    const Millis gap = std::min<Millis>(cycleLength() * (1LL << doublings), ctx_.pacing.retryGapCap);
    // Spread, so accounts that failed together (an outage) are not asked again together.
    return gap +
           randomShare(Millis(static_cast<long long>(static_cast<double>(gap.count()) * ctx_.pacing.retrySpread)));
}

// ---------------------------------------------------------------------------------------------
// The row cells, and the commands that edit rows

void WorksEngine::deleteRow(int row) {
    std::lock_guard<TableLock> lock(ctx_.tableLock);
    TableStore& table = ctx_.accountTable;
    if (row < 0 || row >= table.rowCount()) return;
    const std::string secUid = table.cell(row, acol::SecUid);
    table.deleteRow(row);
    if (!secUid.empty() && findRow(secUid, -1) < 0) accounts_.erase(secUid);
}

void WorksEngine::clearRows() {
    std::lock_guard<TableLock> lock(ctx_.tableLock);
    ctx_.accountTable.deleteAll();
    accounts_.clear();
}

void WorksEngine::testCommand(int row, const std::string& postCount) {
    std::lock_guard<TableLock> lock(ctx_.tableLock);
    TableStore& table = ctx_.accountTable;
    if (row < 0 || row >= table.rowCount()) return;
    const std::string secUid = table.cell(row, acol::SecUid);
    auto it = secUid.empty() ? accounts_.end() : accounts_.find(secUid);
    if (it != accounts_.end()) {
        AccountState& state = it->second;
        state.postCount = postCount;
        state.newestDesc.clear();
        state.newestId.clear();
    }
    // Only the cells the command changes: the others keep what they show.
    table.setCell(row, acol::PostCount, postCount);
    table.setCell(row, acol::NewestDesc, "");
    table.setCell(row, acol::NewestId, "");
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
        {acol::ShortId, state.shortId},        {acol::Nickname, state.nickname},
        {acol::Followers, state.followerText}, {acol::PostCount, state.postCount},
        {acol::NewestDesc, state.newestDesc},  {acol::Counter, numberText(static_cast<double>(state.counter))},
        {acol::NewestId, state.newestId},      {acol::PlayAddress, state.playAddress}};
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
void WorksMonitor::deleteRow(int row) { engine_->deleteRow(row); }
void WorksMonitor::clearRows() { engine_->clearRows(); }
void WorksMonitor::testCommand(int row, const std::string& postCount) { engine_->testCommand(row, postCount); }
void WorksMonitor::setDownloadLimit(int limit) { engine_->setDownloadLimit(limit); }
int WorksMonitor::downloadsRunning() const { return engine_->downloadsRunning(); }
std::uint64_t WorksMonitor::pendingWrites() const { return engine_->pendingWrites(); }
void WorksMonitor::startMonitorThread() { engine_->startMonitorThread(); }
int WorksMonitor::monitorThreads() const { return engine_->monitorThreads(); }
int WorksMonitor::queriesInFlight() const { return engine_->queriesInFlight(); }
std::vector<PendingDownload> WorksMonitor::pendingDownloads() const { return engine_->pendingDownloads(); }

}  // namespace vigilo
