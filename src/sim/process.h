#pragma once
// Owners for the descriptors and child processes the simulated service creates. Every child is
// started from an argument vector (no shell) and is killed and reaped by its owner, so a stopped
// service leaves no process behind.
#include <sys/types.h>
#include <chrono>
#include <string>
#include <vector>
#include "sys/unique_fd.h"

namespace vigilo::sim {

using vigilo::UniqueFd;

class ChildProcess {
public:
    struct Options {
        bool pipeStdout = false;  // stdout readable through stdoutFd(); otherwise /dev/null
        std::string stderrFile;   // appended to; empty: /dev/null
        // Dies with the thread that spawned it (through setpriv when available), so a crashed
        // service cannot leave a generator running.
        bool dieWithParent = true;
    };

    ChildProcess() = default;
    ~ChildProcess() { killAndReap(); }
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Searches PATH when argv[0] holds no slash. Returns an empty owner on failure.
    static ChildProcess spawn(const std::vector<std::string>& argv, const Options& options);
    static ChildProcess spawn(const std::vector<std::string>& argv) { return spawn(argv, Options{}); }

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    int stdoutFd() const { return stdout_.get(); }
    UniqueFd takeStdout() { return std::move(stdout_); }

    void signal(int sig) const;
    // Reaps the child if it ends within the time; returns whether it has ended.
    bool waitExit(std::chrono::milliseconds timeout);
    // Asks politely (sig), then kills after the grace time; always reaps.
    void terminate(int sig, std::chrono::milliseconds grace);
    void killAndReap();
    int exitStatus() const { return status_; }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    UniqueFd stdout_;
};

// Whether an executable of that name can be found (PATH lookup when it has no slash).
bool findExecutable(const std::string& name, std::string* path = nullptr);

// Runs a command to its end with output discarded; false when it could not run, failed, or
// outlived the time limit (then it is killed).
bool runToEnd(const std::vector<std::string>& argv, std::chrono::milliseconds limit);

}  // namespace vigilo::sim
