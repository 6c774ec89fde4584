#include "live/monitor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "app/linkfile.h"
#include "live/progress.h"
#include "live/recorder.h"
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

constexpr const char* kLive = "正在直播";
constexpr const char* kOffline = "已下播|未直播";
constexpr const char* kWaiting = "等待录制";
constexpr const char* kRecording = "正在录制";
constexpr const char* kWatching = "监控中|等待录制";

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

}  // namespace

struct LiveMonitor::State : std::enable_shared_from_this<LiveMonitor::State> {
    explicit State(AppContext& context) : ctx(context) {}

    struct Recorder {
        int row = 0;
        std::string url, nickname, fileName;
        int port = 0;
        std::uint64_t epoch = 0;
        Clock::time_point startedAt = Clock::now();
        std::shared_ptr<RunControl> control = std::make_shared<RunControl>();
        std::string outputName;  // runner thread only
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
    int recordingThreads = 0;
    std::condition_variable threadsDone;
    RecorderStopBounds bounds;

    std::uint64_t currentEpoch() const {
        std::lock_guard lock(mutex);
        return stopEpoch;
    }

    void log(const std::string& text) { ctx.appendLog(logTimestamp() + "：" + oneLine(text) + "\r\n"); }

    JsonDoc fetchRoomInfo(const std::string& roomId) {
        HttpRequestOptions options;
        options.url = roomInfoUrl(ctx.endpoints, roomId);
        options.method = 0;
        options.extraHeaders = std::string(kMobileAgentLine);
        options.maxBodyBytes = kMaxJsonAnswerBytes;
        const HttpResult answer = ScriptableHttpClient::send(options);
        JsonDoc doc;
        doc.parseKeeping(bodyToText(answer.body),
                         {"data.room.owner.nickname", "data.room['create_time']",
                          "data.room.owner['own_room']['room_ids_str'][0]",
                          "data.room['stream_url']['default_resolution']", "data.room['stream_url']['rtmp_pull_url']",
                          "data.room['stream_url']['hls_pull_url']"});
        return doc;
    }

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
    Claim claim(const std::string& url, const std::string& nickname, int row, std::uint64_t epoch,
                std::shared_ptr<Recorder>& out) {
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
        recorder->fileName = name;
        recorder->port = port;
        recorder->epoch = epoch;
        recorders.push_back(recorder);
        out = recorder;
        return Claim::Ok;
    }

    // A row whose recorder ended or could not start shows the room as offline again (its last
    // size and duration kept), and is polled again soon unless recording has been stopped.
    // Without the quick poll the row waits for the next pass.
    void recorderEnded(int row, const std::string& nickname, std::uint64_t epoch, bool quickPoll = true,
                       const Recorder* ending = nullptr) {
        {
            std::lock_guard table(ctx.tableLock);
            if (ctx.roomTable.cell(row - 1, rcol::Owner) != nickname || rowRecording(row, ending)) return;
            ctx.roomTable.setCell(row - 1, rcol::LiveStatus, kOffline);
            ctx.roomTable.setCell(row - 1, rcol::RecordStatus, kWaiting);
        }
        std::lock_guard lock(mutex);
        if (closed || epoch != stopEpoch || !quickPoll) return;
        repollDue[row] = Clock::now() + ctx.pacing.recorderRepoll;
        wake.notify_all();
    }

    void onRecorderOutput(Recorder& recorder, const std::string& collected) {
        if (recorder.outputName.empty()) recorder.outputName = recorderOutputName(collected);
        if (recorder.outputName.empty()) return;
        const auto figures = parseProgress(collected);
        if (!figures) return;
        std::lock_guard table(ctx.tableLock);
        const int rows = ctx.roomTable.rowCount();
        for (int i = 0; i < rows; ++i) {
            if (ctx.roomTable.cell(i, rcol::Owner) != recorder.nickname) continue;
            ctx.roomTable.setCell(i, rcol::RecordSize, figures->size);
            ctx.roomTable.setCell(i, rcol::RecordDuration, figures->duration);
        }
    }

    // An empty file is only the name's reservation: ffmpeg never got to write.
    void releaseReservation(const Recorder& recorder) {
        const fs::path file = ctx.paths.dataDir / recorder.fileName;
        struct stat st {};
        if (::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) ::unlink(file.c_str());
    }

    void runRecorder(const std::shared_ptr<Recorder>& recorder) {
        ctx.setStatus("直播监控停止");
        {
            std::lock_guard table(ctx.tableLock);
            ctx.roomTable.setCell(recorder->row - 1, rcol::RecordStatus, kRecording);
        }
        RunRequest request;
        request.program = ctx.paths.ffmpegPath();
        // A relative name after "./": a nickname can never read as an option or a protocol.
        request.arguments = recorderArguments(recorder->url, recorder->port, "./" + recorder->fileName);
        request.workingDirectory = ctx.paths.dataDir;
        request.ownSession = true;
        const RunResult result = runProgram(
            request, [&](const std::string& collected, pid_t) { onRecorderOutput(*recorder, collected); },
            recorder->control.get());
        if (!result.started && !result.collectedOutput.empty()) log(result.collectedOutput);
        // A recorder that failed on its own (a full disk, a stream it could not read) says so;
        // one that was asked to stop, or that finished its show, does not.
        if (result.started && !result.abandoned && (result.exitCode != 0 || result.termSignal != 0) &&
            recorder->epoch == currentEpoch() && !ctx.closing) {
            log("录制中断：" + recorder->fileName + "（" + failureReason(result) + "）");
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

    // Recording threads run for as long as their show, so they are not among the context's
    // counted threads (which the program waits for when it closes); they are counted here, and
    // the monitor lets go of their recorders when it goes.
    bool startRecorderThread(const std::shared_ptr<Recorder>& recorder) {
        {
            std::lock_guard lock(mutex);
            ++recordingThreads;
        }
        try {
            std::thread([self = shared_from_this(), recorder] {
                self->runRecorder(recorder);
                std::lock_guard lock(self->mutex);
                --self->recordingThreads;
                self->threadsDone.notify_all();
            }).detach();
            return true;
        } catch (const std::system_error&) {
            std::lock_guard lock(mutex);
            --recordingThreads;
            recorders.erase(std::remove(recorders.begin(), recorders.end(), recorder), recorders.end());
            releaseReservation(*recorder);
            log("无法启动录制线程");
            return false;
        }
    }

    // Claims the row and starts the recording thread; the outcome says what the row needs.
    Claim startRecording(const std::string& url, const std::string& nickname, int row, std::uint64_t epoch) {
        std::shared_ptr<Recorder> recorder;
        const Claim outcome = claim(url, nickname, row, epoch, recorder);
        if (outcome != Claim::Ok) return outcome;
        return startRecorderThread(recorder) ? Claim::Ok : Claim::Refused;
    }

    void handleRefusal(Claim outcome, int row, const std::string& nickname, std::uint64_t epoch) {
        if (outcome == Claim::Refused || outcome == Claim::Stopped) recorderEnded(row, nickname, epoch);
    }

    void registerRoom(const std::string& link) {
        if (link.empty()) return;
        {
            std::lock_guard lock(mutex);
            if (closed) return;
        }
        const std::uint64_t epoch = currentEpoch();
        const std::string roomId = textBetween(resolveShareLink(link), "reflow/", "?");
        if (roomId.empty()) {
            ctx.ui.messageBox("请输入直播间分享链接，非主页链接", "", MessageIcon::None);
            return;
        }
        const JsonDoc doc1 = fetchRoomInfo(roomId);
        const std::string nickname = cutServiceText(doc1.getText("data.room.owner.nickname"), kMaxNicknameBytes);
        std::string createTime = doc1.subDocument("data.room['create_time']").toText();
        const std::string latestId =
            cutServiceText(doc1.getText("data.room.owner['own_room']['room_ids_str'][0]"), kMaxServiceFieldBytes);
        std::string resolution = doc1.getText("data.room['stream_url']['default_resolution']");
        std::string liveStatus = kOffline, recordStatus = kWaiting, streamUrl;
        if (!latestId.empty()) {
            liveStatus = kLive;
            recordStatus = kRecording;
            JsonDoc source = doc1;
            if (latestId != roomId) {
                source = fetchRoomInfo(latestId);
                createTime = source.subDocument("data.room['create_time']").toText();
                resolution = source.getText("data.room['stream_url']['default_resolution']");
            }
            streamUrl = cutServiceText(resolution == "HD1" ? source.getText("data.room['stream_url']['rtmp_pull_url']")
                                                           : source.getText("data.room['stream_url']['hls_pull_url']"),
                                       kMaxServiceFieldBytes);
        }
        int rowNumber = 0;
        {
            std::lock_guard table(ctx.tableLock);
            const int row = ctx.roomTable.appendRow();
            const std::string cells[9] = {nickname,   roomId,       latestId, liveStatus, streamUrl,
                                          formatTimestamp(createTime), recordStatus, "0KB", "0"};
            for (int c = 0; c < 9; ++c) ctx.roomTable.setCell(row, c, cells[c]);
            rowNumber = row + 1;
        }
        if (!latestId.empty())
            handleRefusal(startRecording(streamUrl, nickname, rowNumber, epoch), rowNumber, nickname, epoch);
    }

    void pollRoom(int n) {
        {
            std::lock_guard lock(mutex);
            if (closed) return;
        }
        const std::uint64_t epoch = currentEpoch();
        const std::string roomId = ctx.roomTable.cell(n - 1, rcol::RoomId);
        const JsonDoc doc1 = fetchRoomInfo(roomId);
        const std::string nickname = cutServiceText(doc1.getText("data.room.owner.nickname"), kMaxNicknameBytes);
        std::string createTime = doc1.subDocument("data.room['create_time']").toText();
        const std::string latestId =
            cutServiceText(doc1.getText("data.room.owner['own_room']['room_ids_str'][0]"), kMaxServiceFieldBytes);
        if (latestId.empty()) return;
        const JsonDoc doc2 = fetchRoomInfo(latestId);
        // A failed answer about the live room (no room in it) says nothing new: the row keeps
        // what it showed and the next pass asks again. Rewriting it here would lose its start
        // time and figures for a show that may not even be on.
        if (!doc2.exists("data.room")) return;
        const std::string streamUrl =
            cutServiceText(doc2.getText("data.room['stream_url']['hls_pull_url']"), kMaxServiceFieldBytes);
        createTime = doc2.subDocument("data.room['create_time']").toText();

        // The recorder is claimed before the row says "正在录制", and a row that already has
        // one is left alone, so two polls of a row never give it two recorders.
        std::shared_ptr<Recorder> recorder;
        const Claim outcome = claim(streamUrl, nickname, n, epoch, recorder);
        if (outcome == Claim::Busy || outcome == Claim::Stopped) return;
        {
            std::lock_guard table(ctx.tableLock);
            const std::string cells[9] = {nickname, roomId,     latestId,   kLive, streamUrl, formatTimestamp(createTime),
                                          kRecording, "0KB", "0"};
            for (int c = 0; c < 9; ++c) ctx.roomTable.setCell(n - 1, c, cells[c]);
        }
        if (outcome == Claim::Refused || !startRecorderThread(recorder)) recorderEnded(n, nickname, epoch);
    }

    bool supervising(std::uint64_t generation) const { return !closed && supervisorGeneration == generation; }

    // Queues a row for a poll when it shows an offline room without a recorder.
    void queueIfOffline(int row) {
        if (ctx.roomTable.cell(row - 1, rcol::LiveStatus) != kOffline || rowRecording(row)) return;
        ctx.roomTable.setCell(row - 1, rcol::RecordStatus, kWatching);
        ctx.roomPollPool.post({std::to_string(row)});
    }

    void pollRooms(std::uint64_t generation) {
        std::weak_ptr<State> weak = weak_from_this();
        ctx.roomPollPool.create(
            [weak](const TaskArgs& args) {
                if (auto self = weak.lock(); self && !args.empty()) self->pollRoom(rowNumberOf(args[0]));
            },
            20, 400);
        std::unique_lock lock(mutex);
        while (supervising(generation)) {
            const int rows = ctx.roomTable.rowCount();
            for (int i = 1; i <= rows && supervising(generation); ++i) {
                repollDue.erase(i);
                lock.unlock();
                queueIfOffline(i);
                lock.lock();
                wake.wait_for(lock, ctx.pacing.supervisorRowGap, [&] { return !supervising(generation); });
            }
            const Clock::time_point passDue = Clock::now() + ctx.pacing.passInterval;
            while (supervising(generation) && Clock::now() < passDue) {
                Clock::time_point until = passDue;
                for (const auto& [row, due] : repollDue) until = std::min(until, due);
                wake.wait_until(lock, until);
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
                for (int row : due) queueIfOffline(row);
                lock.lock();
            }
        }
    }

    StopRecordingReport stopRecording() {
        ctx.setStatus("直播监控停止");
        std::vector<std::shared_ptr<Recorder>> ours;
        RecorderStopBounds limits;
        {
            std::lock_guard lock(mutex);
            ++stopEpoch;
            ++supervisorGeneration;
            repollDue.clear();
            ours = recorders;
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
            r->control->sendKeys("q");
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
            if (!process->valid()) continue;
            process->signal(SIGINT);
            earlier.push_back(std::move(process));
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
        waitAll(limits.quit);
        const std::pair<int, Millis> steps[] = {
            {SIGINT, limits.interrupt}, {SIGTERM, limits.terminate}, {SIGKILL, limits.kill}};
        for (const auto& [signalNumber, bound] : steps) {
            if (allEnded()) break;
            for (const auto& r : ours)
                if (!r->control->finished()) r->control->sendSignal(signalNumber);
            for (const auto& p : earlier)
                if (p->alive()) p->signal(signalNumber);
            waitAll(bound);
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
        StopRecordingReport report;
        const fs::path dir = ctx.paths.dataDir;
        const fs::path target = ctx.paths.collectionDir();
        std::error_code ec;
        fs::create_directories(target, ec);
        for (const std::string& name : recordingFilesIn(dir)) {
            const fs::path from = dir / name;
            if (fs::exists(fs::symlink_status(target / name, ec))) {
                report.leftOver.push_back(name + "（download中已有同名文件）");
                continue;
            }
            const Clock::time_point until = Clock::now() + limits.busyFile;
            bool held = fileHeldOpen(from);
            while (held && Clock::now() < until) {
                delay(std::min<Millis>(Millis(500), limits.busyFile));
                held = fileHeldOpen(from);
            }
            if (held) {
                report.leftOver.push_back(name + "（文件仍被占用）");
                continue;
            }
            if (moveWithoutReplace(from, target / name))
                report.moved.push_back(name);
            else
                report.leftOver.push_back(name + "（" + std::strerror(errno) + "）");
        }
        for (const std::string& left : report.leftOver) log("录像未移入download：" + left);
        return report;
    }

    void close() {
        std::vector<std::shared_ptr<Recorder>> ours;
        {
            std::lock_guard lock(mutex);
            closed = true;
            ++supervisorGeneration;
            repollDue.clear();
            ours = recorders;
            wake.notify_all();
        }
        // The recordings go on without us; only our threads let go of them. Past this wait no
        // recording thread touches the context any more.
        for (const auto& r : ours) r->control->abandon();
        std::unique_lock lock(mutex);
        threadsDone.wait_for(lock, Millis(5000), [&] { return recordingThreads == 0; });
    }
};

LiveMonitor::LiveMonitor(AppContext& ctx) : ctx_(ctx), state_(std::make_shared<State>(ctx)) {}

LiveMonitor::~LiveMonitor() { state_->close(); }

void LiveMonitor::registerRoom(const std::string& link) { state_->registerRoom(link); }

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

void LiveMonitor::startRecording(const std::string& streamUrl, const std::string& nickname,
                                 const std::string& rowText) {
    const int row = rowNumberOf(rowText);
    const std::uint64_t epoch = state_->currentEpoch();
    std::shared_ptr<State::Recorder> recorder;
    const State::Claim outcome = state_->claim(streamUrl, nickname, row, epoch, recorder);
    if (outcome != State::Claim::Ok) {
        state_->handleRefusal(outcome, row, nickname, epoch);
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
