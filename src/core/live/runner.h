#pragma once
// Runs an outside program with its standard output and standard error on one pipe, handing the
// growing output to a callback after every read until the program exits. Built for recorders
// that run for hours: the wait is poll(), the remembered output is a bounded tail, and the
// child lives in its own session so it can outlive us.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>
#include "sys/spawn.h"
#include "sys/unique_fd.h"

namespace vigilo {

// Owns a child process id until the child is reaped. A child still running when its owner goes
// is left running on purpose (recorders outlive the program); whoever inherits it reaps it.
class ChildProcess {
public:
    ChildProcess() = default;
    explicit ChildProcess(pid_t pid);
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0 && !reaped_; }
    // A descriptor that becomes readable when the child ends; -1 where the kernel has none.
    int exitFd() const { return pidFd_.get(); }
    // Non-blocking reap; true once the child has been reaped (now or before).
    bool tryReap();
    // Never sends to a reaped id, so a recycled process id is never hit.
    bool signal(int signalNumber);
    // The child's whole process group, which it leads when it runs in its own session: what it
    // started goes too. Only while it is unreaped, so its id cannot have been reused.
    bool signalGroup(int signalNumber);
    int exitCode() const { return exitCode_; }      // -1 unless it exited normally
    int termSignal() const { return termSignal_; }  // 0 unless a signal ended it

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int exitCode_ = -1, termSignal_ = 0;
    UniqueFd pidFd_;
};

// The bytes of one read as text: up to the first zero byte, every LF as CR LF, then every
// blank followed by CR as the blank alone (ffmpeg rewrites its progress line with a bare CR).
std::string frameChunk(std::string_view bytes);

// The word for one chunk of output: "任务完成", "输入/输出 错误", "转换失败",
// "输入/输出 的 文件/路径 不存在", else the chunk itself. Letter case counts.
std::string statusWord(std::string_view chunk);

struct RunRequest {
    std::string program;                     // path or bare name (searched on PATH)
    std::vector<std::string> arguments;      // without the program name
    std::filesystem::path workingDirectory;  // empty: the executable's own directory
    bool ownSession = true;                  // setsid: no terminal signal reaches the child
    // False: a hand-over. The child keeps our standard output and error, reads nothing, and
    // the runner returns once it has started (or failed to), leaving it running unwatched.
    bool wait = true;
};

struct RunResult {
    bool started = false;
    bool abandoned = false;  // the runner let go of a child that still runs
    pid_t processId = 0;
    std::string collectedOutput;  // the bounded tail; program + " 不存在" when it is missing
    std::string status;           // the word of the last non-empty chunk
    int exitCode = -1;
    int termSignal = 0;
};

using OutputCallback = std::function<void(const std::string& collectedOutput, pid_t processId)>;

// Bytes of output the runner keeps; enough for any single log line and every window read.
inline constexpr std::size_t kOutputTailBytes = 16384;

class RunControl;

// Starts the program and returns when it has exited (or when the control lets go of it, or at
// once for a request that does not wait: then started and abandoned are both set; or when the
// calling thread's owner asks it to stop: then the child is left running, abandoned is set,
// and a thread asked to stop before the start starts nothing).
// A missing program: the callback once with "" and process id 0, collectedOutput = program +
// " 不存在", nothing started. Each read takes at most 1023 bytes; after every non-empty read
// the callback gets the tail of the output (the text read so far, of which the runner keeps
// at least the last kOutputTailBytes). The child starts with SIGPIPE ignored, so it survives
// the loss of its output's reader; to pass that on, the process ignores SIGPIPE from the first
// run on (a write to a closed pipe or socket then fails with EPIPE).
RunResult runProgram(const RunRequest& request, const OutputCallback& outputCallback = {},
                     RunControl* control = nullptr);

// Steers a run from other threads: the quit key on standard input, signals, letting go.
class RunControl {
public:
    RunControl();
    ~RunControl();
    RunControl(const RunControl&) = delete;
    RunControl& operator=(const RunControl&) = delete;

    // Writes keys to the child's standard input without blocking; false when it cannot.
    bool sendKeys(std::string_view keys);
    // Closes the child's standard input, so a program reading it to the end sees the end.
    void closeInput();
    bool sendSignal(int signalNumber);
    // To the child and every process of its group (a run in its own session); to the child
    // alone when it leads no group.
    bool sendGroupSignal(int signalNumber);
    // Before the start: the run ends without starting anything. After: nothing.
    void cancel();
    // The runner returns at once and leaves the child running, untouched.
    void abandon();
    pid_t processId() const;
    bool started() const;
    // True once the run that got this control has returned (child reaped, abandoned,
    // cancelled, or nothing to start). One control serves one run.
    bool finished() const;
    // Waits until finished(); false when the bound passed first.
    bool waitFinished(std::chrono::milliseconds bound) const;
    // Waits until the child has started or the run has returned; false when the bound passed.
    bool waitStarted(std::chrono::milliseconds bound) const;

private:
    friend RunResult runProgram(const RunRequest&, const OutputCallback&, RunControl*);
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    ChildProcess* child_ = nullptr;  // the runner's, valid while running
    UniqueFd input_;                 // the write end of the child's standard input
    UniqueFd wake_;                  // eventfd that wakes the runner's poll
    bool started_ = false, finished_ = false, cancelled_ = false, abandoned_ = false;
    pid_t pid_ = 0;
};

}  // namespace vigilo
