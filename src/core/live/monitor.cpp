#include "live/monitor.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <optional>

#include "app/linkfile.h"
#include "live/collect.h"
#include "live/progress.h"
#include "live/recorder.h"
#include "live/roomanswer.h"
#include "live/runner.h"
#include "live/showreport.h"
#include "live/shows.h"
#include "live/supervisor.h"
#include "net/http.h"
#include "net/politeness.h"
#include "net/service.h"
#include "text/charset.h"
#include "text/filenames.h"
#include "text/strings.h"
#include "text/timefmt.h"

namespace vigilo {

namespace {

using Clock = std::chrono::steady_clock;

int rowNumberOf(const std::string& text) {
    const double value = textToNumber(text);
    if (!(value >= 1 && value <= 1e9)) return 0;
    return static_cast<int>(value);
}

}  // namespace

void RowOrder::waitTurn(int index) {
    std::unique_lock lock(mutex_);
    turn_.wait(lock, [&] { return next_ >= index; });
}

void RowOrder::done(int index) {
    std::lock_guard lock(mutex_);
    done_.insert(index);
    while (done_.count(next_) != 0) done_.erase(next_++);
    turn_.notify_all();
}

// The rows: registration, polls, and what the recorders and the passes mean for a row. Every
// row text is written here, from a RoomState.
struct LiveMonitor::State : std::enable_shared_from_this<LiveMonitor::State> {
    using Recorder = RecorderSet::Recorder;
    using Claim = RecorderSet::Claim;

    explicit State(AppContext& context)
        : ctx(context),
          supervisor(
              context, [this](int row) { queueIfPolled(row); }, [this] { retryUnansweredLinks(); }),
          recorders(context, {[this](const Recorder& r) { recorderStarted(r); },
                              [this](const Recorder& r, const ProgressFigures& f) { recorderProgress(r, f); },
                              [this](const Recorder& r, const RecorderSet::End& end) { recorderFinished(r, end); }}) {
        if (const std::string why = shows.load(); !why.empty())
            log(std::string(kShowsFileName) + " 无法读取（" + why + "），已开播的节目重新记录");
        if (const std::string why = reports.load(nowSeconds()); !why.empty())
            log(std::string(kReportsFileName) + " 无法读取（" + why + "）");
    }
    ~State() { close(); }

    AppContext& ctx;
    std::atomic<bool> closed{false};
    // "停止录制" ended the passes; a period chosen, "开始录制" or new links start them again.
    std::atomic<bool> passesStopped{false};

    // Links whose share page got no answer (a failure of the service, not a wrong link): each
    // pass tries them again, and a row is added once one resolves.
    mutable std::mutex linksMutex;
    std::set<std::string> unanswered;
    std::set<std::string> retrying;
    std::uint64_t linkGeneration = 0;  // moves on when the rows are registered anew
    // The room of each row, by row number - 1; under the TableLock. The rows' status cells are
    // written from these, and every decision reads these, not the cells.
    std::vector<std::optional<Room>> rooms;
    // The shows announced, across restarts: each goes live once for the user.
    static constexpr const char* kShowsFileName = "announced-shows.json";
    AnnouncedShows shows{ctx.paths.dataDir / kShowsFileName};
    // The shows on air, for the report each gets when it ends (live/showreport.h).
    static constexpr const char* kReportsFileName = "show-reports.json";
    ShowReports reports{ctx.paths.dataDir / kReportsFileName};
    // Before the recorders: their threads, joined as the set goes, may still ask for a poll.
    PassSupervisor supervisor;
    RecorderSet recorders;

    void log(const std::string& text) { ctx.appendLog(logTimestamp() + "：" + oneLine(text) + "\r\n"); }

    // ---- reading the service ----

    JsonDoc fetchRoomInfo(const std::string& roomId) {
        HttpRequestOptions options;
        options.url = roomInfoUrl(ctx.endpoints, roomId);
        options.method = HttpMethod::Get;
        options.extraHeaders = std::string(kMobileAgentLine);
        options.maxBodyBytes = kMaxJsonAnswerBytes;
        options.contentJudged = true;
        const HttpResult answer = ScriptableHttpClient::send(options);
        JsonDoc doc;
        doc.parseKeeping(bodyToText(answer.body), roomAnswerPaths());
        net::reportAnswer(options.url, answer.statusCode, answer.responseHeaders, answer.body,
                          answer.transportOk() && doc.exists("data.room"));
        return doc;
    }

    RoomAnswer fetchRoom(const std::string& roomId) {
        RoomAnswer answer = parseRoomAnswer(fetchRoomInfo(roomId));
        ++ctx.counters.roomChecks;
        if (!answer.hasRoom) ++ctx.counters.roomCheckFailures;
        return answer;
    }

    bool notifyOnly(const std::string& roomId, const std::string& latestId) const {
        return ctx.settings.notifyOnly(roomId) || (!latestId.empty() && ctx.settings.notifyOnly(latestId));
    }

    // ---- the row ----

    // Under the TableLock: the room of a row (from 1), null when there is no such row. A row
    // filled by other code is taken as it shows.
    Room* roomLocked(int row) {
        const int count = ctx.roomTable.rowCount();
        if (row < 1 || row > count) return nullptr;
        rooms.resize(static_cast<std::size_t>(count));
        std::optional<Room>& room = rooms[static_cast<std::size_t>(row - 1)];
        if (!room || room->roomId != ctx.roomTable.cell(row - 1, rcol::RoomId))
            room = roomFromCells(ctx.roomTable, row - 1);
        return &*room;
    }

    // Under the TableLock: the room's new state, and its texts in the row.
    void writeStateLocked(int row, RoomState state) {
        if (Room* room = roomLocked(row)) setRoomState(ctx.roomTable, row - 1, *room, state);
    }

    void clearRooms() {
        std::lock_guard table(ctx.tableLock);
        ctx.roomTable.deleteAll();
        rooms.clear();
    }

    // Under the TableLock: all nine cells, the figures back at their start.
    void writeRowLocked(int row, const std::string& nickname, const std::string& roomId, const RoomAnswer& source,
                        const std::string& latestId, const std::string& streamUrl, RoomState state) {
        if (row < 1 || row > ctx.roomTable.rowCount()) return;
        rooms.resize(static_cast<std::size_t>(ctx.roomTable.rowCount()));
        Room& room = rooms[static_cast<std::size_t>(row - 1)].emplace(Room{roomId, latestId, nickname});
        const std::string cells[9] = {nickname, roomId, latestId, "", streamUrl, formatTimestamp(source.createTime),
                                      "",       "0KB",  "0"};
        for (int c = 0; c < 9; ++c)
            if (c != rcol::LiveStatus && c != rcol::RecordStatus) ctx.roomTable.setCell(row - 1, c, cells[c]);
        ctx.roomTable.setCell(row - 1, rcol::LiveStatus, kOfflineWord);
        setRoomState(ctx.roomTable, row - 1, room, state);
    }

    // Once per show, whatever polls and restarts meet it.
    void announceLive(const std::string& show, const std::string& nickname, const std::string& roomId,
                      const std::string& stream, const std::string& createTime) {
        if (!shows.announce(show)) return;
        ctx.events.publish(makeEvent(EventType::RoomLive, {{"nickname", nickname},
                                                           {"roomId", roomId},
                                                           {"stream", stream},
                                                           {"startTime", formatTimestamp(createTime)}}));
    }

    // ---- the report of each show ----

    static std::int64_t nowSeconds() {
        return std::chrono::duration_cast<std::chrono::seconds>(wallNow().time_since_epoch()).count();
    }

    // A show seen live for a room that records it (or tries to).
    void showLive(const std::string& roomId, const std::string& show, const std::string& nickname,
                  const std::string& liveRoomId, const std::string& createTime) {
        const double start = textToNumber(createTime);
        const std::int64_t startedAt = start > 0 && start < 1e11 ? static_cast<std::int64_t>(start) : 0;
        if (auto over = reports.liveSeen(roomId, show, nickname, liveRoomId, startedAt, nowSeconds()))
            reportShow(*over);
    }

    void showOver(const std::string& roomId) {
        if (auto over = reports.finish(roomId)) reportShow(*over);
    }

    // Once per show, as it ends: one log line and show_ended.
    void reportShow(ShowReport report) {
        // The files say how long they are; where one cannot be read, what its recorder last said.
        for (ShowFile& f : report.files) {
            for (const fs::path& place : {ctx.paths.dataDir / f.name, ctx.paths.collectionDir() / f.name}) {
                FragmentScan scan;
                if (const std::optional<double> seconds = recordedSeconds(place, scan); seconds && *seconds > 0) {
                    f.seconds = *seconds;
                    break;
                }
            }
        }
        const ShowSummary s = summarizeShow(report);
        std::string files;
        for (const ShowFile& f : report.files) files += (files.empty() ? "" : "、") + f.name;
        const std::string share = std::to_string(static_cast<int>(s.share * 100 + 0.5)) + "%";
        const std::string gaps = gapsText(s);
        const std::string gapCount = std::to_string(s.gaps.size());
        log("直播结束：" + report.nickname + "，直播 " + clockText(s.onAirSeconds) + "，录制 " +
            clockText(s.recordedSeconds) + "（" + share + "），间断 " + gapCount + " 次共 " + clockText(s.gapSeconds) +
            (gaps.empty() ? "" : "（" + gaps + "）") + (files.empty() ? "，没有录像" : "，录像：" + files));
        ctx.events.publish(
            makeEvent(EventType::ShowEnded, {{"nickname", report.nickname},
                                             {"roomId", report.roomId},
                                             {"liveRoomId", report.liveRoomId},
                                             {"startTime", formatTimestamp(std::to_string(s.start))},
                                             {"endTime", formatTimestamp(std::to_string(s.end))},
                                             {"onAir", clockText(s.onAirSeconds)},
                                             {"onAirSeconds", std::to_string(std::llround(s.onAirSeconds))},
                                             {"recorded", clockText(s.recordedSeconds)},
                                             {"recordedSeconds", std::to_string(std::llround(s.recordedSeconds))},
                                             {"share", share},
                                             {"gaps", gapCount},
                                             {"gapSeconds", std::to_string(std::llround(s.gapSeconds))},
                                             {"gapList", gaps},
                                             {"files", files}}));
        // The row keeps the last show's report (its tooltip, the web page's hidden column).
        const std::string cell = "上一场 " + formatTimestamp(std::to_string(s.start)) + "：直播 " +
                                 clockText(s.onAirSeconds) + "，录制 " + clockText(s.recordedSeconds) + "（" + share +
                                 "），间断 " + gapCount + " 次" + (gaps.empty() ? "" : "（" + gaps + "）") +
                                 (files.empty() ? "" : "，录像：" + files);
        std::lock_guard table(ctx.tableLock);
        const int rows = ctx.roomTable.rowCount();
        for (int row = 1; row <= rows; ++row)
            if (const Room* room = roomLocked(row); room != nullptr && room->roomId == report.roomId)
                ctx.roomTable.setCell(row - 1, rcol::ShowReport, cell);
    }

    // ---- what a recorder means for its row ----

    void recorderStarted(const Recorder& recorder) {
        reports.recordingStarted(recorder.roomId, recorder.show, recorder.fileName, nowSeconds());
        ctx.setStatus(StatusBar::Monitor::Live, "直播录制中……");
        std::lock_guard table(ctx.tableLock);
        const Room* room = roomLocked(recorder.row);
        if (room != nullptr && room->nickname == recorder.nickname)
            writeStateLocked(recorder.row, RoomState::Recording);
    }

    void recorderProgress(const Recorder& recorder, const ProgressFigures& figures) {
        std::lock_guard table(ctx.tableLock);
        const int rows = ctx.roomTable.rowCount();
        for (int i = 0; i < rows; ++i) {
            if (roomLocked(i + 1)->nickname != recorder.nickname) continue;
            ctx.roomTable.setCell(i, rcol::RecordSize, figures.size);
            if (!figures.duration.empty()) ctx.roomTable.setCell(i, rcol::RecordDuration, figures.duration);
        }
    }

    // A row whose recorder was stopped by "停止录制" keeps its live status and says so. Any other
    // end (the show over, a stall, a failure, a refusal) shows the room as offline again, its last
    // size and duration kept, and it is polled again soon unless recording has been stopped.
    // Without the quick poll the row waits for the next pass.
    // A recorder that could not start (or ended before recording anything) leaves the row live
    // and saying so, and the next pass tries again.
    void recorderEnded(int row, const std::string& nickname, std::uint64_t epoch, bool quickPoll = true,
                       const Recorder* ending = nullptr, bool failed = false, bool noSpace = false) {
        bool stopped = false;
        {
            std::lock_guard table(ctx.tableLock);
            const Room* room = roomLocked(row);
            if (room == nullptr || room->nickname != nickname || recorders.recording(row, room->roomId, ending)) return;
            stopped = epoch != recorders.epoch();
            writeStateLocked(row, stopped   ? RoomState::RecordingStopped
                                  : noSpace ? RoomState::NoSpace
                                  : failed  ? RoomState::RecordingFailed
                                            : RoomState::Offline);
        }
        if (!stopped && quickPoll && !failed && !noSpace) supervisor.pollSoon(row);
    }

    void recorderFinished(const Recorder& recorder, const RecorderSet::End& end) {
        FragmentScan scan;
        const double seconds = recordedSeconds(ctx.paths.dataDir / recorder.fileName, scan).value_or(0);
        reports.recordingEnded(recorder.roomId, recorder.fileName, seconds, end.failed ? "failed" : end.reason,
                               nowSeconds());
        if (end.failed) recordingFailed(recorder.nickname, recorder.roomId, recorder.show, end.why);
        recorderEnded(recorder.row, recorder.nickname, recorder.epoch, end.quickPoll, &recorder, end.failed,
                      end.noSpace);
    }

    // Once per show: the log line that says why, and the event. Every pass tries again.
    void recordingFailed(const std::string& nickname, const std::string& roomId, const std::string& show,
                         const std::string& why) {
        reports.recorderFailed(roomId, show, nowSeconds());
        if (!shows.firstFailure(show)) return;
        log("录制失败：" + nickname + "（" + why + "）");
        ctx.events.publish(
            makeEvent(EventType::RecordingFailed, {{"nickname", nickname}, {"roomId", roomId}, {"error", why}}));
    }

    void handleRefusal(Claim outcome, int row, const std::string& nickname, const std::string& roomId,
                       std::uint64_t epoch, const std::string& show, const std::string& why) {
        if (outcome == Claim::Refused) recordingFailed(nickname, roomId, show, why);
        if (outcome == Claim::Refused || outcome == Claim::Stopped || outcome == Claim::NoSpace)
            recorderEnded(row, nickname, epoch, false, nullptr, outcome == Claim::Refused, outcome == Claim::NoSpace);
    }

    // Claims the row and starts the recording thread; the outcome says what the row needs.
    Claim startRecording(const StreamChoice& stream, const std::string& nickname, const std::string& roomId, int row,
                         std::uint64_t epoch, const std::string& show, std::string& why) {
        std::shared_ptr<Recorder> recorder;
        const Claim outcome = recorders.claim(stream.url, nickname, roomId, row, epoch, recorder, &why);
        if (outcome != Claim::Ok) return outcome;
        recorder->show = show;
        if (!recorder->earlier) recorder->options.audioOnly = stream.audioOnly;
        if (recorders.start(recorder)) return Claim::Ok;
        why = "无法启动录制线程";
        return Claim::Refused;
    }

    // ---- registration and poll ----

    // The link has its answer: no more tries. False when the rows were registered anew since.
    bool forgetLink(const std::string& link, std::uint64_t generation) {
        std::lock_guard lock(linksMutex);
        if (generation != linkGeneration) return false;
        unanswered.erase(link);
        return true;
    }

    // ---- links that got no answer ----

    void keepUnanswered(const std::string& link, std::uint64_t generation) {
        {
            std::lock_guard lock(linksMutex);
            if (generation != linkGeneration || !unanswered.insert(link).second) return;
        }
        log("直播间链接暂时无法打开，稍后重试：" + link);
    }

    void retryUnansweredLinks() {
        std::vector<std::string> due;
        std::uint64_t generation = 0;
        {
            std::lock_guard lock(linksMutex);
            generation = linkGeneration;
            for (const std::string& link : unanswered)
                if (retrying.insert(link).second) due.push_back(link);
        }
        for (const std::string& link : due) {
            const bool started = ctx.startThread("roomLinkRetry", [self = shared_from_this(), link, generation] {
                self->registerRoom(link, nullptr, 0, generation);
                std::lock_guard lock(self->linksMutex);
                self->retrying.erase(link);
            });
            if (!started) {
                std::lock_guard lock(linksMutex);
                retrying.erase(link);
            }
        }
    }

    void forgetUnansweredLinks() {
        std::lock_guard lock(linksMutex);
        ++linkGeneration;
        unanswered.clear();
    }

    bool hasUnansweredLinks() const {
        std::lock_guard lock(linksMutex);
        return !unanswered.empty();
    }

    // `retryOf`: the link generation of a link tried again after it got no answer; 0 for a
    // registration in its list's order.
    void registerRoom(const std::string& link, RowOrder* order, int index, std::uint64_t retryOf = 0) {
        // Whatever happens to this link, the links after it get their turn.
        struct TurnDone {
            RowOrder* order;
            int index;
            void now() {
                if (order != nullptr) order->done(index);
                order = nullptr;
            }
            ~TurnDone() { now(); }
        } turnDone{order, index};
        if (link.empty() || closed) return;
        const std::uint64_t epoch = recorders.epoch();
        std::uint64_t generation = retryOf;
        if (retryOf == 0) {
            std::lock_guard lock(linksMutex);
            generation = linkGeneration;
        }
        const SharePage page = fetchSharePage(link);
        std::string roomId = textBetween(page.text, "reflow/", "?");
        // A redirect whose page came without its body still names its target.
        if (roomId.empty()) roomId = textBetween(page.location, "reflow/", "?");
        if (roomId.empty()) {
            // The message may wait for a click; the next links do not.
            turnDone.now();
            if (!page.answered) return keepUnanswered(link, generation);
            forgetLink(link, generation);
            ctx.ui.messageBox("请输入直播间分享链接，非主页链接", "", MessageIcon::None);
            return;
        }
        const RoomAnswer first = fetchRoom(roomId);
        RoomAnswer source = first;
        if (first.ownerLive() && first.latestId != roomId) source = fetchRoom(first.latestId);
        const bool live = first.ownerLive();
        const bool alertOnly = live && notifyOnly(roomId, first.latestId);
        const StreamChoice stream = chooseStream(source, ctx.settings.qualityFor(roomId), true);
        const std::string streamUrl = live ? stream.url : std::string();
        // The nickname stays the one of the linked room.
        const std::string& nickname = first.nickname;
        const RoomState state = !live       ? RoomState::Offline
                                : alertOnly ? RoomState::LiveNotRecorded
                                            : RoomState::Recording;

        if (order != nullptr) order->waitTurn(index);
        int rowNumber = 0;
        {
            std::lock_guard table(ctx.tableLock);
            // A retried link whose list has been registered anew since adds no row.
            if (!forgetLink(link, generation) && retryOf != 0) return;
            rowNumber = ctx.roomTable.appendRow() + 1;
            writeRowLocked(rowNumber, nickname, roomId, live ? source : first, first.latestId, streamUrl, state);
        }
        turnDone.now();
        const std::string show = AnnouncedShows::keyOf(first.latestId, source.createTime);
        if (live) announceLive(show, nickname, roomId, streamUrl, source.createTime);
        if (state == RoomState::Recording) {
            showLive(roomId, show, nickname, first.latestId, source.createTime);
            std::string why;
            const Claim outcome = startRecording(stream, nickname, roomId, rowNumber, epoch, show, why);
            handleRefusal(outcome, rowNumber, nickname, roomId, epoch, show, why);
        }
    }

    void pollRoom(int n) {
        if (closed) return;
        const std::uint64_t epoch = recorders.epoch();
        std::string roomId;
        {
            std::lock_guard table(ctx.tableLock);
            const Room* room = roomLocked(n);
            if (room == nullptr) return;
            roomId = room->roomId;
        }
        const RoomAnswer first = fetchRoom(roomId);
        if (!first.ownerLive()) {
            // A live row without a recorder (alerting only, or stopped) tells that the show is
            // over once the service says so; a failed answer says nothing.
            if (!first.hasRoom) return;
            showOver(roomId);
            std::lock_guard table(ctx.tableLock);
            const Room* room = roomLocked(n);
            if (room != nullptr && room->roomId == roomId && room->onAir && !recorders.recording(n, roomId))
                writeStateLocked(n, RoomState::Watching);
            return;
        }
        const RoomAnswer source = fetchRoom(first.latestId);
        // A failed answer about the live room (no room in it) says nothing new: the row keeps
        // what it showed and the next pass asks again. Rewriting it here would lose its start
        // time and figures for a show that may not even be on.
        if (!source.hasRoom) return;
        // A poll records an HLS address: the answer's own, or the room's quality from the listing.
        const StreamChoice stream = chooseStream(source, ctx.settings.qualityFor(roomId), false);
        const std::string& streamUrl = stream.url;
        const std::string& nickname = first.nickname;
        const std::string show = AnnouncedShows::keyOf(first.latestId, source.createTime);

        if (notifyOnly(roomId, first.latestId)) {
            bool wasLive = false;
            {
                std::lock_guard table(ctx.tableLock);
                const Room* room = roomLocked(n);
                if (room == nullptr || room->roomId != roomId || recorders.recording(n, roomId)) return;
                wasLive = room->onAir && room->latestId == first.latestId;
                if (!wasLive)
                    writeRowLocked(n, nickname, roomId, source, first.latestId, streamUrl, RoomState::LiveNotRecorded);
                else
                    writeStateLocked(n, RoomState::LiveNotRecorded);
            }
            announceLive(show, nickname, roomId, streamUrl, source.createTime);
            return;
        }

        // The recorder is claimed before the row says "正在录制", and a row that already has
        // one is left alone, so two polls of a row never give it two recorders.
        std::shared_ptr<Recorder> recorder;
        std::string why;
        Claim outcome = recorders.claim(streamUrl, nickname, roomId, n, epoch, recorder, &why);
        if (outcome == Claim::Busy || outcome == Claim::Stopped) return;
        {
            std::lock_guard table(ctx.tableLock);
            writeRowLocked(n, nickname, roomId, source, first.latestId, streamUrl,
                           outcome == Claim::NoSpace ? RoomState::NoSpace : RoomState::Recording);
        }
        showLive(roomId, show, nickname, first.latestId, source.createTime);
        announceLive(show, nickname, roomId, streamUrl, source.createTime);
        if (outcome == Claim::Ok) {
            recorder->show = show;
            if (!recorder->earlier) recorder->options.audioOnly = stream.audioOnly;
            if (!recorders.start(recorder)) {
                outcome = Claim::Refused;
                why = "无法启动录制线程";
            }
        }
        if (outcome == Claim::Refused) handleRefusal(outcome, n, nickname, roomId, epoch, show, why);
    }

    // ---- the passes ----

    // Queues a row for a poll when it shows a room without a recorder of ours. The row is read
    // and marked under the TableLock, so no recorder's row write can come in between.
    void queueIfPolled(int row) {
        {
            std::lock_guard table(ctx.tableLock);
            const Room* room = roomLocked(row);
            if (room == nullptr || !polledRoom(*room) || recorders.recording(row, room->roomId)) return;
            if (!room->onAir) writeStateLocked(row, RoomState::Watching);
        }
        ctx.roomPollPool.post({std::to_string(row)});
    }

    void runPasses(std::uint64_t generation) {
        ctx.roomPollPool.create(
            [weak = weak_from_this()](const TaskArgs& args) {
                if (auto self = weak.lock(); self && !args.empty()) self->pollRoom(rowNumberOf(args[0]));
            },
            20, 400);
        supervisor.run(generation);
    }

    // ---- stopping and collecting ----

    StopRecordingReport stopRecording() {
        passesStopped = true;
        ctx.setStatus(StatusBar::Monitor::Live, "直播监控停止");
        // The epoch first: a recorder ending from here on leaves its row stopped, not re-polled.
        recorders.beginStop();
        supervisor.end();
        // A poll that was running may claim a recorder until the pool is closed; the claim is
        // refused for the old epoch.
        ctx.roomPollPool.close();
        recorders.stopAll();
        StopRecordingReport report = collectRecordingFiles(ctx.paths.dataDir, ctx.paths.collectionDir(),
                                                           recorders.stopBounds().busyFile, recorders.madeFiles());
        for (const std::string& left : report.leftOver) log("录像未移入download：" + left);
        return report;
    }

    void close() {
        closed = true;
        supervisor.close();
        recorders.close();
    }
};

LiveMonitor::LiveMonitor(AppContext& ctx) : ctx_(ctx), state_(std::make_shared<State>(ctx)) {}

LiveMonitor::~LiveMonitor() { state_->close(); }

void LiveMonitor::registerRoom(const std::string& link, RowOrder* order, int index) {
    state_->registerRoom(link, order, index);
}

JsonDoc LiveMonitor::fetchRoomInfo(const std::string& roomId) { return state_->fetchRoomInfo(roomId); }

void LiveMonitor::forgetUnansweredLinks() { state_->forgetUnansweredLinks(); }

bool LiveMonitor::hasUnansweredLinks() const { return state_->hasUnansweredLinks(); }

void LiveMonitor::startSupervisor() {
    const std::uint64_t generation = state_->supervisor.renew();
    if (generation == 0) return;
    state_->passesStopped = false;
    ctx_.startThread([state = state_, generation] { state->runPasses(generation); });
}

void LiveMonitor::stopSupervisor() { state_->supervisor.end(); }

void LiveMonitor::pollRooms() { state_->runPasses(state_->supervisor.generation()); }

void LiveMonitor::pollRoom(int rowNumber) { state_->pollRoom(rowNumber); }

void LiveMonitor::setPeriod(int minutes) {
    ctx_.settings.setLivePeriodMinutes(minutes);
    state_->supervisor.periodChanged();
    // A period chosen while "停止录制" has the passes off starts them again.
    if (ctx_.settings.livePeriodMinutes() > 0 && state_->passesStopped && !ctx_.closing) startSupervisor();
}

int LiveMonitor::period() const { return ctx_.settings.livePeriodMinutes(); }

int LiveMonitor::shownPeriod() const { return state_->passesStopped ? 0 : ctx_.settings.livePeriodMinutes(); }

void LiveMonitor::resumeRecording() {
    if (ctx_.settings.livePeriodMinutes() <= 0) setPeriod(5);
    startSupervisor();
}

void LiveMonitor::clearRooms() { state_->clearRooms(); }

std::string LiveMonitor::selectedRoomPage() const {
    std::string id;
    {
        std::lock_guard table(ctx_.tableLock);
        const Room* room = state_->roomLocked(ctx_.roomTable.selectedRow() + 1);
        if (room == nullptr) return "";
        id = room->latestId.empty() ? room->roomId : room->latestId;
    }
    // Room ids are digits; anything else in the cell is not put into an address.
    if (id.empty() || !std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; })) return "";
    return ctx_.endpoints.live + "/webcast/reflow/" + id;
}

void LiveMonitor::startRecording(const std::string& streamUrl, const std::string& nickname,
                                 const std::string& rowText) {
    const int row = rowNumberOf(rowText);
    const std::uint64_t epoch = state_->recorders.epoch();
    std::string roomId, show;
    {
        std::lock_guard table(ctx_.tableLock);
        const Room* room = state_->roomLocked(row);
        if (room != nullptr) {
            roomId = room->roomId;
            show = AnnouncedShows::keyOf(room->latestId.empty() ? room->roomId : room->latestId, "");
        }
    }
    std::shared_ptr<State::Recorder> recorder;
    std::string why;
    const State::Claim outcome = state_->recorders.claim(streamUrl, nickname, roomId, row, epoch, recorder, &why);
    if (outcome != State::Claim::Ok) {
        state_->handleRefusal(outcome, row, nickname, roomId, epoch, show, why);
        return;
    }
    recorder->show = show;
    state_->recorders.run(recorder);
}

void LiveMonitor::playSelectedRow() {
    const int row = ctx_.roomTable.selectedRow() + 1;
    const int port = recorderPort(row);
    const fs::path script = ctx_.paths.playScript();
    if (port <= 0 || !writeFileAtomically(script, playScriptContent(port))) return;
    ::chmod(script.c_str(), 0755);
    // The player runs in a session of its own and outlives us; the shell that starts it in
    // the background ends at once and is reaped on a worker thread.
    RunRequest request;
    request.program = "/bin/sh";
    request.arguments = {"-c", "\"$0\" </dev/null >/dev/null 2>&1 &", script.string()};
    request.workingDirectory = ctx_.paths.dataDir;
    ctx_.startThread([request] { runProgram(request); });
}

StopRecordingReport LiveMonitor::stopRecording() { return state_->stopRecording(); }

int LiveMonitor::runningRecorders() const { return state_->recorders.running(); }

std::vector<RecorderInfo> LiveMonitor::recorders() const { return state_->recorders.list(); }

void LiveMonitor::setStopBounds(const RecorderStopBounds& bounds) { state_->recorders.setStopBounds(bounds); }

void LiveMonitor::setFreeSpace(RecorderSet::FreeSpace freeSpace) {
    state_->recorders.setFreeSpace(std::move(freeSpace));
}

void LiveMonitor::setSplitSeconds(std::optional<int> seconds) { state_->recorders.setSplitSeconds(seconds); }

}  // namespace vigilo
