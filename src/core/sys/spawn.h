#pragma once
// The one way this program starts another: posix_spawn from an argument vector (no shell),
// with the child's standard streams, directory, session and signal state set here and nowhere
// else. Recorders, players, the updater's new build and the simulated service's helpers all
// come through it. The SIGPIPE policy is in sys/signals.h.
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sys/signals.h"

namespace vigilo {

// The full path of an executable: a name with a "/" as it is, else the first match on PATH.
// Empty when there is no such executable file.
std::string findExecutable(const std::string& program);

struct ChildStream {
    enum class Kind { Null, Inherit, Descriptor, AppendFile };
    Kind kind = Kind::Null;
    int fd = -1;       // Descriptor: dup'ed onto the stream
    std::string file;  // AppendFile: created when missing

    static ChildStream null() { return {}; }
    static ChildStream inherit() { return {Kind::Inherit, -1, {}}; }
    static ChildStream descriptor(int fd) { return {Kind::Descriptor, fd, {}}; }
    static ChildStream appendTo(std::string file) { return {Kind::AppendFile, -1, std::move(file)}; }
};

struct SpawnRequest {
    std::string path;               // the executable, as findExecutable gives it
    std::vector<std::string> argv;  // argv[0] included
    ChildStream input, output, error;
    std::filesystem::path workingDirectory;  // empty: ours
    // setsid: no terminal signal reaches the child, and it outlives us.
    bool ownSession = false;
    // The child starts with SIGPIPE ignored (it survives the loss of its output's reader);
    // otherwise with the default, like every other signal.
    bool brokenPipeIgnored = false;
};

struct Spawned {
    pid_t pid = -1;
    int error = 0;  // errno value when nothing started
    bool ok() const { return pid > 0; }
};

// Descriptors other than the three streams never reach the child.
Spawned spawnProcess(const SpawnRequest& request);

}  // namespace vigilo
