#include "sim/process.h"

#include "sys/spawn.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <thread>

namespace vigilo::sim {

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), status_(other.status_), stdout_(std::move(other.stdout_)) {
    other.pid_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        killAndReap();
        pid_ = other.pid_;
        status_ = other.status_;
        stdout_ = std::move(other.stdout_);
        other.pid_ = -1;
    }
    return *this;
}

bool findExecutable(const std::string& name, std::string* path) {
    const std::string found = vigilo::findExecutable(name);
    if (found.empty()) return false;
    if (path) *path = found;
    return true;
}

namespace {

const std::string& setprivPath() {
    static std::once_flag once;
    static std::string path;
    std::call_once(once, [] {
        std::string found;
        if (findExecutable("setpriv", &found)) path = found;
    });
    return path;
}

}  // namespace

ChildProcess ChildProcess::spawn(const std::vector<std::string>& argv, const Options& options) {
    ChildProcess child;
    if (argv.empty()) return child;

    std::vector<std::string> full;
    if (options.dieWithParent && !setprivPath().empty()) {
        full = {setprivPath(), "--pdeathsig", "KILL", "--"};
    }
    full.insert(full.end(), argv.begin(), argv.end());
    vigilo::SpawnRequest request;
    request.path = vigilo::findExecutable(full[0]);
    request.argv = std::move(full);

    UniqueFd readEnd, writeEnd;
    if (options.pipeStdout) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return child;
        readEnd.reset(fds[0]);
        writeEnd.reset(fds[1]);
    }
    request.output = options.pipeStdout ? vigilo::ChildStream::descriptor(writeEnd.get()) : vigilo::ChildStream::null();
    request.error =
        options.stderrFile.empty() ? vigilo::ChildStream::null() : vigilo::ChildStream::appendTo(options.stderrFile);

    const vigilo::Spawned spawned = vigilo::spawnProcess(request);
    if (!spawned.ok()) return child;
    child.pid_ = spawned.pid;
    child.stdout_ = std::move(readEnd);
    return child;
}

void ChildProcess::signal(int sig) const {
    if (pid_ > 0) ::kill(pid_, sig);
}

bool ChildProcess::waitExit(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return true;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno == ECHILD)) {
            status_ = status;
            pid_ = -1;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void ChildProcess::terminate(int sig, std::chrono::milliseconds grace) {
    if (pid_ <= 0) return;
    signal(sig);
    if (!waitExit(grace)) killAndReap();
}

void ChildProcess::killAndReap() {
    stdout_.reset();
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = status;
    pid_ = -1;
}

bool runToEnd(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    ChildProcess child = ChildProcess::spawn(argv);
    if (!child.running()) return false;
    if (!child.waitExit(limit)) {
        child.killAndReap();
        return false;
    }
    int status = child.exitStatus();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace vigilo::sim
