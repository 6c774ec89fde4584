#include "live/monitor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <map>
#include <optional>
#include <system_error>
#include <thread>

#include "app/linkfile.h"
#include "live/collect.h"
#include "live/progress.h"
#include "live/recorder.h"
#include "live/roomanswer.h"
#include "live/runner.h"
#include "net/http.h"
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


// A process that is not our child, watched through a pidfd so that a recycled id is never
// signalled.
class ForeignProcess {
public:
    explicit ForeignProcess(pid_t pid) {
#ifdef SYS_pidfd_open
        const long fd = ::syscall(SYS_pidfd_open, pid, 0);
        if (fd >= 0) fd_.reset(static_cast<int>(fd));
#endif
    }
    bool valid() const { return fd_.valid(); }
    bool alive() const {
        if (!fd_.valid()) return false;
        pollfd p{fd_.get(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 0;
    }
    void signal(int signalNumber) const {
#ifdef SYS_pidfd_send_signal
        if (fd_.valid()) ::syscall(SYS_pidfd_send_signal, fd_.get(), signalNumber, nullptr, 0);
#else
        (void)signalNumber;
#endif
    }

private:
    UniqueFd fd_;
};

// Why a recorder ended badly, in ffmpeg's words where it gave some: its last line that tells of
// an error, else the exit status.
std::string failureReason(const RunResult& result) {
    std::string found;
    for (const std::string& line : splitCrLf(result.collectedOutput)) {
        const std::string lower = toLowerAscii(line);
        if (lower.find("error") != std::string::npos || lower.find("failed") != std::string::npos ||
            lower.find("too large") != std::string::npos || lower.find("no space") != std::string::npos)
            found = line;
    }
    if (!found.empty()) return cutUtf8(found, 200);
    if (result.termSignal != 0) return "signal " + std::to_string(result.termSignal);
    return "exit status " + std::to_string(result.exitCode);
}


int signalOf(StopAction action) {
    switch (action) {
    case StopAction::QuitKey: return 0;
    case StopAction::Interrupt: return SIGINT;
    case StopAction::Terminate: return SIGTERM;
    case StopAction::Kill: return SIGKILL;
    }
    return SIGKILL;
}

// ffmpeg's own read time-out (15 s) ends a recording whose stream went silent: its log says so,
// or at least it went quiet that long before the end.
constexpr Millis kStallSilence{10000};

bool endedByStall(const RunResult& result, Clock::duration quietBeforeEnd) {
    const std::string lower = toLowerAscii(result.collectedOutput);
    return lower.find("timed out") != std::string::npos || lower.find("timeout") != std::string::npos ||
           quietBeforeEnd >= kStallSilence;
}

Event makeEvent(EventType type, std::vector<std::pair<std::string, std::string>> fields) {
    return Event{type, std::chrono::system_clock::now(), std::move(fields)};
}

}  // namespace

std::vector<StopStep> stopPolicy(const RecorderStopBounds& bounds) {
    return {{StopAction::QuitKey, bounds.quit},
            {StopAction::Interrupt, bounds.interrupt},
            {StopAction::Terminate, bounds.terminate},
            {StopAction::Kill, bounds.kill}};
}

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

struct LiveMonitor::State : std::enable_shared_from_this<LiveMonitor::State> {
    explicit State(AppContext& context) : ctx(context) {}

    struct Recorder {
        int row = 0;
        std::string url, nickname, roomId, fileName;
        int port = 0;
        std::uint64_t epoch = 0;
        Clock::time_point startedAt = Clock::now();
        std::shared_ptr<RunControl> control = std::make_shared<RunControl>();
        std::string outputName;  // runner thread only
        std::string size, duration;  // runner thread only: the last figures shown
        Clock::time_point lastOutputAt = Clock::now();  // runner thread only
    };

    // A recording thread with the flag it raises as it ends, so that finished ones are joined
    // (at once) when the next one starts and the rest when the monitor goes.
    struct RecorderThread {
        std::shared_ptr<std::atomic<bool>> ended = std::make_shared<std::atomic<bool>>(false);
        std::jthread thread;
    };

    enum class Claim { Ok, Busy, Stopped, Refused };

    AppContext& ctx;
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::uint64_t supervisorGeneration = 0;
    std::uint64_t stopEpoch = 0;  // moves on at every "停止录制"
    bool closed = false;
    std::map<int, Clock::time_point> repollDue;  // row number → when
    std::vector<std::shared_ptr<Recorder>> recorders;
    std::list<RecorderThread> recorderThreads;
    std::condition_variable threadsDone;
    RecorderStopBounds bounds;

    std::uint64_t currentEpoch() const {
        std::lock_guard lock(mutex);
        return stopEpoch;
    }

    void log(const std::string& text) { ctx.appendLog(logTimestamp() + "：" + oneLine(text) + "\r\n"); }

    // ---- reading the service ----

    JsonDoc fetchRoomInfo(const std::string& roomId) {
        HttpRequestOptions options;
        options.url = roomInfoUrl(ctx.endpoints, roomId);
        options.method = 0;
        options.extraHeaders = std::string(kMobileAgentLine);
        options.maxBodyBytes = kMaxJsonAnswerBytes;
        const HttpResult answer = ScriptableHttpClient::send(options);
        JsonDoc doc;
        doc.parseKeeping(bodyToText(answer.body), roomAnswerPaths());
        return doc;
    }

    RoomAnswer fetchRoom(const std::string& roomId) { return parseRoomAnswer(fetchRoomInfo(roomId)); }

    bool notifyOnly(const std::string& roomId, const std::string& latestId) const {
        return ctx.settings.notifyOnly(roomId) || (!latestId.empty() && ctx.settings.notifyOnly(latestId));
    }

    // ---- the row ----

    // Under the TableLock: the state's texts in the row.
    void writeStateLocked(int row, RoomState state) { writeRoomState(ctx.roomTable, row - 1, state); }

    // Under the TableLock: all nine cells, the figures back at their start.
    void writeRowLocked(int row, const std::string& nickname, const std::string& roomId, const RoomAnswer& source,
                        const std::string& latestId, const std::string& streamUrl, RoomState state) {
        const std::string cells[9] = {nickname,  roomId, latestId, "", streamUrl, formatTimestamp(source.createTime),
                                      "",        "0KB",  "0"};
        for (int c = 0; c < 9; ++c)
            if (c != rcol::LiveStatus && c != rcol::RecordStatus) ctx.roomTable.setCell(row - 1, c, cells[c]);
        ctx.roomTable.setCell(row - 1, rcol::LiveStatus, kOfflineWord);
        writeStateLocked(row, state);
    }

    void announceLive(const std::string& nickname, const std::string& roomId, const std::string& stream,
                      const std::string& createTime) {
        ctx.events.publish(makeEvent(EventType::RoomLive, {{"nickname", nickname},
                                                           {"roomId", roomId},
                                                           {"stream", stream},
                                                           {"startTime", formatTimestamp(createTime)}}));
    }

    // ---- the recorder set ----

    // Under `mutex`: a recorder of ours (other than `ending`) runs for the row and the row still
    // shows its room.
    bool rowRecordingLocked(int row, const Recorder* ending = nullptr) const {
        for (const auto& r : recorders)
            if (r.get() != ending && r->row == row && ctx.roomTable.cell(row - 1, rcol::Owner) == r->nickname)
                return true;
        return false;
    }

    bool rowRecording(int row, const Recorder* ending = nullptr) const {
        std::lock_guard lock(mutex);
        return rowRecordingLocked(row, ending);
    }

    // Everything that must hold before a recorder may start, decided at once so that two
    // polls of one row never start two recorders. On Ok the recorder is registered and its
    // file name reserved on disk.
    Claim claim(const std::string& url, const std::string& nickname, const std::string& roomId, int row,
                std::uint64_t epoch, std::shared_ptr<Recorder>& out) {
        const int port = recorderPort(row);
        if (row < 1 || port <= 0) {
            log("第" + std::to_string(row) + "行没有可用的本地端口，不录制");
            return Claim::Refused;
        }
        if (!isRecordableUrl(url)) {
            log("拒绝录制非网络直播源：" + url);
            return Claim::Refused;
        }
        std::lock_guard lock(mutex);
        if (closed || ctx.closing || epoch != stopEpoch) return Claim::Stopped;
        if (rowRecordingLocked(row)) return Claim::Busy;
        const fs::path dir = ctx.paths.dataDir;
        std::string name;
        for (int attempt = 0; attempt < 1000; ++attempt) {
            name = uniqueRecordingName(nickname, [&](const std::string& candidate) {
                std::error_code ec;
                if (fs::exists(fs::symlink_status(dir / candidate, ec))) return true;
                return std::any_of(recorders.begin(), recorders.end(),
                                   [&](const auto& r) { return r->fileName == candidate; });
            });
            // The empty file reserves the name against anyone creating it meanwhile.
            const int fd = ::open((dir / name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd >= 0) {
                ::close(fd);
                break;
            }
            if (errno != EEXIST) {
                log("无法创建录像文件 " + name + "：" + std::strerror(errno));
                return Claim::Refused;
            }
            name.clear();
        }
        if (name.empty()) return Claim::Refused;
        auto recorder = std::make_shared<Recorder>();
        recorder->row = row;
        recorder->url = url;
        recorder->nickname = nickname;
        recorder->roomId = roomId;
        recorder->fileName = name;
        recorder->port = port;
        recorder->epoch = epoch;
        recorders.push_back(recorder);
        out = recorder;
        return Claim::Ok;
    }

    // A row whose recorder was stopped by "停止录制" keeps its live status and says so. Any other
    // end (the show over, a stall, a failure, a refusal) shows the room as offline again, its last
    // size and duration kept, and it is polled again soon unless recording has been stopped.
    // Without the quick poll the row waits for the next pass.
    void recorderEnded(int row, const std::string& nickname, std::uint64_t epoch, bool quickPoll = true,
                       const Recorder* ending = nullptr) {
        bool stopped = false;
        {
            std::lock_guard table(ctx.tableLock);
            if (ctx.roomTable.cell(row - 1, rcol::Owner) != nickname || rowRecording(row, ending)) return;
            {
                std::lock_guard lock(mutex);
                stopped = epoch != stopEpoch;
            }
            writeStateLocked(row, stopped ? RoomState::RecordingStopped : RoomState::Offline);
        }
        std::lock_guard lock(mutex);
        if (stopped || closed || !quickPoll) return;
        repollDue[row] = Clock::now() + ctx.pacing.recorderRepoll;
        wake.notify_all();
    }

    void onRecorderOutput(Recorder& recorder, const std::string& collected) {
        recorder.lastOutputAt = Clock::now();
        if (recorder.outputName.empty()) recorder.outputName = recorderOutputName(collected);
        if (recorder.outputName.empty()) return;
        const auto figures = parseProgress(collected);
        if (!figures) return;
        recorder.size = figures->size;
        recorder.duration = figures->duration;
        std::lock_guard table(ctx.tableLock);
        const int rows = ctx.roomTable.rowCount();
        for (int i = 0; i < rows; ++i) {
            if (ctx.roomTable.cell(i, rcol::Owner) != recorder.nickname) continue;
            ctx.roomTable.setCell(i, rcol::RecordSize, figures->size);
            ctx.roomTable.setCell(i, rcol::RecordDuration, figures->duration);
        }
    }

    // ffmpeg may have written the file type box and then never a frame (a stream that stalled
    // from the start): nothing plays there.
    void releaseReservation(const Recorder& recorder) {
        const fs::path file = ctx.paths.dataDir / recorder.fileName;
        struct stat st {};
        // A file that never got a frame is only the name's reservation.
        if (::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && recordingNeverStarted(file)) ::unlink(file.c_str());
    }

    void runRecorder(const std::shared_ptr<Recorder>& recorder) {
        ctx.setStatus("直播录制中……");
        {
            std::lock_guard table(ctx.tableLock);
            if (ctx.roomTable.cell(recorder->row - 1, rcol::Owner) == recorder->nickname)
                writeStateLocked(recorder->row, RoomState::Recording);
        }
        ctx.events.publish(makeEvent(EventType::RecordingStarted, {{"nickname", recorder->nickname},
                                                                    {"roomId", recorder->roomId},
                                                                    {"file", recorder->fileName}}));
        RunRequest request;
        request.program = ctx.paths.ffmpegPath();
        // A relative name after "./": a nickname can never read as an option or a protocol.
        request.arguments = recorderArguments(recorder->url, recorder->port, "./" + recorder->fileName);
        request.workingDirectory = ctx.paths.dataDir;
        request.ownSession = true;
        const RunResult result = runProgram(
            request, [&](const std::string& collected, pid_t) { onRecorderOutput(*recorder, collected); },
            recorder->control.get());
        const bool stopped = recorder->epoch != currentEpoch() || ctx.closing;
        if (!result.started) {
            if (!result.collectedOutput.empty()) log(result.collectedOutput);
            ctx.events.publish(makeEvent(EventType::RecordingFailed, {{"nickname", recorder->nickname},
                                                                       {"roomId", recorder->roomId},
                                                                       {"error", oneLine(result.collectedOutput)}}));
        } else if (!result.abandoned) {
            const bool failed = result.exitCode != 0 || result.termSignal != 0;
            std::string reason = "ended";
            if (stopped)
                reason = "stopped";
            else if (endedByStall(result, Clock::now() - recorder->lastOutputAt))
                reason = "stalled";
            else if (failed)
                reason = "failed";
            // A recorder that failed on its own (a full disk, a stream it could not read) says so;
            // one that was asked to stop, or that finished its show, does not.
            if (failed && !stopped) log("录制中断：" + recorder->fileName + "（" + failureReason(result) + "）");
            ctx.events.publish(makeEvent(EventType::RecordingEnded, {{"nickname", recorder->nickname},
                                                                      {"roomId", recorder->roomId},
                                                                      {"file", recorder->fileName},
                                                                      {"duration", recorder->duration},
                                                                      {"size", recorder->size},
                                                                      {"reason", reason}}));
        }

        if (!result.abandoned) {
            releaseReservation(*recorder);
            // A recorder that fails straight away (a broken stream) is tried again by the passes
            // only, so a room never gets a new recording file more often than that.
            const bool ranLongEnough = Clock::now() - recorder->startedAt >= ctx.pacing.recorderRepoll;
            recorderEnded(recorder->row, recorder->nickname, recorder->epoch, ranLongEnough, recorder.get());
        }
        std::lock_guard lock(mutex);
        recorders.erase(std::remove(recorders.begin(), recorders.end(), recorder), recorders.end());
        threadsDone.notify_all();
    }

    // Recording threads run for as long as their show; the monitor owns them and joins them
    // when it goes, after letting go of their recorders.
    bool startRecorderThread(const std::shared_ptr<Recorder>& recorder) {
        std::list<RecorderThread> finished;
        std::unique_lock lock(mutex);
        for (auto it = recorderThreads.begin(); it != recorderThreads.end();) {
            auto next = std::next(it);
            if (it->ended->load()) finished.splice(finished.end(), recorderThreads, it);
            it = next;
        }
        try {
            RecorderThread& slot = recorderThreads.emplace_back();
            slot.thread = std::jthread([this, recorder, ended = slot.ended] {
                runRecorder(recorder);
                ended->store(true);
            });
        } catch (const std::system_error&) {
            recorderThreads.pop_back();
            recorders.erase(std::remove(recorders.begin(), recorders.end(), recorder), recorders.end());
            lock.unlock();
            releaseReservation(*recorder);
            log("无法启动录制线程");
            return false;
        }
        lock.unlock();
        finished.clear();  // joins threads that have already returned
        return true;
    }

    // Claims the row and starts the recording thread; the outcome says what the row needs.
    Claim startRecording(const std::string& url, const std::string& nickname, const std::string& roomId, int row,
                         std::uint64_t epoch) {
        std::shared_ptr<Recorder> recorder;
        const Claim outcome = claim(url, nickname, roomId, row, epoch, recorder);
        if (outcome != Claim::Ok) return outcome;
        return startRecorderThread(recorder) ? Claim::Ok : Claim::Refused;
    }

    void handleRefusal(Claim outcome, int row, const std::string& nickname, const std::string& roomId,
                       std::uint64_t epoch) {
        if (outcome == Claim::Refused)
            ctx.events.publish(makeEvent(EventType::RecordingFailed,
                                         {{"nickname", nickname}, {"roomId", roomId}, {"error", "refused"}}));
        if (outcome == Claim::Refused || outcome == Claim::Stopped) recorderEnded(row, nickname, epoch);
    }

    // ---- registration and poll ----

    void registerRoom(const std::string& link, RowOrder* order, int index) {
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
        if (link.empty()) return;
        {
            std::lock_guard lock(mutex);
            if (closed) return;
        }
        const std::uint64_t epoch = currentEpoch();
        const std::string roomId = textBetween(resolveShareLink(link), "reflow/", "?");
        if (roomId.empty()) {
            // The message may wait for a click; the next links do not.
            turnDone.now();
            ctx.ui.messageBox("请输入直播间分享链接，非主页链接", "", MessageIcon::None);
            return;
        }
        const RoomAnswer first = fetchRoom(roomId);
        RoomAnswer source = first;
        if (first.ownerLive() && first.latestId != roomId) source = fetchRoom(first.latestId);
        const bool live = first.ownerLive();
        const bool alertOnly = live && notifyOnly(roomId, first.latestId);
        const std::string streamUrl = live ? source.registrationStream() : std::string();
        // The nickname stays the one of the linked room.
        const std::string& nickname = first.nickname;
        const RoomState state = !live ? RoomState::Offline : alertOnly ? RoomState::LiveNotRecorded : RoomState::Recording;

        if (order != nullptr) order->waitTurn(index);
        int rowNumber = 0;
        {
            std::lock_guard table(ctx.tableLock);
            rowNumber = ctx.roomTable.appendRow() + 1;
            writeRowLocked(rowNumber, nickname, roomId, live ? source : first, first.latestId, streamUrl, state);
        }
        turnDone.now();
        if (live) announceLive(nickname, roomId, streamUrl, source.createTime);
        if (state == RoomState::Recording)
            handleRefusal(startRecording(streamUrl, nickname, roomId, rowNumber, epoch), rowNumber, nickname, roomId,
                          epoch);
    }

    void pollRoom(int n) {
        {
            std::lock_guard lock(mutex);
            if (closed) return;
        }
        const std::uint64_t epoch = currentEpoch();
        const std::string roomId = ctx.roomTable.cell(n - 1, rcol::RoomId);
        const RoomAnswer first = fetchRoom(roomId);
        if (!first.ownerLive()) {
            // A live row without a recorder (alerting only, or stopped) tells that the show is
            // over once the service says so; a failed answer says nothing.
            if (!first.hasRoom) return;
            std::lock_guard table(ctx.tableLock);
            if (ctx.roomTable.cell(n - 1, rcol::RoomId) == roomId &&
                ctx.roomTable.cell(n - 1, rcol::LiveStatus) == kLiveWord && !rowRecording(n))
                writeStateLocked(n, RoomState::Watching);
            return;
        }
        const RoomAnswer source = fetchRoom(first.latestId);
        // A failed answer about the live room (no room in it) says nothing new: the row keeps
        // what it showed and the next pass asks again. Rewriting it here would lose its start
        // time and figures for a show that may not even be on.
        if (!source.hasRoom) return;
        // A poll always records the HLS address.
        const std::string& streamUrl = source.hlsPullUrl;
        const std::string& nickname = first.nickname;

        if (notifyOnly(roomId, first.latestId)) {
            bool wasLive = false;
            {
                std::lock_guard table(ctx.tableLock);
                if (ctx.roomTable.cell(n - 1, rcol::RoomId) != roomId || rowRecording(n)) return;
                wasLive = ctx.roomTable.cell(n - 1, rcol::LiveStatus) == kLiveWord &&
                          ctx.roomTable.cell(n - 1, rcol::LatestRoomId) == first.latestId;
                if (!wasLive)
                    writeRowLocked(n, nickname, roomId, source, first.latestId, streamUrl, RoomState::LiveNotRecorded);
                else
                    writeStateLocked(n, RoomState::LiveNotRecorded);
            }
            if (!wasLive) announceLive(nickname, roomId, streamUrl, source.createTime);
            return;
        }

        // The recorder is claimed before the row says "正在录制", and a row that already has
        // one is left alone, so two polls of a row never give it two recorders.
        std::shared_ptr<Recorder> recorder;
        const Claim outcome = claim(streamUrl, nickname, roomId, n, epoch, recorder);
        if (outcome == Claim::Busy || outcome == Claim::Stopped) return;
        bool announce = false;
        {
            std::lock_guard table(ctx.tableLock);
            announce = !(ctx.roomTable.cell(n - 1, rcol::LiveStatus) == kLiveWord &&
                         ctx.roomTable.cell(n - 1, rcol::LatestRoomId) == first.latestId);
            writeRowLocked(n, nickname, roomId, source, first.latestId, streamUrl, RoomState::Recording);
        }
        if (announce) announceLive(nickname, roomId, streamUrl, source.createTime);
        if (outcome == Claim::Refused || !startRecorderThread(recorder)) {
            if (outcome == Claim::Refused)
                ctx.events.publish(makeEvent(EventType::RecordingFailed,
                                             {{"nickname", nickname}, {"roomId", roomId}, {"error", "refused"}}));
            recorderEnded(n, nickname, epoch);
        }
    }

    // ---- the pass supervisor ----

    bool supervising(std::uint64_t generation) const { return !closed && supervisorGeneration == generation; }

    // Under `mutex`: the time between two passes; nothing while the passes are paused.
    std::optional<Millis> passInterval() const {
        const int minutes = ctx.settings.livePeriodMinutes();
        if (minutes <= 0) return std::nullopt;
        return Millis(ctx.pacing.passInterval.count() * minutes / 5);
    }

    // Queues a row for a poll when it shows a room without a recorder of ours. The row is read
    // and marked under the TableLock, so no recorder's row write can come in between.
    void queueIfPolled(int row) {
        {
            std::lock_guard table(ctx.tableLock);
            const std::string liveStatus = ctx.roomTable.cell(row - 1, rcol::LiveStatus);
            if (!polledRoomState(liveStatus, ctx.roomTable.cell(row - 1, rcol::RecordStatus)) || rowRecording(row)) return;
            if (liveStatus == kOfflineWord) writeStateLocked(row, RoomState::Watching);
        }
        ctx.roomPollPool.post({std::to_string(row)});
    }

    void pollRooms(std::uint64_t generation) {
        ctx.roomPollPool.create(
            [weak = weak_from_this()](const TaskArgs& args) {
                if (auto self = weak.lock(); self && !args.empty()) self->pollRoom(rowNumberOf(args[0]));
            },
            20, 400);
        std::unique_lock lock(mutex);
        while (supervising(generation)) {
            // Paused: no pass until a period is chosen again.
            wake.wait(lock, [&] { return !supervising(generation) || passInterval(); });
            if (!supervising(generation)) break;
            const Clock::time_point passStart = Clock::now();
            const int rows = ctx.roomTable.rowCount();
            for (int i = 1; i <= rows && supervising(generation); ++i) {
                repollDue.erase(i);
                lock.unlock();
                queueIfPolled(i);
                lock.lock();
                wake.wait_for(lock, ctx.pacing.supervisorRowGap, [&] { return !supervising(generation); });
            }
            // The period is read again at every wake, so a new choice counts from this pass on.
            while (supervising(generation)) {
                const std::optional<Millis> interval = passInterval();
                if (interval && Clock::now() >= passStart + *interval) break;
                std::optional<Clock::time_point> until;
                if (interval) until = passStart + *interval;
                if (interval)
                    for (const auto& [row, due] : repollDue) until = std::min(*until, due);
                if (until)
                    wake.wait_until(lock, *until);
                else
                    wake.wait(lock);
                if (!passInterval()) continue;  // paused: no quick polls either
                const Clock::time_point now = Clock::now();
                std::vector<int> due;
                for (auto it = repollDue.begin(); it != repollDue.end();) {
                    if (it->second <= now) {
                        due.push_back(it->first);
                        it = repollDue.erase(it);
                    } else {
                        ++it;
                    }
                }
                if (due.empty() || !supervising(generation)) continue;
                lock.unlock();
                for (int row : due) queueIfPolled(row);
                lock.lock();
            }
        }
    }

    void setPeriod(int minutes) {
        ctx.settings.setLivePeriodMinutes(minutes);
        std::lock_guard lock(mutex);
        wake.notify_all();
    }

    // ---- stopping and collecting ----

    StopRecordingReport stopRecording() {
        ctx.setStatus("直播监控停止");
        std::vector<std::shared_ptr<Recorder>> ours;
        RecorderStopBounds limits;
        {
            std::lock_guard lock(mutex);
            ++stopEpoch;
            ++supervisorGeneration;
            repollDue.clear();
            limits = bounds;
            wake.notify_all();
        }
        ctx.roomPollPool.close();
        {
            // A poll that was running may have claimed a recorder just now.
            std::lock_guard lock(mutex);
            ours = recorders;
        }

        std::vector<pid_t> ourIds;
        for (const auto& r : ours) {
            r->control->cancel();
            ourIds.push_back(r->control->processId());
        }
        // ffmpeg left running by an earlier run of the program: same data directory.
        std::vector<std::unique_ptr<ForeignProcess>> earlier;
        std::vector<pid_t> leftRunning = processesByNameInDirectory("ffmpeg", ctx.paths.dataDir);
        const std::string configured = fs::path(ctx.paths.ffmpegPath()).filename().string();
        if (configured != "ffmpeg" && !configured.empty())
            for (pid_t pid : processesByNameInDirectory(configured, ctx.paths.dataDir)) leftRunning.push_back(pid);
        std::sort(leftRunning.begin(), leftRunning.end());
        leftRunning.erase(std::unique(leftRunning.begin(), leftRunning.end()), leftRunning.end());
        for (pid_t pid : leftRunning) {
            if (std::find(ourIds.begin(), ourIds.end(), pid) != ourIds.end()) continue;
            auto process = std::make_unique<ForeignProcess>(pid);
            if (process->valid()) earlier.push_back(std::move(process));
        }

        const auto allEnded = [&] {
            for (const auto& r : ours)
                if (!r->control->finished()) return false;
            for (const auto& p : earlier)
                if (p->alive()) return false;
            return true;
        };
        const auto waitAll = [&](Millis bound) {
            const Clock::time_point until = Clock::now() + bound;
            for (const auto& r : ours) {
                const auto left = std::chrono::duration_cast<Millis>(until - Clock::now());
                r->control->waitFinished(std::max(left, Millis(0)));
            }
            while (!allEnded() && Clock::now() < until) delay(Millis(50));
        };
        for (const StopStep& step : stopPolicy(limits)) {
            if (allEnded()) break;
            const int signalNumber = signalOf(step.action);
            for (const auto& r : ours) {
                if (r->control->finished()) continue;
                if (step.action == StopAction::QuitKey)
                    r->control->sendKeys("q");
                else
                    r->control->sendSignal(signalNumber);
            }
            // Recorders of an earlier run have no input of ours: SIGINT is their quit request.
            for (const auto& p : earlier)
                if (p->alive()) p->signal(step.action == StopAction::QuitKey ? SIGINT : signalNumber);
            waitAll(step.timeout);
        }
        {
            // The recorders' rows are written back once their threads have seen the end.
            std::unique_lock lock(mutex);
            threadsDone.wait_for(lock, Millis(2000), [&] {
                return std::none_of(ours.begin(), ours.end(), [&](const auto& r) {
                    return std::find(recorders.begin(), recorders.end(), r) != recorders.end();
                });
            });
        }
        return collectRecordings(limits);
    }

    StopRecordingReport collectRecordings(const RecorderStopBounds& limits) {
        StopRecordingReport report =
            collectRecordingFiles(ctx.paths.dataDir, ctx.paths.collectionDir(), limits.busyFile);
        for (const std::string& left : report.leftOver) log("录像未移入download：" + left);
        return report;
    }

    void close() {
        std::list<RecorderThread> threads;
        {
            std::lock_guard lock(mutex);
            closed = true;
            ++supervisorGeneration;
            repollDue.clear();
            // The recordings go on without us; only our threads let go of them.
            for (const auto& r : recorders) r->control->abandon();
            threads.swap(recorderThreads);
            wake.notify_all();
        }
        // Past these joins no recording thread touches the context any more.
        threads.clear();
    }
};

LiveMonitor::LiveMonitor(AppContext& ctx) : ctx_(ctx), state_(std::make_shared<State>(ctx)) {}

LiveMonitor::~LiveMonitor() { state_->close(); }

void LiveMonitor::registerRoom(const std::string& link, RowOrder* order, int index) {
    state_->registerRoom(link, order, index);
}

JsonDoc LiveMonitor::fetchRoomInfo(const std::string& roomId) { return state_->fetchRoomInfo(roomId); }

void LiveMonitor::startSupervisor() {
    std::uint64_t generation;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->closed) return;
        generation = ++state_->supervisorGeneration;
        state_->wake.notify_all();
    }
    ctx_.startThread([state = state_, generation] { state->pollRooms(generation); });
}

void LiveMonitor::stopSupervisor() {
    std::lock_guard lock(state_->mutex);
    ++state_->supervisorGeneration;
    state_->wake.notify_all();
}

void LiveMonitor::pollRooms() {
    std::uint64_t generation;
    {
        std::lock_guard lock(state_->mutex);
        generation = state_->supervisorGeneration;
    }
    state_->pollRooms(generation);
}

void LiveMonitor::pollRoom(int rowNumber) { state_->pollRoom(rowNumber); }

void LiveMonitor::setPeriod(int minutes) { state_->setPeriod(minutes); }

int LiveMonitor::period() const { return ctx_.settings.livePeriodMinutes(); }

void LiveMonitor::resumeRecording() {
    if (ctx_.settings.livePeriodMinutes() <= 0) state_->setPeriod(5);
    startSupervisor();
}

std::string LiveMonitor::selectedRoomPage() const {
    const int row = ctx_.roomTable.selectedRow();
    if (row < 0) return "";
    std::string id = ctx_.roomTable.cell(row, rcol::LatestRoomId);
    if (id.empty()) id = ctx_.roomTable.cell(row, rcol::RoomId);
    // Room ids are digits; anything else in the cell is not put into an address.
    if (id.empty() || !std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; })) return "";
    return ctx_.endpoints.live + "/webcast/reflow/" + id;
}

void LiveMonitor::startRecording(const std::string& streamUrl, const std::string& nickname,
                                 const std::string& rowText) {
    const int row = rowNumberOf(rowText);
    const std::uint64_t epoch = state_->currentEpoch();
    const std::string roomId = ctx_.roomTable.cell(row - 1, rcol::RoomId);
    std::shared_ptr<State::Recorder> recorder;
    const State::Claim outcome = state_->claim(streamUrl, nickname, roomId, row, epoch, recorder);
    if (outcome != State::Claim::Ok) {
        state_->handleRefusal(outcome, row, nickname, roomId, epoch);
        return;
    }
    state_->runRecorder(recorder);
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

int LiveMonitor::runningRecorders() const {
    std::lock_guard lock(state_->mutex);
    return static_cast<int>(state_->recorders.size());
}

std::vector<RecorderInfo> LiveMonitor::recorders() const {
    std::lock_guard lock(state_->mutex);
    std::vector<RecorderInfo> out;
    for (const auto& r : state_->recorders)
        out.push_back({r->row, r->nickname, r->fileName, r->port, r->control->processId()});
    return out;
}

void LiveMonitor::setStopBounds(const RecorderStopBounds& bounds) {
    std::lock_guard lock(state_->mutex);
    state_->bounds = bounds;
}

int recorderPort(int rowNumber) {
    if (rowNumber < 0) return -1;
    if (rowNumber < 100) return std::stoi("111" + std::to_string(rowNumber));
    const long port = 11100L + rowNumber;
    return port <= 65535 ? static_cast<int>(port) : -1;
}

}  // namespace vigilo
