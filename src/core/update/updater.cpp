#include "update/updater.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include "app/guard.h"
#include "net/exchange.h"
#include "sys/stop.h"
#include "sys/unique_fd.h"
#include "text/strings.h"

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

namespace {

// The first bytes of a file; fewer when it is shorter, nothing when it cannot be read.
std::string fileHead(const fs::path& path, std::size_t size) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string head(size, '\0');
    std::size_t got = 0;
    while (fd && got < size) {
        const ssize_t n = ::read(fd.get(), head.data() + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    head.resize(got);
    return head;
}

// Class, byte order and machine of the program that runs now, read from its own file.
struct ElfKind {
    unsigned char elfClass = 0, data = 0;
    std::uint16_t machine = 0;
};

std::optional<ElfKind> elfKind(std::string_view head) {
    if (head.size() < sizeof(Elf32_Ehdr) || std::memcmp(head.data(), ELFMAG, SELFMAG) != 0) return std::nullopt;
    ElfKind kind;
    kind.elfClass = static_cast<unsigned char>(head[EI_CLASS]);
    kind.data = static_cast<unsigned char>(head[EI_DATA]);
    if (kind.elfClass != ELFCLASS32 && kind.elfClass != ELFCLASS64) return std::nullopt;
    if (kind.data != ELFDATA2LSB && kind.data != ELFDATA2MSB) return std::nullopt;
    // e_type and e_machine sit at the same offsets in both classes.
    const auto half = [&](std::size_t at) {
        const auto a = static_cast<unsigned char>(head[at]), b = static_cast<unsigned char>(head[at + 1]);
        return static_cast<std::uint16_t>(kind.data == ELFDATA2LSB ? a | (b << 8) : (a << 8) | b);
    };
    const std::uint16_t type = half(offsetof(Elf32_Ehdr, e_type));
    if (type != ET_EXEC && type != ET_DYN) return std::nullopt;
    kind.machine = half(offsetof(Elf32_Ehdr, e_machine));
    return kind;
}

const std::optional<ElfKind>& ownKind() {
    static const std::optional<ElfKind> kind = elfKind(fileHead("/proc/self/exe", sizeof(Elf64_Ehdr)));
    return kind;
}

}  // namespace

bool runnableHere(std::string_view head) {
    if (startsWith(head, "#!")) return true;
    const auto kind = elfKind(head);
    const auto& own = ownKind();
    return kind && own && kind->elfClass == own->elfClass && kind->data == own->data && kind->machine == own->machine;
}

std::string updateFailureText(const DownloadResult& result) {
    if (result.error.empty() || isUpdateRefusal(result.message)) return result.message;
    return result.message + "\n原因：" + result.error;
}

Updater::Updater(AppContext& ctx, ProgramStarter starter, std::int64_t maxBytes)
    : ctx_(ctx), starter_(std::move(starter)), maxBytes_(maxBytes) {}

Updater::~Updater() {
    thread_.request_stop();
    if (thread_.joinable()) thread_.join();
}

bool Updater::running() const { return running_; }

DownloadResult Updater::runUpdate(const std::string& address,
                                  const std::function<void(const UpdateProgress&)>& progress) {
    if (running_.exchange(true)) {
        DownloadResult busy;
        busy.error = "an update download is already running";
        return busy;
    }
    DownloadResult result = download(address, progress, true);
    running_ = false;
    return result;
}

bool Updater::startUpdate(const std::string& address, std::function<void(const UpdateProgress&)> progress,
                          std::function<void(const DownloadResult&)> finished) {
    if (running_.exchange(true)) return false;
    // The previous download has ended (running_ was clear); its thread is at most returning.
    if (thread_.joinable()) thread_.join();
    try {
        thread_ = std::jthread(
            [this, address, progress = std::move(progress), finished = std::move(finished)](std::stop_token stop) {
                const ScopedStopToken scope(stop);
                DownloadResult result;
                try {
                    result = download(address, progress, false);
                } catch (const std::exception& e) {
                    result.code = -1;
                    result.error = std::string("the update download failed: ") + e.what();
                    ctx_.appendLog("更新失败：" + result.error);
                }
                running_ = false;
                if (finished) finished(result);
            });
    } catch (const std::system_error&) {
        running_ = false;
        return false;
    }
    return true;
}

void Updater::tellFailure(const DownloadResult& result) const {
    if (result.code == 0 || result.message.empty()) return;
    ctx_.appendLog("更新失败：" + result.message + (result.error.empty() ? "" : "（" + result.error + "）"));
    const MessageIcon icon =
        result.message == "地址失效，请进入官网下载最新版本" ? MessageIcon::Information : MessageIcon::None;
    ctx_.ui.messageBox(updateFailureText(result), "", icon);
}

DownloadResult Updater::download(const std::string& address, const std::function<void(const UpdateProgress&)>& progress,
                                 bool tell) {
    const fs::path file = ctx_.paths.updateFile();
    // The answer lands beside the update file and takes its name only once it has passed every
    // check, so a refused answer is never found there, let alone run.
    const fs::path incoming = file.string() + ".download";
    DownloadResult result;
    auto refuse = [&](std::string_view message, std::string why) {
        result.code = -1;
        result.message = std::string(message);
        result.error = std::move(why);
    };

    // Always a fresh file: resuming onto what an earlier, possibly different build left
    // behind would splice two files together.
    std::error_code ec;
    fs::remove(file, ec);
    fs::remove(incoming, ec);

    // Whoever answers a plain-http address (any network on the way) would choose what runs.
    const bool insecure = net::currentNetConfig().insecureTls;
    if (!insecure && !startsWith(toLowerAscii(trimBlanks(address)), "https://")) {
        refuse(kUpdateNotHttps, "the update address is not https");
    } else {
        auto onChunk = [&progress](std::int64_t total, std::int64_t, std::int64_t, std::int64_t received) {
            if (progress) progress(updateProgress(total, received));
        };
        DownloadLimits limits;
        limits.maxBytes = maxBytes_;
        limits.httpsOnly = !insecure;
        result = downloadFile(address, incoming.string(), onChunk, 0, true, limits);
        if (result.code != 0 && result.tooLarge) result.message = std::string(kUpdateTooLarge);
    }

    // An updater that is going away leaves no build behind, however far the bytes came.
    if (result.code == 0 && stopRequested()) refuse("", "the update download was stopped");
    // Only a whole 2xx answer is a build; an error page must never be run.
    if (result.code == 0 && (result.statusCode < 200 || result.statusCode > 299)) {
        refuse("地址失效，请进入官网下载最新版本", "answer status " + std::to_string(result.statusCode));
    }
    if (result.code == 0) {
        const std::string head = fileHead(incoming, sizeof(Elf64_Ehdr));
        if (head.empty()) {
            refuse(kUpdateEmpty, "the answer was empty");
        } else if (!runnableHere(head)) {
            refuse(kUpdateNotProgram, "the answer is not a program for this machine");
        }
    }
    if (result.code == 0) {
        fs::permissions(incoming, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                        fs::perm_options::add, ec);
        if (!ec) fs::rename(incoming, file, ec);
        if (ec) refuse("不能打开本地的文件!", "cannot put the update in place: " + ec.message());
    }
    if (result.code != 0) {
        fs::remove(incoming, ec);
        if (stopRequested()) {
            // The program is closing: nobody is left to tell, and the address is not at fault.
            result.message.clear();
            result.error = "the update download was stopped";
        } else if (tell) {
            tellFailure(result);
        }
    }
    return result;
}

bool Updater::launch(std::string* why) const {
    const std::string file = ctx_.paths.updateFile().string();
    // The new build checks for a running copy at once; this one is about to end.
    releaseSingleInstance();
    std::string reason = "no way to start a program";
    const bool started = starter_ && starter_(file, &reason);
    if (!started) {
        // This copy runs on, and stays the one copy that runs.
        holdSingleInstance();
        if (why != nullptr) *why = reason;
    }
    return started;
}

}  // namespace vigilo
