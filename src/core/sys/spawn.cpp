#include "sys/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

extern char** environ;

namespace vigilo {

namespace fs = std::filesystem;

std::string findExecutable(const std::string& program) {
    const auto executableFile = [](const fs::path& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
    };
    if (program.empty()) return {};
    if (program.find('/') != std::string::npos) return executableFile(program) ? program : std::string();
    const char* pathVariable = std::getenv("PATH");
    std::string_view dirs = pathVariable ? pathVariable : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const std::size_t colon = dirs.find(':');
        std::string_view dir = dirs.substr(0, colon);
        const fs::path candidate = fs::path(dir.empty() ? "." : std::string(dir)) / program;
        if (executableFile(candidate)) return candidate.string();
        if (colon == std::string_view::npos) break;
        dirs.remove_prefix(colon + 1);
    }
    return {};
}

namespace {

// Attributes and file actions with their destroy calls tied to scope.
struct SpawnSetup {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    bool ok = false;
    SpawnSetup() {
        const bool attrOk = ::posix_spawnattr_init(&attr) == 0;
        const bool actionsOk = ::posix_spawn_file_actions_init(&actions) == 0;
        ok = attrOk && actionsOk;
    }
    ~SpawnSetup() {
        ::posix_spawnattr_destroy(&attr);
        ::posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

bool addStream(posix_spawn_file_actions_t& actions, const ChildStream& stream, int target) {
    switch (stream.kind) {
        case ChildStream::Kind::Inherit: return true;
        case ChildStream::Kind::Null:
            return ::posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                                      target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0) == 0;
        case ChildStream::Kind::Descriptor:
            return stream.fd >= 0 && ::posix_spawn_file_actions_adddup2(&actions, stream.fd, target) == 0;
        case ChildStream::Kind::AppendFile:
            return ::posix_spawn_file_actions_addopen(&actions, target, stream.file.c_str(),
                                                      O_WRONLY | O_CREAT | O_APPEND, 0644) == 0;
    }
    return false;
}

}  // namespace

Spawned spawnProcess(const SpawnRequest& request) {
    Spawned spawned;
    if (request.path.empty() || request.argv.empty()) {
        spawned.error = ENOENT;
        return spawned;
    }
    SpawnSetup setup;
    if (!setup.ok || !addStream(setup.actions, request.input, STDIN_FILENO) ||
        !addStream(setup.actions, request.output, STDOUT_FILENO) ||
        !addStream(setup.actions, request.error, STDERR_FILENO)) {
        spawned.error = ENOMEM;
        return spawned;
    }
    // Other threads' sockets and pipes must not leak into a child that may outlive us; a
    // leaked pipe end would also hide another child's end of output.
    ::posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);
    if (!request.workingDirectory.empty())
        ::posix_spawn_file_actions_addchdir_np(&setup.actions, request.workingDirectory.c_str());

    // The child starts with default handlers and an empty mask, whatever this process blocked
    // or handled. An ignored SIGPIPE stays ignored across exec unless reset here.
    sigset_t defaults, mask;
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGCHLD}) sigaddset(&defaults, s);
    if (!request.brokenPipeIgnored) sigaddset(&defaults, SIGPIPE);
    sigemptyset(&mask);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (request.ownSession) flags |= POSIX_SPAWN_SETSID;
    ::posix_spawnattr_setflags(&setup.attr, flags);
    ::posix_spawnattr_setsigdefault(&setup.attr, &defaults);
    ::posix_spawnattr_setsigmask(&setup.attr, &mask);

    std::vector<std::string> argvText = request.argv;
    std::vector<char*> argv;
    argv.reserve(argvText.size() + 1);
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int rc = ::posix_spawn(&pid, request.path.c_str(), &setup.actions, &setup.attr, argv.data(), environ);
    if (rc != 0) {
        spawned.error = rc;
        return spawned;
    }
    spawned.pid = pid;
    return spawned;
}

}  // namespace vigilo
