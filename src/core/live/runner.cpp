#include "live/runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stop_token>

#include "sys/spawn.h"
#include "sys/stop.h"

namespace vigilo {

namespace fs = std::filesystem;

namespace {

int openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
        ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        return static_cast<int>(fd);
    }
#else
    (void)pid;
#endif
    return -1;
}

}  // namespace

ChildProcess::ChildProcess(pid_t pid) : pid_(pid), pidFd_(openPidFd(pid)) {}

ChildProcess::~ChildProcess() {
    if (running()) tryReap();
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_),
      reaped_(other.reaped_),
      exitCode_(other.exitCode_),
      termSignal_(other.termSignal_),
      pidFd_(std::move(other.pidFd_)) {
    other.pid_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        if (running()) tryReap();
        pid_ = other.pid_;
        reaped_ = other.reaped_;
        exitCode_ = other.exitCode_;
        termSignal_ = other.termSignal_;
        pidFd_ = std::move(other.pidFd_);
        other.pid_ = -1;
    }
    return *this;
}

bool ChildProcess::tryReap() {
    if (pid_ <= 0) return true;
    if (reaped_) return true;
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(pid_, &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == 0) return false;
    reaped_ = true;
    if (done == pid_) {
        if (WIFEXITED(status)) exitCode_ = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) termSignal_ = WTERMSIG(status);
    }
    pidFd_.reset();
    return true;
}

bool ChildProcess::signal(int signalNumber) {
    if (!running()) return false;
#ifdef SYS_pidfd_send_signal
    if (pidFd_.valid()) return ::syscall(SYS_pidfd_send_signal, pidFd_.get(), signalNumber, nullptr, 0) == 0;
#endif
    return ::kill(pid_, signalNumber) == 0;
}

bool ChildProcess::signalGroup(int signalNumber) {
    if (!running()) return false;
    if (::getpgid(pid_) == pid_) return ::kill(-pid_, signalNumber) == 0;
    return signal(signalNumber);
}

std::string frameChunk(std::string_view bytes) {
    const std::size_t zero = bytes.find('\0');
    if (zero != std::string_view::npos) bytes = bytes.substr(0, zero);
    std::string crlf;
    crlf.reserve(bytes.size() + 16);
    for (char c : bytes) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    std::string out;
    out.reserve(crlf.size());
    for (std::size_t i = 0; i < crlf.size(); ++i) {
        out += crlf[i];
        if (crlf[i] == ' ' && i + 1 < crlf.size() && crlf[i + 1] == '\r') ++i;
    }
    return out;
}

std::string statusWord(std::string_view chunk) {
    if (chunk.find("muxing overhead:") != std::string_view::npos) return "任务完成";
    if (chunk.find("Input/output error") != std::string_view::npos) return "输入/输出 错误";
    if (chunk.find("Conversion failed") != std::string_view::npos) return "转换失败";
    if (chunk.find("No such file or directory") != std::string_view::npos) return "输入/输出 的 文件/路径 不存在";
    return std::string(chunk);
}

RunControl::RunControl() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

RunControl::~RunControl() = default;

bool RunControl::sendKeys(std::string_view keys) {
    std::lock_guard lock(mutex_);
    if (!input_.valid() || child_ == nullptr || !child_->running()) return false;
    ssize_t written;
    do {
        written = ::write(input_.get(), keys.data(), keys.size());
    } while (written < 0 && errno == EINTR);
    return written == static_cast<ssize_t>(keys.size());
}

void RunControl::closeInput() {
    std::lock_guard lock(mutex_);
    input_.reset();
}

bool RunControl::waitStarted(std::chrono::milliseconds bound) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [this] { return started_ || finished_; });
}

bool RunControl::sendSignal(int signalNumber) {
    std::lock_guard lock(mutex_);
    return child_ != nullptr && child_->signal(signalNumber);
}

bool RunControl::sendGroupSignal(int signalNumber) {
    std::lock_guard lock(mutex_);
    return child_ != nullptr && child_->signalGroup(signalNumber);
}

void RunControl::cancel() {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
}

void RunControl::abandon() {
    std::lock_guard lock(mutex_);
    abandoned_ = true;
    if (wake_.valid()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(wake_.get(), &one, sizeof one);
    }
}

pid_t RunControl::processId() const {
    std::lock_guard lock(mutex_);
    return pid_;
}

bool RunControl::started() const {
    std::lock_guard lock(mutex_);
    return started_;
}

bool RunControl::finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

bool RunControl::waitFinished(std::chrono::milliseconds bound) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return finished_; });
}

namespace {

bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return true;
}

}  // namespace

RunResult runProgram(const RunRequest& request, const OutputCallback& outputCallback, RunControl* control) {
    RunResult result;
    const auto finish = [&] {
        if (control == nullptr) return;
        std::lock_guard lock(control->mutex_);
        control->child_ = nullptr;
        control->input_.reset();
        control->finished_ = true;
        control->changed_.notify_all();
    };

    const std::string path = findExecutable(request.program);
    if (path.empty()) {
        if (outputCallback) outputCallback("", 0);
        result.collectedOutput = request.program + " 不存在";
        finish();
        return result;
    }

    UniqueFd outRead, outWrite, inRead, inWrite;
    if (!makePipe(outRead, outWrite) || !makePipe(inRead, inWrite)) {
        result.collectedOutput = std::string("pipe: ") + std::strerror(errno);
        finish();
        return result;
    }
    ::fcntl(inWrite.get(), F_SETFL, O_NONBLOCK);

    // A child that must outlive us must also outlive its output pipe losing its reader: it
    // starts with SIGPIPE ignored, and a write to the dead pipe fails with EPIPE instead of
    // ending it. An ignored signal can only be passed on by ignoring it here too.
    ignoreBrokenPipes();
    SpawnRequest spawn;
    spawn.path = path;
    spawn.argv.push_back(path);
    spawn.argv.insert(spawn.argv.end(), request.arguments.begin(), request.arguments.end());
    spawn.input = ChildStream::descriptor(inRead.get());
    // A hand-over keeps our standard output and error.
    spawn.output = request.wait ? ChildStream::descriptor(outWrite.get()) : ChildStream::inherit();
    spawn.error = spawn.output;
    spawn.workingDirectory = request.workingDirectory.empty() ? fs::path(path).parent_path() : request.workingDirectory;
    spawn.ownSession = request.ownSession;
    spawn.brokenPipeIgnored = true;

    // A thread asked to stop starts nothing new.
    if (stopRequested()) {
        result.collectedOutput = "stopped";
        finish();
        return result;
    }
    ChildProcess child;
    {
        std::unique_lock<std::mutex> lock;
        if (control != nullptr) {
            lock = std::unique_lock(control->mutex_);
            if (control->cancelled_ || control->abandoned_) {
                result.abandoned = control->abandoned_;
                lock.unlock();
                finish();
                return result;
            }
        }
        const Spawned spawned = spawnProcess(spawn);
        const pid_t pid = spawned.pid;
        if (!spawned.ok()) {
            result.collectedOutput = path + ": " + std::strerror(spawned.error);
            if (lock.owns_lock()) lock.unlock();
            finish();
            return result;
        }
        child = ChildProcess(pid);
        result.started = true;
        result.processId = pid;
        if (control != nullptr) {
            control->child_ = &child;
            control->input_ = std::move(inWrite);
            control->started_ = true;
            control->pid_ = pid;
            control->changed_.notify_all();
        }
    }
    inRead.reset();
    outWrite.reset();
    if (!request.wait) {
        // Nobody reaps a child that outlives the program; should the program run on, the
        // zombie is one process-table slot.
        result.abandoned = true;
        finish();
        return result;
    }

    const auto reap = [&] {
        if (control == nullptr) return child.tryReap();
        std::lock_guard lock(control->mutex_);
        return child.tryReap();
    };
    const auto abandoned = [&] {
        if (control == nullptr) return false;
        std::lock_guard lock(control->mutex_);
        if (control->wake_.valid()) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t ignored = ::read(control->wake_.get(), &count, sizeof count);
        }
        return control->abandoned_;
    };

    std::string collected;
    char buffer[1024];
    enum class Read { Data, Again, End };
    const auto readOnce = [&]() -> Read {
        std::memset(buffer, 0, sizeof buffer);
        ssize_t n;
        do {
            n = ::read(outRead.get(), buffer, 1023);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && errno == EAGAIN) return Read::Again;
        if (n <= 0) return Read::End;
        const std::string text = frameChunk(std::string_view(buffer, static_cast<std::size_t>(n)));
        if (!text.empty()) {
            collected += text;
            // Keep between one and two tails: the cost per chunk stays flat however long
            // the child runs.
            if (collected.size() > 2 * kOutputTailBytes) collected.erase(0, collected.size() - kOutputTailBytes);
            result.status = statusWord(text);
            if (outputCallback) outputCallback(collected, child.pid());
        }
        return Read::Data;
    };

    // The thread's owner asking it to stop lets go of the child the way abandon() does: the
    // thread ends, the child (in its own session) keeps running.
    UniqueFd ownWake;
    int wakeFd = control != nullptr ? control->wake_.get() : -1;
    if (wakeFd < 0) {
        ownWake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        wakeFd = ownWake.get();
    }
    std::atomic<bool> stopSeen{false};
    const std::stop_callback onStop(currentStopToken(), [&stopSeen, wakeFd] {
        stopSeen = true;
        if (wakeFd >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t ignored = ::write(wakeFd, &one, sizeof one);
        }
    });
    while (true) {
        pollfd fds[3];
        nfds_t count = 0;
        int outIndex = -1, exitIndex = -1;
        if (outRead.valid()) {
            outIndex = static_cast<int>(count);
            fds[count++] = {outRead.get(), POLLIN, 0};
        }
        if (child.exitFd() >= 0) {
            exitIndex = static_cast<int>(count);
            fds[count++] = {child.exitFd(), POLLIN, 0};
        }
        if (wakeFd >= 0) fds[count++] = {wakeFd, POLLIN, 0};
        // Without an exit descriptor the exit is noticed by a reap attempt after a time-out.
        const int timeout = exitIndex >= 0 ? -1 : (outRead.valid() ? 1000 : 50);
        const int ready = ::poll(fds, count, timeout);
        if (ready < 0 && errno != EINTR) break;

        if (abandoned() || stopSeen) {
            result.abandoned = true;
            break;
        }
        if (outIndex >= 0 && (fds[outIndex].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            if (readOnce() == Read::End) outRead.reset();
        }
        const bool exitSignalled = exitIndex >= 0 && (fds[exitIndex].revents & POLLIN) != 0;
        const bool mayHaveEnded = exitSignalled || (exitIndex < 0 && (ready == 0 || !outRead.valid()));
        if (mayHaveEnded && reap()) {
            // Whatever the child wrote before it ended is still in the pipe.
            if (outRead.valid()) {
                ::fcntl(outRead.get(), F_SETFL, O_NONBLOCK);
                for (int i = 0; i < 256 && readOnce() == Read::Data; ++i) {
                }
            }
            break;
        }
    }

    result.collectedOutput = std::move(collected);
    if (!result.abandoned) {
        result.exitCode = child.exitCode();
        result.termSignal = child.termSignal();
    }
    finish();
    return result;
}

}  // namespace vigilo
