#include "live/recorderset.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>

#include "live/recorder.h"
#include "live/runner.h"
#include "net/http.h"
#include "sys/unique_fd.h"
#include "text/filenames.h"
#include "text/strings.h"
#include "text/timefmt.h"

namespace vigilo {

namespace fs = std::filesystem;
using Clock = RecorderSet::Clock;

// A process that is not our child, watched through a pidfd so that a recycled id is never
// signalled.
class ForeignProcess {
public:
    explicit ForeignProcess(pid_t pid) : pid_(pid) {
#ifdef SYS_pidfd_open
        const long fd = ::syscall(SYS_pidfd_open, pid, 0);
        if (fd >= 0) fd_.reset(static_cast<int>(fd));
#endif
    }
    bool valid() const { return fd_.valid(); }
    pid_t pid() const { return pid_; }
    bool alive() const { return !waitEnded(Millis(0)); }
    // True once the process has ended; waits up to `bound` for it.
    bool waitEnded(Millis bound) const {
        if (!fd_.valid()) return true;
        pollfd p{fd_.get(), POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(bound.count())) != 0;
    }
    void signal(int signalNumber) const {
#ifdef SYS_pidfd_send_signal
        if (fd_.valid()) ::syscall(SYS_pidfd_send_signal, fd_.get(), signalNumber, nullptr, 0);
#else
        (void)signalNumber;
#endif
    }

private:
    pid_t pid_;
    UniqueFd fd_;
};

namespace {

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

// How often a recording taken over from an earlier run has its file's size shown.
constexpr Millis kEarlierSizeEvery{2000};

}  // namespace

std::vector<StopStep> stopPolicy(const RecorderStopBounds& bounds) {
    return {{StopAction::QuitKey, bounds.quit},
            {StopAction::Interrupt, bounds.interrupt},
            {StopAction::Terminate, bounds.terminate},
            {StopAction::Kill, bounds.kill}};
}

RecorderSet::RecorderSet(AppContext& ctx, Hooks hooks) : ctx_(ctx), hooks_(std::move(hooks)) {}

RecorderSet::~RecorderSet() { close(); }

void RecorderSet::log(const std::string& text) { ctx_.appendLog(logTimestamp() + "：" + oneLine(text) + "\r\n"); }

std::uint64_t RecorderSet::epoch() const {
    std::lock_guard lock(mutex_);
    return epoch_;
}

std::uint64_t RecorderSet::beginStop() {
    std::lock_guard lock(mutex_);
    return ++epoch_;
}

bool RecorderSet::recordingLocked(int row, const std::string& roomId, const Recorder* ending) const {
    return std::any_of(recorders_.begin(), recorders_.end(),
                       [&](const auto& r) { return r.get() != ending && r->row == row && r->roomId == roomId; });
}

bool RecorderSet::recording(int row, const std::string& roomId, const Recorder* ending) const {
    std::lock_guard lock(mutex_);
    return recordingLocked(row, roomId, ending);
}

std::vector<pid_t> RecorderSet::ourProcessesLocked() const {
    std::vector<pid_t> ids;
    for (const auto& r : recorders_) {
        if (r->earlier)
            ids.push_back(r->earlier->pid());
        else if (const pid_t pid = r->control->processId(); pid > 0)
            ids.push_back(pid);
    }
    return ids;
}

std::vector<RunningRecorder> RecorderSet::earlierRecorders() const {
    return recordersInDirectory({"ffmpeg", fs::path(ctx_.paths.ffmpegPath()).filename().string()}, ctx_.paths.dataDir);
}

std::shared_ptr<ForeignProcess> RecorderSet::earlierRecorderOf(const std::string& roomId,
                                                               RecorderCommand& command) const {
    const std::vector<RunningRecorder> candidates = earlierRecorders();
    std::vector<pid_t> ours;
    {
        std::lock_guard lock(mutex_);
        ours = ourProcessesLocked();
    }
    for (const RunningRecorder& candidate : candidates) {
        if (std::find(ours.begin(), ours.end(), candidate.pid) != ours.end()) continue;
        if (candidate.command.roomId != roomId) continue;
        auto process = std::make_shared<ForeignProcess>(candidate.pid);
        if (!process->valid() || !process->alive()) continue;
        command = candidate.command;
        return process;
    }
    return nullptr;
}

RecorderSet::Claim RecorderSet::claim(const std::string& url, const std::string& nickname, const std::string& roomId,
                                      int row, std::uint64_t epoch, std::shared_ptr<Recorder>& out, std::string* why) {
    const auto refuse = [&](std::string reason) {
        if (why != nullptr) *why = std::move(reason);
        return Claim::Refused;
    };
    const int port = recorderPort(row);
    if (row < 1 || port <= 0) return refuse("第" + std::to_string(row) + "行没有可用的本地端口，不录制");
    if (!isRecordableUrl(url)) return refuse("拒绝录制非网络直播源：" + url);
    // Read before the lock: it walks /proc.
    RecorderCommand earlierCommand;
    std::shared_ptr<ForeignProcess> earlier = earlierRecorderOf(roomId, earlierCommand);
    std::string earlierFile;
    std::optional<Millis> earlierAge;
    if (earlier) {
        earlierFile = earlierCommand.outputFile.substr(2);
        earlierAge = processAge(earlier->pid());
    }

    const std::int64_t free = freeBytes();
    const bool noSpace = free >= 0 && free < netConfig().minFreeBytes;

    std::lock_guard lock(mutex_);
    if (closed_ || ctx_.closing || epoch != epoch_) return Claim::Stopped;
    if (recordingLocked(row, roomId, nullptr)) return Claim::Busy;
    // The watch tells of the disk; it runs while a recorder runs or the disk is low, and a
    // recorder it stopped for want of room is not followed by a new one until it sees room
    // again. One that found nothing left to watch has ended, and is joined here (it takes
    // no lock on its way out).
    if (watcherDone_ && watcher_.joinable()) watcher_.join();
    if (!watcher_.joinable()) {
        watcherDone_ = false;
        try {
            watcher_ = std::jthread([this](std::stop_token stop) { watch(std::move(stop)); });
        } catch (const std::system_error&) {
            log("无法启动录制监视线程");
        }
    }
    if (noSpace || diskLow_) return Claim::NoSpace;
    auto recorder = std::make_shared<Recorder>();
    recorder->row = row;
    recorder->url = url;
    recorder->nickname = nickname;
    recorder->roomId = roomId;
    recorder->port = port;
    recorder->epoch = epoch;
    recorder->control = std::make_shared<RunControl>();
    const bool taken = earlier && std::any_of(recorders_.begin(), recorders_.end(), [&](const auto& r) {
                           return r->earlier && r->earlier->pid() == earlier->pid();
                       });
    if (earlier && !taken && !earlierFile.empty()) {
        // Its time counts from its own start: a process that has recorded for a while and
        // ends soon after we take it over has its room polled again soon, like one of ours.
        if (earlierAge) recorder->startedAt = Clock::now() - *earlierAge;
        recorder->earlier = std::move(earlier);
        recorder->fileName = earlierFile;
        recorder->options = earlierCommand.options;
        recorder->began = true;
        recorder->writing = true;
        made_[earlierFile] = nickname;
        recorders_.push_back(recorder);
        out = recorder;
        return Claim::Ok;
    }
    recorder->options.splitSeconds = splitSeconds_ ? *splitSeconds_ : ctx_.settings.splitMinutes() * 60;
    const fs::path dir = ctx_.paths.dataDir;
    std::string name;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        name = uniqueRecordingName(
            nickname,
            [&](const std::string& candidate) {
                std::error_code ec;
                if (fs::exists(fs::symlink_status(dir / candidate, ec))) return true;
                // A part a split recorder is still to write is as taken as its reserved name.
                return std::any_of(recorders_.begin(), recorders_.end(), [&](const auto& r) {
                    return r->fileName == candidate || isRecordingPartOf(candidate, r->fileName);
                });
            },
            recorder->options.splitSeconds > 0 ? kPartNameBytes : 0);
        // The empty file reserves the name against anyone creating it meanwhile.
        const int fd = ::open((dir / name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            break;
        }
        if (errno != EEXIST) return refuse("无法创建录像文件 " + name + "：" + std::strerror(errno));
        name.clear();
    }
    if (name.empty()) return refuse("没有可用的录像文件名");
    recorder->fileName = name;
    made_[name] = nickname;
    recorders_.push_back(recorder);
    out = recorder;
    return Claim::Ok;
}

// ffmpeg may have written the file type box and then never a frame (a stream that stalled
// from the start): nothing plays there.
void RecorderSet::releaseReservation(const Recorder& recorder) {
    const fs::path file = ctx_.paths.dataDir / recorder.fileName;
    struct stat st {};
    // A file that never got a frame is only the name's reservation.
    if (::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && recordingNeverStarted(file)) ::unlink(file.c_str());
}

std::vector<std::string> RecorderSet::partsOf(const Recorder& recorder) {
    if (recorder.options.splitSeconds <= 0) return {};
    std::vector<std::string> parts = recordingPartsIn(ctx_.paths.dataDir, recorder.fileName);
    std::lock_guard lock(mutex_);
    for (const std::string& part : parts) made_.emplace(part, recorder.nickname);
    return parts;
}

// The files a recording ended with, for its event: its parts when it was split.
std::vector<std::pair<std::string, std::string>> RecorderSet::fileFields(const Recorder& recorder) {
    const std::vector<std::string> parts = partsOf(recorder);
    if (parts.empty()) return {{"file", recorder.fileName}};
    std::string files;
    for (const std::string& part : parts) files += (files.empty() ? "" : "\n") + part;
    return {{"file", parts.front()}, {"files", files}};
}

void RecorderSet::publishEnded(const Recorder& recorder, const std::string& reason) {
    std::vector<std::pair<std::string, std::string>> fields = {{"nickname", recorder.nickname},
                                                               {"roomId", recorder.roomId}};
    for (auto& field : fileFields(recorder)) fields.push_back(std::move(field));
    fields.insert(fields.end(), {{"duration", recorder.duration}, {"size", recorder.size}, {"reason", reason}});
    ctx_.events.publish(makeEvent(EventType::RecordingEnded, std::move(fields)));
}

void RecorderSet::forget(const std::shared_ptr<Recorder>& recorder) {
    std::lock_guard lock(mutex_);
    recorders_.erase(std::remove(recorders_.begin(), recorders_.end(), recorder), recorders_.end());
    threadsDone_.notify_all();
}

void RecorderSet::finish(const std::shared_ptr<Recorder>& recorder, End end) {
    releaseReservation(*recorder);
    partsOf(*recorder);
    // A recorder that fails straight away (a broken stream) is tried again by the passes only,
    // so a room never gets a new recording file more often than that.
    const bool ranLongEnough = Clock::now() - recorder->startedAt >= ctx_.pacing.recorderRepoll;
    end.quickPoll = end.quickPoll && !end.failed && ranLongEnough;
    if (hooks_.ended) hooks_.ended(*recorder, end);
}

void RecorderSet::runProcess(const std::shared_ptr<Recorder>& recorder) {
    RunRequest request;
    request.program = ctx_.paths.ffmpegPath();
    // A relative name after "./": a nickname can never read as an option or a protocol.
    request.arguments = recorderArguments(recorder->url, recorder->port, "./" + recorder->fileName, recorder->roomId,
                                          recorder->options);
    request.workingDirectory = ctx_.paths.dataDir;
    request.ownSession = true;
    const auto onOutput = [&](const std::string& collected, pid_t) {
        Recorder& r = *recorder;
        r.lastOutputAt = Clock::now();
        if (r.outputName.empty()) r.outputName = recorderOutputName(collected);
        if (r.outputName.empty()) return;
        const auto figures = parseProgress(collected);
        if (!figures) return;
        r.size = figures->size;
        r.duration = figures->duration;
        // Recording only once ffmpeg says it writes: one that cannot open its stream never is.
        if (!r.began) {
            r.began = true;
            r.writing = true;
            ctx_.events.publish(makeEvent(EventType::RecordingStarted,
                                          {{"nickname", r.nickname}, {"roomId", r.roomId}, {"file", r.fileName}}));
        }
        if (hooks_.progress) hooks_.progress(r, *figures);
    };
    const RunResult result = runProgram(request, onOutput, recorder->control.get());
    const bool stopped = recorder->epoch != epoch() || ctx_.closing;
    // A show shorter than ffmpeg's first progress line, read to its end, is a recording all the
    // same when its file holds frames.
    if (result.started && !result.abandoned && !recorder->began && result.exitCode == 0 && result.termSignal == 0 &&
        hasFrames(*recorder))
        recorder->began = true;
    End end{true, false, ""};
    if (!result.started) {
        end.failed = true;
        end.why = result.collectedOutput.empty() ? "stopped" : oneLine(result.collectedOutput);
        // A recorder called off before it started did not fail.
        if (stopped) end.failed = false;
    } else if (!result.abandoned && !recorder->began) {
        end.failed = !stopped;
        end.why = failureReason(result);
    } else if (!result.abandoned) {
        const bool failed = result.exitCode != 0 || result.termSignal != 0;
        std::string reason = "ended";
        const int halt = recorder->halt;
        if (stopped)
            reason = "stopped";
        else if (halt == NoSpace)
            reason = "disk_low";
        else if (halt == Stalled || endedByStall(result, Clock::now() - recorder->lastOutputAt))
            reason = "stalled";
        else if (failed)
            reason = "failed";
        // A recorder that failed on its own (a full disk, a stream it could not read) says so;
        // one that was asked to stop, or that finished its show, does not.
        if (failed && !stopped && halt == None)
            log("录制中断：" + recorder->fileName + "（" + failureReason(result) + "）");
        end.reason = reason;
        publishEnded(*recorder, reason);
    }
    end.noSpace = recorder->halt == NoSpace && !stopped;
    // A recorder the watch stopped did not fail, even when it never got a frame.
    if (recorder->halt != None) end.failed = false;
    if (!result.abandoned) finish(recorder, end);
}

// The process is not our child: no output, no exit status. Its end is seen through its pidfd
// and its progress through its file's size.
void RecorderSet::watchEarlier(const std::shared_ptr<Recorder>& recorder, std::stop_token stop) {
    log("继续录制：" + recorder->fileName + "（上次运行留下的录制进程）");
    const fs::path file = ctx_.paths.dataDir / recorder->fileName;
    // How long it has recorded: by the file's own fragments, else since its process started.
    FragmentScan fragments;
    const auto recorded = [&] {
        if (const std::optional<double> seconds = recordedSeconds(file, fragments); seconds && *seconds > 0)
            return durationOfSeconds(*seconds);
        return durationOfSeconds(std::chrono::duration<double>(Clock::now() - recorder->startedAt).count());
    };
    Clock::time_point nextSize = Clock::now();
    while (!stop.stop_requested() && !ctx_.closing) {
        if (recorder->earlier->waitEnded(Millis(100))) break;
        if (Clock::now() < nextSize) continue;
        nextSize = Clock::now() + kEarlierSizeEvery;
        std::error_code ec;
        const std::uintmax_t bytes = fs::file_size(file, ec);
        if (ec) continue;
        const ProgressFigures figures{megabyteText(std::to_string(bytes / 1024) + "kB"), recorded()};
        recorder->size = figures.size;
        recorder->duration = figures.duration;
        if (hooks_.progress) hooks_.progress(*recorder, figures);
    }
    // Let go of: the process goes on without us.
    if (recorder->earlier->alive()) return;
    recorder->duration = recorded();
    const bool stopped = recorder->epoch != epoch() || ctx_.closing;
    const int halt = recorder->halt;
    const std::string reason = stopped           ? "stopped"
                               : halt == NoSpace ? "disk_low"
                               : halt == Stalled ? "stalled"
                                                 : "ended";
    publishEnded(*recorder, reason);
    finish(recorder, End{true, false, "", reason, halt == NoSpace && !stopped});
}

void RecorderSet::run(const std::shared_ptr<Recorder>& recorder) { runWith(recorder, {}); }

void RecorderSet::runWith(const std::shared_ptr<Recorder>& recorder, std::stop_token stop) {
    if (hooks_.started) hooks_.started(*recorder);
    if (recorder->earlier)
        watchEarlier(recorder, std::move(stop));
    else
        runProcess(recorder);
    forget(recorder);
}

bool RecorderSet::start(const std::shared_ptr<Recorder>& recorder) {
    std::list<Thread> finished;
    std::unique_lock lock(mutex_);
    for (auto it = threads_.begin(); it != threads_.end();) {
        auto next = std::next(it);
        if (it->ended->load()) finished.splice(finished.end(), threads_, it);
        it = next;
    }
    try {
        Thread& slot = threads_.emplace_back();
        slot.thread = std::jthread([this, recorder, ended = slot.ended](std::stop_token stop) {
            runWith(recorder, std::move(stop));
            ended->store(true);
        });
    } catch (const std::system_error&) {
        threads_.pop_back();
        recorders_.erase(std::remove(recorders_.begin(), recorders_.end(), recorder), recorders_.end());
        lock.unlock();
        if (!recorder->earlier) releaseReservation(*recorder);
        log("无法启动录制线程");
        return false;
    }
    lock.unlock();
    finished.clear();  // joins threads that have already returned
    return true;
}

void RecorderSet::stopAll() {
    std::vector<std::shared_ptr<Recorder>> ours;
    RecorderStopBounds limits;
    {
        std::lock_guard lock(mutex_);
        ours = recorders_;
        limits = bounds_;
    }
    std::vector<pid_t> ourIds;
    std::vector<std::shared_ptr<ForeignProcess>> earlier;
    for (const auto& r : ours) {
        if (r->earlier) {
            earlier.push_back(r->earlier);
            ourIds.push_back(r->earlier->pid());
        } else {
            r->control->cancel();
            ourIds.push_back(r->control->processId());
        }
    }
    // Recorders an earlier run left in the data directory and not taken over: ours by their
    // mark. Any other ffmpeg there is a user's own job.
    for (const RunningRecorder& left : earlierRecorders()) {
        if (std::find(ourIds.begin(), ourIds.end(), left.pid) != ourIds.end()) continue;
        auto process = std::make_shared<ForeignProcess>(left.pid);
        if (process->valid()) {
            std::lock_guard lock(mutex_);
            made_.emplace(left.command.outputFile.substr(2), "");
            earlier.push_back(std::move(process));
        }
    }

    const auto allEnded = [&] {
        for (const auto& r : ours)
            if (!r->earlier && !r->control->finished()) return false;
        for (const auto& p : earlier)
            if (p->alive()) return false;
        return true;
    };
    const auto waitAll = [&](Millis bound) {
        const Clock::time_point until = Clock::now() + bound;
        for (const auto& r : ours) {
            if (r->earlier) continue;
            const auto left = std::chrono::duration_cast<Millis>(until - Clock::now());
            r->control->waitFinished(std::max(left, Millis(0)));
        }
        while (!allEnded() && Clock::now() < until) delay(Millis(50));
    };
    for (const StopStep& step : stopPolicy(limits)) {
        if (allEnded()) break;
        const int signalNumber = signalOf(step.action);
        for (const auto& r : ours) {
            if (r->earlier || r->control->finished()) continue;
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
    // The recorders' rows are written back once their threads have seen the end.
    std::unique_lock lock(mutex_);
    threadsDone_.wait_for(lock, Millis(2000), [&] {
        return std::none_of(ours.begin(), ours.end(), [&](const auto& r) {
            return std::find(recorders_.begin(), recorders_.end(), r) != recorders_.end();
        });
    });
}

std::map<std::string, std::string> RecorderSet::madeFiles() {
    std::vector<std::shared_ptr<Recorder>> running;
    {
        std::lock_guard lock(mutex_);
        running = recorders_;
    }
    for (const auto& r : running) partsOf(*r);
    std::lock_guard lock(mutex_);
    for (auto it = made_.begin(); it != made_.end();) {
        std::error_code ec;
        const bool kept = fs::exists(fs::symlink_status(ctx_.paths.dataDir / it->first, ec));
        const bool running =
            std::any_of(recorders_.begin(), recorders_.end(), [&](const auto& r) { return r->fileName == it->first; });
        it = kept || running ? std::next(it) : made_.erase(it);
    }
    return made_;
}

void RecorderSet::close() {
    std::list<Thread> threads;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        // The recordings go on without us; only our threads let go of them.
        for (const auto& r : recorders_)
            if (!r->earlier) r->control->abandon();
        threads.swap(threads_);
    }
    // Past these joins no recording thread touches the context any more (a watch of an earlier
    // run's recorder ends at its stop request).
    threads.clear();
    if (watcher_.joinable()) {
        watcher_.request_stop();
        watcher_.join();
    }
}

int RecorderSet::running() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(recorders_.size());
}

std::vector<RecorderInfo> RecorderSet::list() const {
    std::lock_guard lock(mutex_);
    std::vector<RecorderInfo> out;
    for (const auto& r : recorders_)
        out.push_back({r->row, r->nickname, r->fileName, r->port,
                       r->earlier ? r->earlier->pid() : r->control->processId(), r->earlier != nullptr});
    return out;
}

void RecorderSet::setStopBounds(const RecorderStopBounds& bounds) {
    std::lock_guard lock(mutex_);
    bounds_ = bounds;
}

void RecorderSet::setFreeSpace(FreeSpace freeSpace) {
    std::lock_guard lock(mutex_);
    freeSpace_ = std::move(freeSpace);
}

std::int64_t RecorderSet::freeBytes() const {
    FreeSpace probe;
    {
        std::lock_guard lock(mutex_);
        probe = freeSpace_;
    }
    if (probe) return probe(ctx_.paths.dataDir);
    struct statvfs info {};
    if (::statvfs(ctx_.paths.dataDir.c_str(), &info) != 0) return -1;
    return static_cast<std::int64_t>(info.f_bavail) * static_cast<std::int64_t>(info.f_frsize);
}

bool RecorderSet::hasFrames(const Recorder& recorder) const {
    const fs::path dir = ctx_.paths.dataDir;
    std::error_code ec;
    if (fs::exists(dir / recorder.fileName, ec) && !recordingNeverStarted(dir / recorder.fileName)) return true;
    if (recorder.options.splitSeconds <= 0) return false;
    const std::vector<std::string> parts = recordingPartsIn(dir, recorder.fileName);
    return std::any_of(parts.begin(), parts.end(),
                       [&](const std::string& part) { return !recordingNeverStarted(dir / part); });
}

std::uintmax_t RecorderSet::recordingBytes(const Recorder& recorder) const {
    std::error_code ec;
    std::uintmax_t bytes = 0;
    const std::uintmax_t own = fs::file_size(ctx_.paths.dataDir / recorder.fileName, ec);
    if (!ec) bytes += own;
    if (recorder.options.splitSeconds > 0)
        for (const std::string& part : recordingPartsIn(ctx_.paths.dataDir, recorder.fileName)) {
            const std::uintmax_t size = fs::file_size(ctx_.paths.dataDir / part, ec);
            if (!ec) bytes += size;
        }
    return bytes;
}

void RecorderSet::watch(std::stop_token stop) {
    // Often enough to stop a stalled recorder within a tenth of its stall time, at most once a
    // second.
    const Millis tick = std::clamp<Millis>(ctx_.pacing.recorderStall / 10, Millis(10), Millis(1000));
    while (!stop.stop_requested()) {
        try {
            watchDisk();
            std::vector<std::shared_ptr<Recorder>> running;
            {
                std::lock_guard lock(mutex_);
                running = recorders_;
            }
            const Clock::time_point now = Clock::now();
            for (const auto& r : running) watchRecorder(*r, now);
        } catch (const std::exception& e) {
            log(std::string("录制监视出错：") + e.what());
        }
        {
            // Nothing to watch: the thread is given back until the next claim.
            std::lock_guard lock(mutex_);
            if (recorders_.empty() && !diskLow_) {
                watcherDone_ = true;
                return;
            }
        }
        std::unique_lock lock(watchMutex_);
        watchWake_.wait_for(lock, stop, tick, [] { return false; });
    }
}

void RecorderSet::watchDisk() {
    const std::int64_t free = freeBytes();
    if (free < 0) return;
    const std::int64_t floor = netConfig().minFreeBytes;
    const bool low = free < floor;
    std::vector<std::shared_ptr<Recorder>> running;
    {
        std::lock_guard lock(mutex_);
        if (low == diskLow_) return;
        diskLow_ = low;
        if (low) running = recorders_;
    }
    const std::string freeMb = std::to_string(free >> 20), floorMb = std::to_string(floor >> 20);
    if (low) {
        log("磁盘空间不足（剩余 " + freeMb + " MB，低于 " + floorMb + " MB），录制全部停止，有空间后再录");
        for (const auto& r : running) {
            int none = None;
            r->halt.compare_exchange_strong(none, NoSpace);
        }
    } else {
        log("磁盘空间已恢复（剩余 " + freeMb + " MB），可以继续录制");
    }
    ctx_.events.publish(makeEvent(low ? EventType::DiskLow : EventType::DiskOk,
                                  {{"dir", ctx_.paths.dataDir.string()}, {"freeMB", freeMb}, {"minMB", floorMb}}));
}

void RecorderSet::watchRecorder(Recorder& r, Clock::time_point now) {
    const bool running = r.earlier ? r.earlier->alive() : r.control->processId() > 0 && !r.control->finished();
    if (!running) return;
    // One that has not begun is ffmpeg's own business (its read time-out), unless the disk is full.
    if (!r.writing && r.halt == None) return;
    const std::uintmax_t bytes = recordingBytes(r);
    if (!r.watched || bytes != r.watchedBytes) {
        r.watched = true;
        r.watchedBytes = bytes;
        r.grownAt = now;
    } else if (now - r.grownAt >= ctx_.pacing.recorderStall && r.halt == None) {
        int none = None;
        if (r.halt.compare_exchange_strong(none, Stalled)) {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - r.grownAt).count();
            log("录制停滞：" + r.fileName + "（" + std::to_string(seconds) + " 秒没有写入），停止录制并重新检查直播间");
        }
    }
    if (r.halt == None) return;
    // The stop policy, one step at a time: the watch never waits on a recorder.
    const std::vector<StopStep> steps = stopPolicy(stopBounds());
    if (r.stopStep >= 0 && (now < r.stepUntil || r.stopStep + 1 >= static_cast<int>(steps.size()))) return;
    const StopStep& step = steps[static_cast<std::size_t>(++r.stopStep)];
    r.stepUntil = now + step.timeout;
    if (r.earlier) {
        r.earlier->signal(step.action == StopAction::QuitKey ? SIGINT : signalOf(step.action));
    } else if (step.action == StopAction::QuitKey) {
        r.control->sendKeys("q");
    } else {
        r.control->sendSignal(signalOf(step.action));
    }
}

void RecorderSet::setSplitSeconds(std::optional<int> seconds) {
    std::lock_guard lock(mutex_);
    splitSeconds_ = seconds;
}

RecorderStopBounds RecorderSet::stopBounds() const {
    std::lock_guard lock(mutex_);
    return bounds_;
}

}  // namespace vigilo
