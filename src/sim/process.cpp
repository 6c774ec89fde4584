#include "sim/process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

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
    auto usable = [](const std::string& candidate) {
        struct stat st {};
        return ::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0;
    };
    if (name.empty()) return false;
    if (name.find('/') != std::string::npos) {
        if (!usable(name)) return false;
        if (path) *path = name;
        return true;
    }
    const char* env = std::getenv("PATH");
    std::string dirs = env ? env : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (dir.empty()) dir = ".";
        std::string candidate = dir + "/" + name;
        if (usable(candidate)) {
            if (path) *path = candidate;
            return true;
        }
        start = end + 1;
    }
    return false;
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

struct FileActions {
    posix_spawn_file_actions_t actions{};
    FileActions() { posix_spawn_file_actions_init(&actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
};

}  // namespace

ChildProcess ChildProcess::spawn(const std::vector<std::string>& argv, const Options& options) {
    ChildProcess child;
    if (argv.empty()) return child;

    std::vector<std::string> full;
    if (options.dieWithParent && !setprivPath().empty()) {
        full = {setprivPath(), "--pdeathsig", "KILL", "--"};
    }
    full.insert(full.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    args.reserve(full.size() + 1);
    for (auto& a : full) args.push_back(a.data());
    args.push_back(nullptr);

    UniqueFd readEnd, writeEnd;
    if (options.pipeStdout) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return child;
        readEnd.reset(fds[0]);
        writeEnd.reset(fds[1]);
    }

    FileActions fa;
    posix_spawn_file_actions_addopen(&fa.actions, 0, "/dev/null", O_RDONLY, 0);
    if (options.pipeStdout) {
        posix_spawn_file_actions_adddup2(&fa.actions, writeEnd.get(), 1);
    } else {
        posix_spawn_file_actions_addopen(&fa.actions, 1, "/dev/null", O_WRONLY, 0);
    }
    if (options.stderrFile.empty()) {
        posix_spawn_file_actions_addopen(&fa.actions, 2, "/dev/null", O_WRONLY, 0);
    } else {
        posix_spawn_file_actions_addopen(&fa.actions, 2, options.stderrFile.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
    }
    // Nothing of ours (client sockets, other children's pipes) may leak into the child.
    posix_spawn_file_actions_addclosefrom_np(&fa.actions, 3);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, args[0], &fa.actions, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return child;
    child.pid_ = pid;
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
