#pragma once
// Shared pieces of the reliability tests: what the process holds (threads, descriptors, heap),
// waiting with a bound, a recorder that only notes its arguments, and service fixtures.
#include <dirent.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/simulator.h"
#include "support/fixtures.h"
#include "support/testdir.h"

#if defined(__SANITIZE_ADDRESS__)
#define VIGILO_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VIGILO_TEST_ASAN 1
#endif
#endif
#ifdef VIGILO_TEST_ASAN
// From the sanitizer runtime (GCC ships no header for it): bytes allocated and not yet freed.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace vigilo::reliability {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const auto until = Clock::now() + bound;
    while (!done()) {
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

inline long long millisSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Threads started while the calling thread carries this name inherit it; the simulator is
// started under it so that its threads can be told apart from the program's.
inline constexpr const char* kSimThreadName = "vigilo-sim";

// Starts the simulator so that every thread it ever makes carries kSimThreadName.
inline bool startNamedSimulator(sim::Simulator& sim) {
    char own[32] = {};
    pthread_getname_np(pthread_self(), own, sizeof own);
    pthread_setname_np(pthread_self(), kSimThreadName);
    const bool started = sim.start();
    pthread_setname_np(pthread_self(), own);
    return started;
}

// What the program holds at one moment. The simulator runs in the same process, so its
// threads and its end of each connection are left out.
struct Resources {
    int threads = 0;            // threads that are not the simulator's
    int files = 0;              // descriptors other than TCP sockets of the simulator's port
    int simConnections = 0;     // the program's own connections to the simulator
    std::size_t heapBytes = 0;  // bytes allocated and not freed
};

inline std::size_t heapInUse() {
#ifdef VIGILO_TEST_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// inode -> (local port, remote port) of every TCP socket of the machine.
inline std::map<std::string, std::pair<int, int>> tcpSockets() {
    std::map<std::string, std::pair<int, int>> sockets;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // titles
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
                  inode))
                continue;
            const auto port = [](const std::string& address) {
                const auto colon = address.rfind(':');
                return colon == std::string::npos
                           ? -1
                           : static_cast<int>(std::stoul(address.substr(colon + 1), nullptr, 16));
            };
            sockets[inode] = {port(local), port(remote)};
        }
    }
    return sockets;
}

inline Resources measureResources(int simPort) {
    Resources r;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks)) {
            if (entry->d_name[0] == '.') continue;
            std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
            std::string name;
            std::getline(comm, name);
            if (name != kSimThreadName) ++r.threads;
        }
        ::closedir(tasks);
    }
    const auto sockets = tcpSockets();
    if (DIR* fds = ::opendir("/proc/self/fd")) {
        const int own = ::dirfd(fds);
        while (const dirent* entry = ::readdir(fds)) {
            if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) continue;
            char target[256] = {};
            const std::string link = std::string("/proc/self/fd/") + entry->d_name;
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            const std::string text(target, n > 0 ? static_cast<std::size_t>(n) : 0);
            if (text.rfind("socket:[", 0) == 0) {
                const auto it = sockets.find(text.substr(8, text.size() - 9));
                if (it != sockets.end() && it->second.first == simPort) continue;  // the simulator's end
                if (it != sockets.end() && it->second.second == simPort) {
                    ++r.simConnections;
                    continue;
                }
            }
            ++r.files;
        }
        ::closedir(fds);
    }
    r.heapBytes = heapInUse();
    return r;
}

inline std::string describe(const Resources& r) {
    return std::to_string(r.threads) + " threads, " + std::to_string(r.files) + " descriptors, " +
           std::to_string(r.simConnections) + " connections, " + std::to_string(r.heapBytes / 1024) + " KiB heap";
}

// Idle connections the HTTP layer may keep per kept handle; kept connections are no leak.
inline constexpr int kKeptConnections = 3;
// Heap that may stay after a fault: the simulator's canned bodies are built once, logs grow.
inline constexpr std::size_t kHeapSlack = std::size_t{8} << 20;

// Whether the program is back to what it held before: no more threads, no more descriptors,
// at most the kept connections and a little heap more.
inline bool backTo(const Resources& before, int simPort, Resources* now = nullptr) {
    const Resources r = measureResources(simPort);
    if (now) *now = r;
    return r.threads <= before.threads && r.files <= before.files &&
           r.simConnections <= before.simConnections + kKeptConnections && r.heapBytes <= before.heapBytes + kHeapSlack;
}

inline std::string readBytes(const fs::path& path) { return vigilo::testing::readBytes(path); }
inline void writeBytes(const fs::path& path, const std::string& bytes) { vigilo::testing::writeBytes(path, bytes); }

// A stand-in for ffmpeg that notes its arguments (NUL-terminated, one file per run in the
// folder `calls`) and exits at once with a failure, as ffmpeg does when a stream cannot be read.
inline void writeRecorderStub(const fs::path& program, const fs::path& calls) {
    fs::create_directories(calls);
    writeBytes(program, "#!/bin/sh\nout='" + calls.string() +
                            "'/call.$$\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$out\"\nexit 1\n");
    fs::permissions(program, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
}

// The argument vectors the stub was started with.
inline std::vector<std::vector<std::string>> recorderCalls(const fs::path& calls) {
    std::vector<std::vector<std::string>> out;
    std::error_code ec;
    for (auto it = fs::directory_iterator(calls, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string bytes = readBytes(it->path());
        std::vector<std::string> args;
        std::string arg;
        for (char c : bytes) {
            if (c == '\0') {
                args.push_back(arg);
                arg.clear();
            } else {
                arg += c;
            }
        }
        out.push_back(args);
    }
    return out;
}

// Every regular file below `root`, relative to it, sorted.
inline std::vector<std::string> filesBelow(const fs::path& root) {
    std::vector<std::string> files;
    std::error_code ec;
    if (!fs::exists(root, ec)) return files;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_regular_file()) files.push_back(fs::relative(it->path(), root).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

using testing::makeAccount;
using testing::makeRoom;

}  // namespace vigilo::reliability
