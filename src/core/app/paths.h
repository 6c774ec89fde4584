#pragma once
#include <filesystem>
#include <string>

namespace vigilo {

namespace fs = std::filesystem;

struct Paths {
    fs::path programDir;  // directory of the running executable
    fs::path dataDir;     // where every file is written and read

    // VIGILO_HOME; else the program's directory when writable; else $XDG_DATA_HOME/vigilo
    // (default ~/.local/share/vigilo). The data directory is created when missing.
    static Paths detect();
    static Paths forDirectory(const fs::path& dir);  // tests: both point at dir

    fs::path linkFile1() const { return dataDir / "文件1.txt"; }
    fs::path linkFile2() const { return dataDir / "文件2.txt"; }
    fs::path accountFile() const { return dataDir / "抖音账号信息.ini"; }
    fs::path downloadsDir() const { return dataDir / "下载"; }
    fs::path collectionDir() const { return dataDir / "download"; }
    fs::path playScript() const { return dataDir / "play.sh"; }
    fs::path updateFile() const { return dataDir / "vgmon"; }
    fs::path settingsFile() const { return dataDir / "settings.json"; }
    // Every activity-log line, rotated to vigilo.log.1 … vigilo.log.5.
    fs::path logFile() const { return dataDir / "vigilo.log"; }
    fs::path pendingDownloadsFile() const { return dataDir / "pending-downloads.json"; }
    fs::path seenPostsFile() const { return dataDir / "seen-posts.json"; }
    // VIGILO_FFMPEG; else ffmpeg in the program's directory; else "ffmpeg" found on PATH.
    std::string ffmpegPath() const;
};

fs::path executablePath();

// Makes the program's directory the current directory, as every run starts there.
bool enterProgramDirectory(const Paths& paths);

}  // namespace vigilo
