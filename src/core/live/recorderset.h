#pragma once
// The live monitor's recorders. Each is claimed for a row before it starts, so two polls of a
// row never start two; it runs ffmpeg on a thread the set owns; all are stopped by one loop
// over a stop policy. An ffmpeg that an earlier run of the program left recording a room is
// taken over instead of being joined by a second recorder of the same show.
//
// What a recorder means for its row (its texts, a quick poll after it ends) is the monitor's
// business: the set tells it through its hooks, called with no lock of the set held.
// Lock order: the TableLock before the set's mutex.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "app/context.h"
#include "live/progress.h"
#include "live/recorder.h"

namespace vigilo {

class RunControl;
class ForeignProcess;

// How long "停止录制" waits for a recorder at each step before the next, harder request:
// the quit key, then SIGINT, SIGTERM and SIGKILL. A recording file that a process still holds
// after busyFile stays where it is and is reported.
struct RecorderStopBounds {
    Millis quit{10000};
    Millis interrupt{5000};
    Millis terminate{5000};
    Millis kill{2000};
    Millis busyFile{2000};
};

// One step of stopping recorders: what is sent to those still running, and how long they get
// to end before the next step.
enum class StopAction { QuitKey, Interrupt, Terminate, Kill };
struct StopStep {
    StopAction action;
    Millis timeout;
};
std::vector<StopStep> stopPolicy(const RecorderStopBounds& bounds);

struct RecorderInfo {
    int row = 0;  // the row number it was started for
    std::string nickname;
    std::string fileName;  // in the data directory
    int port = 0;
    pid_t processId = 0;  // 0 until ffmpeg runs
    bool fromEarlierRun = false;
};

class RecorderSet {
public:
    using Clock = std::chrono::steady_clock;

    struct Recorder {
        int row = 0;
        std::string url, nickname, roomId, fileName;
        int port = 0;
        // Set before it starts: from the claim (the program's split) and the room's quality.
        RecorderOptions options;
        std::uint64_t epoch = 0;
        Clock::time_point startedAt = Clock::now();
        std::shared_ptr<RunControl> control;
        // Set for the ffmpeg of an earlier run that this recorder took over.
        std::shared_ptr<ForeignProcess> earlier;
        // The show it records, as the monitor keys it; set before it starts.
        std::string show;
        std::string outputName;                         // its thread only
        std::string size, duration;                     // its thread only: the last figures shown
        Clock::time_point lastOutputAt = Clock::now();  // its thread only
        bool began = false;  // its thread only: ffmpeg reported progress (or it was taken over)
        // Why the set's watch is stopping it (Halt::None while it is not); read by its thread
        // once the process has ended.
        std::atomic<int> halt{0};
        // ffmpeg has said it writes (or it was taken over): only then can its file stall.
        std::atomic<bool> writing{false};
        // The watch's own: the bytes last seen, since when, and the stop policy's step reached.
        std::uintmax_t watchedBytes = 0;
        Clock::time_point grownAt{};
        bool watched = false;
        int stopStep = -1;
        Clock::time_point stepUntil{};
    };
    enum Halt : int { None = 0, Stalled = 1, NoSpace = 2 };

    // How a recorder's run ended. failed: it never recorded (ffmpeg missing, or it ended
    // before its first progress line); why says so.
    struct End {
        bool quickPoll = false;
        bool failed = false;
        std::string why;
        // As recording_ended says it (ended, stalled, stopped, failed); empty when it never recorded.
        std::string reason = {};
        bool noSpace = false;  // stopped for want of room on the disk
    };

    // NoSpace: the disk of the data directory has less free than VIGILO_MIN_FREE_MB.
    enum class Claim { Ok, Busy, Stopped, Refused, NoSpace };

    struct Hooks {
        // The recording runs: the row says so.
        std::function<void(const Recorder&)> started;
        // New figures; an empty duration leaves the cell as it is.
        std::function<void(const Recorder&, const ProgressFigures&)> progress;
        // The recording is over (not when it was let go of). quickPoll: it recorded long enough
        // for its room to be polled again soon.
        std::function<void(const Recorder&, const End&)> ended;
    };

    RecorderSet(AppContext& ctx, Hooks hooks);
    // Lets go of the running recorders (their processes go on) and joins their threads.
    ~RecorderSet();
    RecorderSet(const RecorderSet&) = delete;
    RecorderSet& operator=(const RecorderSet&) = delete;

    // Moves on at every stop: a claim made for an earlier epoch is refused.
    std::uint64_t epoch() const;
    std::uint64_t beginStop();

    // A recorder (other than `ending`) runs for the row and the room it shows (a new list of
    // links may have put another room in that row).
    bool recording(int row, const std::string& roomId, const Recorder* ending = nullptr) const;

    // Everything that must hold before a recorder may start, decided at once. On Ok the
    // recorder is registered and its file name reserved on disk, or it is an earlier run's
    // ffmpeg still recording this room (its mark says so), now watched as ours. Refused: `why`
    // says why.
    Claim claim(const std::string& url, const std::string& nickname, const std::string& roomId, int row,
                std::uint64_t epoch, std::shared_ptr<Recorder>& out, std::string* why = nullptr);
    // Runs a claimed recorder on a thread of the set; false (claim released, logged) when no
    // thread could be had.
    bool start(const std::shared_ptr<Recorder>& recorder);
    // Runs a claimed recorder on the calling thread, until it ends.
    void run(const std::shared_ptr<Recorder>& recorder);

    // Sends the stop policy's requests to every recorder of ours and to those an earlier run
    // left in the data directory (known by their mark), step by step until all have ended,
    // then waits a little for the recorders' threads to have written their rows.
    void stopAll();
    // The recording files this run reserved or took over that are still in the data
    // directory: file name → its owner's nickname.
    std::map<std::string, std::string> madeFiles();
    // Lets go of every recorder without stopping its process, and joins the threads.
    void close();

    int running() const;
    std::vector<RecorderInfo> list() const;
    void setStopBounds(const RecorderStopBounds& bounds);
    RecorderStopBounds stopBounds() const;
    // The length of a split recording's parts for recorders claimed from now on, in place of
    // the settings' minutes (0: one file).
    void setSplitSeconds(std::optional<int> seconds);
    // Bytes free on the disk of a folder (-1: unknown); statvfs unless a test stands in.
    using FreeSpace = std::function<std::int64_t(const std::filesystem::path&)>;
    void setFreeSpace(FreeSpace freeSpace);

private:
    // A recording thread with the flag it raises as it ends, so that finished ones are joined
    // (at once) when the next one starts and the rest when the set goes.
    struct Thread {
        std::shared_ptr<std::atomic<bool>> ended = std::make_shared<std::atomic<bool>>(false);
        std::jthread thread;
    };

    bool recordingLocked(int row, const std::string& roomId, const Recorder* ending) const;
    std::vector<pid_t> ourProcessesLocked() const;
    // The recorders an earlier run left in the data directory.
    std::vector<RunningRecorder> earlierRecorders() const;
    // The recorder an earlier run left recording this room, if one runs and is not watched yet.
    std::shared_ptr<ForeignProcess> earlierRecorderOf(const std::string& roomId, RecorderCommand& command) const;
    void runWith(const std::shared_ptr<Recorder>& recorder, std::stop_token stop);
    void runProcess(const std::shared_ptr<Recorder>& recorder);
    void watchEarlier(const std::shared_ptr<Recorder>& recorder, std::stop_token stop);
    void finish(const std::shared_ptr<Recorder>& recorder, End end);
    void releaseReservation(const Recorder& recorder);
    // A split recorder's parts so far, each kept among the files this run made.
    std::vector<std::string> partsOf(const Recorder& recorder);
    std::vector<std::pair<std::string, std::string>> fileFields(const Recorder& recorder);
    void publishEnded(const Recorder& recorder, const std::string& reason);
    void forget(const std::shared_ptr<Recorder>& recorder);
    void log(const std::string& text);
    // The watch over running recorders, on a thread of the set from the first claim on: the
    // disk's free space (below the floor every recorder is stopped by the stop policy, and
    // none starts until there is room again) and each recorder's output (one whose files have
    // not grown for the stall time while its process runs is stopped the same way).
    void watch(std::stop_token stop);
    void watchDisk();
    void watchRecorder(Recorder& recorder, Clock::time_point now);
    std::int64_t freeBytes() const;
    std::uintmax_t recordingBytes(const Recorder& recorder) const;
    bool hasFrames(const Recorder& recorder) const;

    AppContext& ctx_;
    const Hooks hooks_;
    mutable std::mutex mutex_;
    std::condition_variable threadsDone_;
    std::uint64_t epoch_ = 0;
    bool closed_ = false;
    std::vector<std::shared_ptr<Recorder>> recorders_;
    std::map<std::string, std::string> made_;  // file name → nickname
    std::list<Thread> threads_;
    RecorderStopBounds bounds_;
    std::optional<int> splitSeconds_;
    FreeSpace freeSpace_;
    bool diskLow_ = false;
    bool watcherDone_ = false;  // the watch found nothing to watch and ended (under mutex_)
    std::mutex watchMutex_;
    std::condition_variable_any watchWake_;
    std::jthread watcher_;
};

}  // namespace vigilo
