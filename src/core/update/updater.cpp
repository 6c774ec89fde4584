#include "update/updater.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "app/guard.h"

extern char** environ;

namespace vigilo {

namespace fs = std::filesystem;

UpdateProgress updateProgress(std::int64_t total, std::int64_t received) {
    UpdateProgress progress;
    if (total <= 0) {
        // No size announced: the bar only shows that something happens; the label counts bytes.
        progress.bar = -1;
        progress.label = "下载进度：" + std::to_string(std::max<std::int64_t>(received, 0) / 1024) + "KB";
        return progress;
    }
    double percent = static_cast<double>(received) / static_cast<double>(total) * 100.0;
    if (!(percent >= 0)) percent = 0;  // negative or NaN
    if (percent > 100) percent = 100;  // a server that sends more than it announced
    progress.bar = static_cast<int>(std::lround(percent));
    progress.label = "下载进度：" + std::to_string(static_cast<int>(std::floor(percent))) + "%";
    return progress;
}

Updater::Updater(AppContext& ctx) : ctx_(ctx) {}

bool Updater::running() const { return running_; }

DownloadResult Updater::runUpdate(const std::string& address,
                                  const std::function<void(const UpdateProgress&)>& progress) {
    if (running_.exchange(true)) {
        DownloadResult busy;
        busy.error = "an update download is already running";
        return busy;
    }
    DownloadResult result = download(address, progress);
    running_ = false;
    return result;
}

bool Updater::startUpdate(const std::string& address, std::function<void(const UpdateProgress&)> progress,
                          std::function<void(const DownloadResult&)> finished) {
    if (running_.exchange(true)) return false;
    const bool started = ctx_.startThread([this, address, progress = std::move(progress),
                                           finished = std::move(finished)] {
        DownloadResult result = download(address, progress);
        running_ = false;
        if (finished) finished(result);
    });
    if (!started) running_ = false;
    return started;
}

DownloadResult Updater::download(const std::string& address,
                                 const std::function<void(const UpdateProgress&)>& progress) {
    const fs::path file = ctx_.paths.updateFile();
    // Always a fresh file: resuming onto what an earlier, possibly different build left
    // behind would splice two files together.
    std::error_code ec;
    fs::remove(file, ec);

    auto onChunk = [&progress](std::int64_t total, std::int64_t, std::int64_t, std::int64_t received) {
        if (progress) progress(updateProgress(total, received));
    };
    DownloadResult result = downloadFile(address, file.string(), onChunk, 0, true);

    // Only a whole 2xx answer is a build; an error page must never be run.
    if (result.code == 0 && (result.statusCode < 200 || result.statusCode > 299)) {
        result.code = -1;
        result.message = "地址失效，请进入官网下载最新版本";
        result.error = "answer status " + std::to_string(result.statusCode);
        fs::remove(file, ec);
    }
    if (result.code == 0) {
        fs::permissions(file, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                        fs::perm_options::add, ec);
        if (ec) {
            result.code = -1;
            result.message = "不能打开本地的文件!";
            result.error = "cannot make the update executable: " + ec.message();
        }
    }
    if (result.code != 0 && !result.message.empty()) {
        const MessageIcon icon = result.message == "地址失效，请进入官网下载最新版本" ? MessageIcon::Information
                                                                                      : MessageIcon::None;
        ctx_.ui.messageBox(result.message, "", icon);
    }
    return result;
}

bool Updater::launch() const {
    const std::string file = ctx_.paths.updateFile().string();
    // The new build checks for a running copy at once; this one is about to end.
    releaseSingleInstance();

    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0) return false;
    short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    // The new build starts with a clean signal state, whatever this one blocked or ignored.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, flags);

    std::string arg0 = file;
    char* argv[] = {arg0.data(), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, file.c_str(), nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    return rc == 0;
}

}  // namespace vigilo
