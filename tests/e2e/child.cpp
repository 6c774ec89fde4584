#include "child.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace vigilo::e2e {

using Clock = std::chrono::steady_clock;

std::vector<std::string> childEnvironment(const std::map<std::string, std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name.rfind("VIGILO_", 0) == 0 || name == "XDG_RUNTIME_DIR" || extra.count(name)) continue;
        env.push_back(entry);
    }
    for (const auto& [name, value] : extra) env.push_back(name + "=" + value);
    return env;
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) return;
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return;
    }
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) stopPipe_[0] = stopPipe_[1] = -1;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    // The child starts with default signal handling, whatever the test runner set up.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (rc != 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        return;
    }
    pid_ = pid;
    reader_ = std::thread([this, o = outPipe[0], e = errPipe[0]] { readLoop(o, e); });
}

Child::~Child() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        waitExit(milliseconds(10000));
    }
    if (stopPipe_[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(stopPipe_[1], &byte, 1);
    }
    if (reader_.joinable()) reader_.join();
    for (int fd : stopPipe_)
        if (fd >= 0) ::close(fd);
}

void Child::readLoop(int outFd, int errFd) {
    // A grandchild may keep the pipes open after the child has ended, so the loop also ends on
    // the stop pipe instead of waiting for end of file.
    pollfd fds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[2].revents) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard lock(mutex_);
                (i == 0 ? out_ : err_).append(buffer, static_cast<size_t>(n));
                changed_.notify_all();
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (int i = 0; i < 2; ++i)
        if (fds[i].fd >= 0) ::close(fds[i].fd);
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

void Child::signal(int signo) const {
    if (pid_ > 0 && !status_) ::kill(pid_, signo);
}

std::optional<int> Child::waitExit(milliseconds bound) {
    if (pid_ <= 0) return std::nullopt;
    const auto end = Clock::now() + bound;
    while (!status_) {
        int raw = 0;
        const pid_t r = ::waitpid(pid_, &raw, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        if (r < 0 && errno != EINTR) break;
        if (Clock::now() >= end) break;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return status_;
}

std::string Child::out() const {
    std::lock_guard lock(mutex_);
    return out_;
}

std::string Child::err() const {
    std::lock_guard lock(mutex_);
    return err_;
}

bool Child::waitOutputClosed(milliseconds bound) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return closed_; });
}

bool Child::waitOut(const std::string& needle, milliseconds bound) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return out_.find(needle) != std::string::npos; });
}

RunResult runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& env, milliseconds bound) {
    RunResult result;
    Child child(argv, env);
    result.status = child.waitExit(bound);
    child.waitOutputClosed(milliseconds(2000));
    result.out = child.out();
    result.err = child.err();
    return result;
}

bool waitUntil(const std::function<bool()>& condition, milliseconds bound) {
    const auto end = Clock::now() + bound;
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(milliseconds(50));
    }
}

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

std::optional<double> probeDuration(const fs::path& file) {
    const RunResult r = runToEnd({"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                                  "default=noprint_wrappers=1:nokey=1", file.string()},
                                 childEnvironment({}), milliseconds(20000));
    if (r.status != 0) return std::nullopt;
    char* end = nullptr;
    const double seconds = std::strtod(r.out.c_str(), &end);
    if (end == r.out.c_str()) return std::nullopt;
    return seconds;
}

}  // namespace vigilo::e2e
