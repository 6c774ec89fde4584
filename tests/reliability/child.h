#pragma once
// Work run in a forked child of the test process, to be killed at a moment of the test's
// choosing or to run under limits that must not touch the test itself.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace vigilo::reliability {

// Starts `work` in a child process; the child ends with _exit(0) when the work returns, so
// nothing of the test's own state is torn down twice.
inline pid_t forkWork(const std::function<void()>& work) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        // A killed child must not leave a core file in the data directory.
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        work();
        ::_exit(0);
    }
    return pid;
}

// Kills the child with SIGKILL after `delay` and reaps it; true when the kill ended it (false:
// it had ended by itself).
inline bool killAfter(pid_t pid, std::chrono::microseconds delay) {
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// Waits for the child to end by itself; its exit status, or -1 when a signal ended it or the
// bound passed (then it is killed).
inline int waitChild(pid_t pid, std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= until) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// A pipe whose write end a child fills with text and whose read end the parent drains.
class TextPipe {
public:
    TextPipe() {
        if (::pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
    }
    ~TextPipe() {
        closeRead();
        closeWrite();
    }
    TextPipe(const TextPipe&) = delete;
    TextPipe& operator=(const TextPipe&) = delete;

    void write(const std::string& text) const {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fds_[1], text.data() + done, text.size() - done);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }
    // Parent side: closes its write end, then reads until every writer has closed theirs.
    std::string readAll() {
        closeWrite();
        std::string text;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fds_[0], buffer, sizeof buffer);
            if (n > 0) {
                text.append(buffer, static_cast<std::size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                break;
            }
        }
        return text;
    }

private:
    void closeRead() {
        if (fds_[0] >= 0) ::close(fds_[0]);
        fds_[0] = -1;
    }
    void closeWrite() {
        if (fds_[1] >= 0) ::close(fds_[1]);
        fds_[1] = -1;
    }
    int fds_[2] = {-1, -1};
};

// Holds a child until the parent has what the child needs (a simulator started after the fork,
// so that the child was forked while the parent had one thread and may start threads of its
// own), then hands it over as NUL-separated texts.
class Gate {
public:
    Gate() {
        if (::pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
    }
    ~Gate() {
        for (int& fd : fds_)
            if (fd >= 0) ::close(fd);
    }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    // Parent side.
    void open(const std::vector<std::string>& texts) {
        for (const std::string& text : texts) {
            const std::string field = text + '\0';
            if (::write(fds_[1], field.data(), field.size()) != static_cast<ssize_t>(field.size())) break;
        }
        ::close(fds_[1]);
        fds_[1] = -1;
    }
    // Child side: the texts, or none when the parent gave up.
    std::vector<std::string> wait() {
        ::close(fds_[1]);
        fds_[1] = -1;
        std::string bytes;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fds_[0], buffer, sizeof buffer);
            if (n > 0) {
                bytes.append(buffer, static_cast<std::size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                break;
            }
        }
        std::vector<std::string> texts;
        std::size_t from = 0;
        for (std::size_t end; (end = bytes.find('\0', from)) != std::string::npos; from = end + 1)
            texts.push_back(bytes.substr(from, end - from));
        return texts;
    }

private:
    int fds_[2] = {-1, -1};
};

}  // namespace vigilo::reliability
