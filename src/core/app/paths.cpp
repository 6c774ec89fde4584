#include "app/paths.h"

#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace vigilo {

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

bool writableDirectory(const fs::path& dir) {
    std::error_code ec;
    return !dir.empty() && fs::is_directory(dir, ec) && ::access(dir.c_str(), W_OK | X_OK) == 0;
}

// An installed program lives in a system folder that root can write to; its data still
// belongs in the user's data directory, never beside /usr/bin/vigilo.
bool systemInstallDirectory(const fs::path& dir) {
    for (const char* prefix : {"/usr/", "/bin/", "/sbin/", "/opt/", "/snap/"}) {
        if ((dir.string() + "/").rfind(prefix, 0) == 0) return true;
    }
    return false;
}

}  // namespace

fs::path executablePath() {
    std::error_code ec;
    fs::path path = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return path;
}

Paths Paths::detect() {
    Paths paths;
    fs::path exe = executablePath();
    std::error_code ec;
    paths.programDir = exe.empty() ? fs::current_path(ec) : exe.parent_path();

    const std::string home = environment("VIGILO_HOME");
    if (!home.empty()) {
        paths.dataDir = fs::absolute(fs::path(home), ec);
        if (ec) paths.dataDir = home;
    } else if (writableDirectory(paths.programDir) && !systemInstallDirectory(paths.programDir)) {
        paths.dataDir = paths.programDir;
    } else {
        // XDG asks that relative values be ignored.
        fs::path base = environment("XDG_DATA_HOME");
        if (base.empty() || base.is_relative()) {
            const std::string userHome = environment("HOME");
            base = userHome.empty() ? fs::temp_directory_path(ec) : fs::path(userHome) / ".local" / "share";
        }
        paths.dataDir = base / "vigilo";
    }
    fs::create_directories(paths.dataDir, ec);
    return paths;
}

Paths Paths::forDirectory(const fs::path& dir) {
    Paths paths;
    paths.programDir = dir;
    paths.dataDir = dir;
    return paths;
}

std::string Paths::ffmpegPath() const {
    const std::string configured = environment("VIGILO_FFMPEG");
    if (!configured.empty()) return configured;
    const fs::path beside = programDir / "ffmpeg";
    std::error_code ec;
    if (fs::is_regular_file(beside, ec) && ::access(beside.c_str(), X_OK) == 0) return beside.string();
    return "ffmpeg";
}

bool enterProgramDirectory(const Paths& paths) {
    if (paths.programDir.empty()) return false;
    return ::chdir(paths.programDir.c_str()) == 0;
}

}  // namespace vigilo
