#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace vigilo::bench {

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

namespace {
double toSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
}  // namespace

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return toSeconds(usage);
}

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

long threadMinorFaults() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt;
}

long processMinorFaults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

long statusField(const char* field, pid_t pid) {
    const std::string path = pid == 0 ? "/proc/self/status" : "/proc/" + std::to_string(pid) + "/status";
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return 0;
    char line[256];
    const size_t length = std::strlen(field);
    long value = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
            value = std::strtol(line + length + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(file);
    return value;
}

long rssKb(pid_t pid) { return statusField("VmRSS", pid); }
long peakRssKb(pid_t pid) { return statusField("VmHWM", pid); }
long threadCount(pid_t pid) { return statusField("Threads", pid); }

namespace {
int countFds(bool socketsOnly) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return 0;
    const int own = ::dirfd(dir);
    int count = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd == own) continue;
        if (socketsOnly) {
            char target[64] = {};
            const std::string link = std::string("/proc/self/fd/") + entry->d_name;
            if (::readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
            if (std::strncmp(target, "socket:", 7) != 0) continue;
        }
        ++count;
    }
    ::closedir(dir);
    return count;
}
}  // namespace

int openFds() { return countFds(false); }
int openSockets() { return countFds(true); }

ChildProgram::~ChildProgram() {
    if (pid_ > 0) stop();
    if (in_ >= 0) ::close(in_);
    if (out_ >= 0) ::close(out_);
}

bool ChildProgram::start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
    int inPipe[2], outPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) != 0) return false;
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        ::close(inPipe[0]);
        ::close(inPipe[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);

    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    for (const auto& extra : extraEnv) {
        const std::string name = extra.substr(0, extra.find('=') + 1);
        std::erase_if(env, [&](const std::string& line) { return line.rfind(name, 0) == 0; });
        env.push_back(extra);
    }
    std::vector<char*> envp, args;
    for (auto& line : env) envp.push_back(line.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (auto& a : argCopy) args.push_back(a.data());
    args.push_back(nullptr);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    if (rc != 0) {
        ::close(inPipe[1]);
        ::close(outPipe[0]);
        std::fprintf(stderr, "bench: cannot start %s: %s\n", argv[0].c_str(), std::strerror(rc));
        return false;
    }
    pid_ = pid;
    in_ = inPipe[1];
    out_ = outPipe[0];
    return true;
}

std::optional<std::string> ChildProgram::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || out_ < 0) return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

bool ChildProgram::writeLine(const std::string& line) {
    if (in_ < 0) return false;
    const std::string text = line + "\n";
    return ::write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

int ChildProgram::stop(std::chrono::milliseconds bound) {
    if (pid_ <= 0) return 0;
    int status = 0;
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + bound;
    for (;;) {
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno != EINTR)) break;
        if (Clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return status;
}

std::string programDirectory() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : self.parent_path().string();
}

std::string makeTempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) return {};
    return pattern;
}

void removeTree(const std::string& path) {
    if (path.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void report(const std::string& bench, const std::string& figure, const std::string& value, const std::string& target,
            const std::string& verdictText) {
    std::printf("RESULT\t%s\t%s\t%s\t%s\t%s\n", bench.c_str(), figure.c_str(), value.c_str(),
                target.empty() ? "-" : target.c_str(), verdictText.c_str());
    std::fflush(stdout);
}

std::string fixed(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

std::string verdict(bool met) { return met ? "ok" : "MISS"; }

}  // namespace vigilo::bench
