#include "works/monitor.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <system_error>
#include <vector>

#include "net/download.h"
#include "net/http.h"
#include "net/service.h"
#include "text/charset.h"
#include "text/jsondoc.h"
#include "text/strings.h"
#include "text/timefmt.h"
#include "works/accountfile.h"
#include "works/engine.h"
#include "works/names.h"
#include "works/paths.h"

namespace vigilo {
namespace {

constexpr int kTypeNumber = 2;
constexpr int kTypeText = 6;

// A count as text. The service sends numbers; a count that arrives as a quoted text is read
// as its content rather than as JSON with quotes around it.
std::string countText(const JsonDoc& doc, const char* path) {
    if (doc.typeOf(path) == kTypeText) return doc.getText(path);
    std::string text = doc.subDocument(path).toText();
    return text == "null" ? std::string() : text;
}

bool isDecimalNumber(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}


bool answered(const HttpResult& result) { return result.transportOk() && result.statusCode != 0; }

// Row index text to a row; text that is no row index gives -1 (every write then misses).
int rowFromText(const std::string& text) {
    const double value = textToNumber(text);
    if (!std::isfinite(value) || value < 0 || value > std::numeric_limits<int>::max()) return -1;
    return static_cast<int>(value);
}

}  // namespace

ProfileRecord requestProfile(const Endpoints& endpoints, const std::string& secUid) {
    HttpRequestOptions options;
    options.url = profileUrl(endpoints, secUid);
    options.maxBodyBytes = kMaxJsonAnswerBytes;
    const HttpResult result = InternetHttpClient::send(options);

    JsonDoc doc;
    const bool parsed =
        doc.parseKeeping(bodyToText(result.body), {kNicknamePath, kFollowerPath, kPostCountPath, kShortIdPath});
    ProfileRecord record;
    record.nickname = cutServiceText(doc.getText(kNicknamePath), kMaxNicknameBytes);
    record.followerText = cutServiceText(followerText(countText(doc, kFollowerPath)), kMaxServiceFieldBytes);
    record.postCount = cutServiceText(countText(doc, kPostCountPath), kMaxServiceFieldBytes);
    record.shortId = cutServiceText(doc.getText(kShortIdPath), kMaxServiceFieldBytes);

    const int countType = doc.typeOf(kPostCountPath);
    const bool hasCount = countType == kTypeNumber || (countType == kTypeText && isDecimalNumber(record.postCount));
    record.ok = answered(result) && parsed && doc.exists("['user_info']") && hasCount;
    return record;
}

NewestPostRecord requestNewestPost(const Endpoints& endpoints, const std::string& secUid) {
    HttpRequestOptions options;
    options.url = postListUrl(endpoints, secUid);
    options.method = 0;
    options.extraHeaders = std::string(kMobileAgentLine);
    options.maxBodyBytes = kMaxJsonAnswerBytes;
    const HttpResult result = InternetHttpClient::send(options);

    JsonDoc doc;
    // Only the newest post is read: the list's other entries are never built.
    const bool parsed = doc.parseKeeping(bodyToText(result.body), {kNewestIdPath, kNewestDescPath, kPlayAddressPath});
    NewestPostRecord record;
    record.newestId = cutServiceText(doc.getText(kNewestIdPath), kMaxServiceFieldBytes);
    record.newestDesc = cutServiceText(doc.getText(kNewestDescPath), kMaxDescriptionBytes);
    record.playAddress = cutServiceText(doc.getText(kPlayAddressPath), kMaxServiceFieldBytes);
    record.listEmpty = doc.count("['aweme_list']") == 0;
    record.ok = answered(result) && parsed;
    return record;
}

std::string anchorTarget(const std::string& page) {
    const std::string href = textBetween(page, "<a href=\"", "\">Found</a>.");
    // "&amp;" last, so an escaped escape is undone once only.
    return replacePairs(href, {{"&#34;", "\""}, {"&quot;", "\""}, {"&#39;", "'"}, {"&lt;", "<"},
                               {"&gt;", ">"}, {"&amp;", "&"}});
}

// ---------------------------------------------------------------------------------------------
// Registration and the initial query

void WorksEngine::ensureRegistrationPool() {
    ctx_.accountRegistrationPool.create(
        [self = shared_from_this()](const TaskArgs& args) {
            if (args.size() >= 4) self->queryNewAccount(args[0], args[1], args[2], args[3]);
        },
        20, 400);
}

void WorksEngine::registerOne(const std::string& element) {
    // A blank line still gets its row, as every other line does; only the request is spared.
    const std::string page = element.empty() ? std::string() : resolveShareLink(element);
    const std::string uid = textBetween(page, "/user/", "?");
    const std::string secUid = textBetween(page, "sec_uid=", "&amp");

    TableStore& table = ctx_.accountTable;
    const int row = table.appendRow();
    table.setCell(row, acol::Link, element);
    table.setCell(row, acol::Uid, uid);
    table.setCell(row, acol::SecUid, secUid);
    ctx_.accountRegistrationPool.post({element, uid, secUid, std::to_string(row)});
}

void WorksEngine::registerAccounts(const std::string& linkText, bool multiMode) {
    const std::vector<std::string> elements = splitCrLf(linkText);
    ensureRegistrationPool();
    if (multiMode) {
        ctx_.accountTable.deleteAll();
        for (const auto& element : elements) {
            registerOne(element);
            delay(ctx_.pacing.accountPostGap);
        }
    } else if (!elements.empty()) {
        registerOne(elements.back());
    }
}

void WorksEngine::queryNewAccount(const std::string& link, const std::string& uid, const std::string& secUid,
                                  const std::string& rowIndexText) {
    const ProfileRecord profile = requestProfile(ctx_.endpoints, secUid);
    const NewestPostRecord newest = requestNewestPost(ctx_.endpoints, secUid);

    AccountEntry entry{link,
                       uid,
                       secUid,
                       profile.shortId,
                       profile.nickname,
                       profile.followerText,
                       profile.postCount,
                       newest.newestDesc,
                       newest.newestId,
                       newest.playAddress};
    // Without a thread the file misses this entry; the table still gets its row.
    ctx_.startThread([self = shared_from_this(), entry] { self->saveAccountEntry(entry); });

    std::lock_guard<TableLock> lock(ctx_.tableLock);
    TableStore& table = ctx_.accountTable;
    const int row = rowFromText(rowIndexText);
    const std::string cells[] = {entry.link,       entry.uid,        entry.secUid,     entry.shortId,
                                 entry.nickname,   entry.followerText, entry.postCount, entry.newestDesc,
                                 "0",              entry.newestId,   entry.playAddress};
    for (int column = 0; column < static_cast<int>(std::size(cells)); ++column)
        table.setCell(row, column, cells[column]);
}

void WorksEngine::saveAccountEntry(const AccountEntry& entry) {
    writeAccountEntry(ctx_.paths.accountFile(), entry);
    delay(Millis{10});
}

// ---------------------------------------------------------------------------------------------
// The monitor loop

bool WorksEngine::pauseUnlessStopped(Millis duration) {
    // Sliced so a stop is seen within a fraction of a countdown second.
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        if (stopRequested()) return false;
        const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
        if (left <= Millis{0}) break;
        delay(std::min(left, Millis{20}));
    }
    return !stopRequested();
}

bool WorksEngine::startPoll(int rowNumber) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (activePolls_ >= kMaxConcurrentPolls) {
            if (stopRequested()) return false;
            pollDone_.wait_for(lock, Millis{20});
        }
        ++activePolls_;
    }
    const bool started = ctx_.startThread([self = shared_from_this(), rowNumber] {
        self->pollAccount(rowNumber);
        self->pollFinished();
    });
    if (!started) pollFinished();
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
            if (!startPoll(i)) break;
            const std::string counter = table.cell(i - 1, acol::Counter);
            // An empty counter is a row whose initial query has not finished: nothing to report.
            if (!counter.empty() && counter != "0") {
                ctx_.appendLog(oneLine(table.cell(i - 1, acol::Nickname)) + "：有更新1条\r\n");
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
    TableStore& table = ctx_.accountTable;
    const std::string secUid = table.cell(row, acol::SecUid);
    // Without its initial query the row has no count to compare with.
    if (table.cell(row, acol::Counter).empty()) return;

    const ProfileRecord profile = requestProfile(ctx_.endpoints, secUid);
    // A failed profile says nothing about the posts: counting it as a change would move the
    // counter and download the same video again on the next good answer.
    if (!profile.ok) return;
    if (profile.postCount == table.cell(row, acol::PostCount)) return;

    const NewestPostRecord newest = requestNewestPost(ctx_.endpoints, secUid);
    // Likewise a failed post list, or an empty one for an account that has posts (the answer a
    // blocked request gets): the change stays visible and the next cycle retries it.
    if (!newest.ok || (newest.listEmpty && textToNumber(profile.postCount) > 0)) return;

    bool rose = false;
    {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        // The row may have been deleted or rebuilt while the requests ran.
        if (table.cell(row, acol::SecUid) != secUid || table.cell(row, acol::Counter).empty()) return;
        const double now = textToNumber(profile.postCount);
        const double stored = textToNumber(table.cell(row, acol::PostCount));
        if (now == stored) return;
        table.setCell(row, acol::PostCount, profile.postCount);
        const double counter = textToNumber(table.cell(row, acol::Counter));
        table.setCell(row, acol::Counter, numberText(now < stored ? counter - 1 : counter + 1));
        if (newest.newestId != table.cell(row, acol::NewestId)) {
            table.setCell(row, acol::NewestDesc, newest.newestDesc);
            table.setCell(row, acol::NewestId, newest.newestId);
            table.setCell(row, acol::PlayAddress, newest.playAddress);
        }
        rose = now > stored;
    }
    if (!rose) return;
    ctx_.startThread([self = shared_from_this(), newest, nickname = profile.nickname] {
        self->downloadNewestVideo(newest.playAddress, newest.newestDesc, newest.newestId, nickname);
    });
}

// ---------------------------------------------------------------------------------------------
// The video download

void WorksEngine::downloadNewestVideo(const std::string& playAddress, const std::string& newestDesc,
                                      const std::string& newestId, const std::string& nickname) {
    const std::string fileName = videoFileName(newestId, newestDesc);
    // A lost video leaves at least this line: nothing else tells the user it is missing.
    auto reportFailure = [&](const std::string& why) {
        ctx_.appendLog(logTimestamp() + "：" + oneLine(nickname + "：视频下载失败 " + fileName + "（" + why + "）") + "\r\n");
    };
    if (playAddress.empty()) {
        reportFailure("the post has no play address");
        return;
    }
    HttpRequestOptions options;
    options.url = playAddress;
    options.method = 0;
    options.extraHeaders = std::string(kMobileAgentLine);
    options.noRedirect = true;
    options.maxBodyBytes = kMaxPageAnswerBytes;
    const HttpResult result = NativeHttpClient::send(options);
    const std::string page = result.text.empty() ? bodyToText(result.body) : result.text;
    const std::string videoAddress = anchorTarget(page);
    if (videoAddress.empty()) {
        reportFailure(result.error.empty() ? "no video address in the answer" : result.error);
        return;
    }

    fs::path folder = ctx_.paths.downloadsDir();
    const std::string folderName = safeFileName(nickname);
    if (!folderName.empty()) folder /= fs::path(folderName);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec || !fs::is_directory(folder, ec)) {
        reportFailure(ec ? ec.message() : "no folder");
        return;
    }
    const FileDownload download = plainDownloadToFile(videoAddress, (folder / fs::path(fileName)).string());
    if (!download.ok) reportFailure(download.error);
}

// ---------------------------------------------------------------------------------------------
// The public face

WorksMonitor::WorksMonitor(AppContext& ctx) : ctx_(ctx), engine_(std::make_shared<WorksEngine>(ctx)) {}

WorksMonitor::~WorksMonitor() {
    // A monitor thread must not outlive its owner's wish to stop it; everything else it
    // started runs to its end on the shared engine.
    if (engine_->monitorThreads() > 0) {
        ctx_.worksRunning = false;
        ctx_.worksStop = true;
    }
}

void WorksMonitor::registerAccounts(const std::string& linkText, bool multiMode) {
    engine_->registerAccounts(linkText, multiMode);
}
void WorksMonitor::queryNewAccount(const std::string& link, const std::string& uid, const std::string& secUid,
                                   const std::string& rowIndexText) {
    engine_->queryNewAccount(link, uid, secUid, rowIndexText);
}
void WorksMonitor::runWorksMonitor() { engine_->runWorksMonitor(); }
void WorksMonitor::pollAccount(int rowNumber) { engine_->pollAccount(rowNumber); }
void WorksMonitor::downloadNewestVideo(const std::string& playAddress, const std::string& newestDesc,
                                       const std::string& newestId, const std::string& nickname) {
    engine_->downloadNewestVideo(playAddress, newestDesc, newestId, nickname);
}
void WorksMonitor::saveAccountEntry(const AccountEntry& entry) { engine_->saveAccountEntry(entry); }
void WorksMonitor::startMonitorThread() { engine_->startMonitorThread(); }
int WorksMonitor::monitorThreads() const { return engine_->monitorThreads(); }

}  // namespace vigilo
