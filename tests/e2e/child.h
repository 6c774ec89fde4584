#pragma once
// Runs a program as a child with captured output, for tests that drive the real binaries.
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vigilo::e2e {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// The test's own environment without the program's variables, with `extra` on top.
std::vector<std::string> childEnvironment(const std::map<std::string, std::string>& extra);

class Child {
public:
    // Starts argv[0] (a path, or a name looked up in PATH) with the environment given.
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env);
    ~Child();  // kills the child if it still runs
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void signal(int signo) const;
    // The exit status (128 + signal number when a signal ended it), or nullopt when the bound
    // passed first.
    std::optional<int> waitExit(milliseconds bound);
    std::optional<int> exitStatus() const { return status_; }

    std::string out() const;
    std::string err() const;
    // Waits until the standard output contains `needle`.
    bool waitOut(const std::string& needle, milliseconds bound) const;
    // Waits until both output pipes have reached their end (every holder has closed them).
    bool waitOutputClosed(milliseconds bound) const;

private:
    void readLoop(int outFd, int errFd);

    pid_t pid_ = -1;
    std::optional<int> status_;
    int stopPipe_[2] = {-1, -1};
    std::thread reader_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string out_, err_;
    bool closed_ = false;
};

// Runs a program to its end (bounded) and returns its exit status and standard output.
struct RunResult {
    std::optional<int> status;
    std::string out, err;
};
RunResult runToEnd(const std::vector<std::string>& argv, const std::vector<std::string>& env, milliseconds bound);

bool waitUntil(const std::function<bool()>& condition, milliseconds bound);

// A free TCP port on 127.0.0.1 (free when asked; the caller binds it soon after).
int freePort();

// Duration in seconds that ffprobe reports for a media file; nullopt when it cannot read it.
std::optional<double> probeDuration(const fs::path& file);

}  // namespace vigilo::e2e
