#pragma once
// What every benchmark program needs: the process's own resource figures, child programs on
// pipes, and result lines that scripts/bench gathers into one table.
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vigilo::bench {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start);

// CPU seconds (user + system) of the whole process, of the calling thread.
double processCpuSeconds();
double threadCpuSeconds();
// Minor page faults so far: pages the kernel had to map (and zero) on first touch. A heap that
// is trimmed and grown again on every answer shows here, whatever the machine's load.
long threadMinorFaults();
long processMinorFaults();

// Figures from /proc/<pid>/status (0 when unreadable); pid 0 is this process.
long statusField(const char* field, pid_t pid = 0);  // "VmRSS", "VmHWM" in kB, "Threads"
long rssKb(pid_t pid = 0);
long peakRssKb(pid_t pid = 0);
long threadCount(pid_t pid = 0);
// Open descriptors of this process, and how many of them are sockets.
int openFds();
int openSockets();

// A program started with its standard input and output on pipes; standard error is inherited.
class ChildProgram {
public:
    ChildProgram() = default;
    ~ChildProgram();
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    bool start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});
    // The next line of its output without the line end; nullopt on end of output or time-out.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    bool writeLine(const std::string& line);
    // SIGTERM, then SIGKILL after the bound; returns the wait status.
    int stop(std::chrono::milliseconds bound = std::chrono::milliseconds(5000));
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string pending_;
};

// The directory of the running executable, where the helper programs are built.
std::string programDirectory();

// A fresh directory under the system's temporary directory; removed by removeTree.
std::string makeTempDir(const std::string& prefix);
void removeTree(const std::string& path);

// One result row: benchmark, figure, value, target and verdict ("ok", "MISS" or "-").
void report(const std::string& bench, const std::string& figure, const std::string& value,
            const std::string& target = "", const std::string& verdict = "-");
std::string fixed(double value, int decimals);
std::string verdict(bool met);

}  // namespace vigilo::bench
