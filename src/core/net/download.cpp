// Downloads that stream to disk: the update file and the videos. Bytes go to a temporary file
// beside the target, which replaces the target only when the whole answer arrived.
#include "net/download.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>

#include "net/exchange.h"
#include "net/videocheck.h"
#include "sys/file_size_signal.h"
#include "sys/unique_fd.h"
#include "text/strings.h"

namespace vigilo {

namespace {

constexpr std::size_t kChunk = 10240;

constexpr std::string_view kMsgInternet = "Internet连接错误!";
constexpr std::string_view kMsgAddress = "地址失效，请进入官网下载最新版本";
constexpr std::string_view kMsgLocalFile = "不能打开本地的文件!";
constexpr std::string_view kMsgRead = "读文件出错!";
constexpr std::string_view kMsgTooLarge = "文件超过允许的大小!";

std::string errnoText(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

constexpr std::string_view kPartPrefix = ".vigilo-";
constexpr std::string_view kPartSuffix = ".part";

// The temporary files this process has open, so that an exit that does not wait for its
// downloads still takes them away. Never destroyed: the exit handler runs after statics go.
struct OpenParts {
    std::mutex mutex;
    std::set<std::string> paths;
};

OpenParts& openParts() {
    static OpenParts* parts = [] {
        auto* p = new OpenParts;
        std::atexit([] { removeOpenPartFiles(); });
        return p;
    }();
    return *parts;
}

void registerPart(const std::string& path) {
    OpenParts& parts = openParts();
    std::lock_guard lock(parts.mutex);
    parts.paths.insert(path);
}

void unregisterPart(const std::string& path) {
    OpenParts& parts = openParts();
    std::lock_guard lock(parts.mutex);
    parts.paths.erase(path);
}

// The temporary file beside the target. It is removed unless it was moved into place.
class TempFile {
public:
    TempFile() = default;
    ~TempFile() { discard(); }
    TempFile(TempFile&& other) noexcept : path_(std::move(other.path_)), fd_(std::move(other.fd_)) {
        other.path_.clear();
    }
    TempFile& operator=(TempFile&&) = delete;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // A short hidden name, so a target name near the length limit still leaves room.
    bool create(const std::string& target, std::string* why) {
        static std::atomic<unsigned> counter{0};
        const std::filesystem::path folder = std::filesystem::path(target).parent_path();
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string name = std::string(kPartPrefix) + std::to_string(::getpid()) + "-" +
                                     std::to_string(counter.fetch_add(1)) + std::string(kPartSuffix);
            const std::string path = (folder / name).string();
            // Registered before it exists, so no exit can come between and leave it behind.
            registerPart(path);
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                path_ = path;
                fd_ = UniqueFd(fd);
                return true;
            }
            const int error = errno;
            unregisterPart(path);
            errno = error;
            if (errno != EEXIST) {
                *why = errnoText("creating the temporary file failed", errno);
                return false;
            }
        }
        *why = "no free temporary file name";
        return false;
    }

    bool open() const { return static_cast<bool>(fd_); }

    bool write(const char* data, std::size_t size, std::string* why) {
        while (size > 0) {
            const ssize_t written = ::write(fd_.get(), data, size);
            if (written < 0) {
                if (errno == EINTR) continue;
                *why = errnoText("writing the local file failed", errno);
                return false;
            }
            data += written;
            size -= static_cast<std::size_t>(written);
        }
        return true;
    }

    // Copies the first `count` bytes of `source` into the file.
    bool copyPrefix(const std::string& source, std::int64_t count, std::string* why) {
        UniqueFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
        if (!in) {
            *why = errnoText("opening the partial file failed", errno);
            return false;
        }
        struct stat info {};
        if (::fstat(in.get(), &info) != 0 || info.st_size < count) {
            *why = "the partial file is shorter than the resume offset";
            return false;
        }
        char buffer[kChunk];
        while (count > 0) {
            const ssize_t got =
                ::read(in.get(), buffer, static_cast<std::size_t>(std::min<std::int64_t>(count, kChunk)));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                *why = errnoText("reading the partial file failed", errno);
                return false;
            }
            if (!write(buffer, static_cast<std::size_t>(got), why)) return false;
            count -= got;
        }
        return true;
    }

    // Flushes, closes and renames over the target.
    bool commit(const std::string& target, std::string* why) {
        if (::fsync(fd_.get()) != 0) {
            *why = errnoText("flushing the local file failed", errno);
            return false;
        }
        if (!fd_.closeChecked()) {
            *why = errnoText("closing the local file failed", errno);
            return false;
        }
        if (::rename(path_.c_str(), target.c_str()) != 0) {
            *why = errnoText("moving the file into place failed", errno);
            return false;
        }
        unregisterPart(path_);
        path_.clear();
        return true;
    }

    void discard() {
        fd_.reset();
        if (!path_.empty()) {
            ::unlink(path_.c_str());
            unregisterPart(path_);
        }
        path_.clear();
    }

    // Free bytes for unprivileged writers on the file's file system; -1 when unknown.
    std::int64_t freeBytes() const {
        struct statvfs info {};
        if (!fd_ || ::fstatvfs(fd_.get(), &info) != 0) return -1;
        return static_cast<std::int64_t>(info.f_bavail) * static_cast<std::int64_t>(info.f_frsize);
    }

private:
    std::string path_;
    UniqueFd fd_;
};

bool success(long status) { return status >= 200 && status <= 299; }

// A video that comes slower than this over the whole stall time is given up: at that rate a
// server that drips bytes would hold the download thread for days.
constexpr long kMinVideoBytesPerSecond = 1024;

constexpr std::int64_t kSpaceCheckBytes = std::int64_t{8} << 20;

// A temporary file name of ours, and the process it belongs to.
bool partFileOwner(const std::string& name, pid_t& pid) {
    if (!startsWith(name, kPartPrefix) || !endsWith(name, kPartSuffix)) return false;
    const std::string_view middle =
        std::string_view(name).substr(kPartPrefix.size(), name.size() - kPartPrefix.size() - kPartSuffix.size());
    const auto dash = middle.find('-');
    if (dash == std::string_view::npos || dash == 0 || dash > 10) return false;
    long long value = 0;
    for (char c : middle.substr(0, dash)) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    const std::string_view counter = middle.substr(dash + 1);
    if (counter.empty() || counter.find_first_not_of("0123456789") != std::string_view::npos) return false;
    if (value <= 0 || value > 0x7FFFFFFF) return false;
    pid = static_cast<pid_t>(value);
    return true;
}

bool processGone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

}  // namespace

DownloadResult downloadFile(const std::string& url, const std::string& localFile, const ProgressCallback& progress,
                            std::int64_t startOffset, bool resume, const DownloadLimits& limits) {
    DownloadResult result;
    auto failWith = [&](std::string_view message, std::string why) {
        result.code = -1;
        result.message = std::string(message);
        result.error = std::move(why);
        return result;
    };

    std::string why;
    const auto checked = net::checkedUrl(url, false, &why);
    if (!checked) return failWith(kMsgAddress, why);
    ignoreFileSizeSignal();

    const std::int64_t requestedOffset = resume && startOffset > 0 ? startOffset : 0;
    net::ExchangeRequest request;
    request.url = *checked;
    request.connectTimeoutSeconds = net::currentNetConfig().connectSeconds;
    request.stallSeconds = net::currentNetConfig().stallSeconds;
    // No Accept-Encoding: a small compressed answer could decode into any size on disk, and a
    // coding the server sends anyway is written as it came.
    request.httpsOnly = limits.httpsOnly;
    request.headers = {
        {"Accept", "*/*"},
        {"Accept-Language", "zh-cn"},
        {"User-Agent", "Mozilla/4.0(compatible; MSIE 6.0; Windows NT 5.0; MyIE2; .NET CLR 1.1.4322)"},
        {"Pragma", "no-cache"},
    };
    // From the first byte the range is the whole file, and some servers refuse "bytes=0-" for
    // an empty one; it is only asked for when it changes something.
    if (requestedOffset > 0) request.headers.push_back({"Range", "bytes=" + std::to_string(requestedOffset) + "-"});

    TempFile temp;
    std::string_view message;  // set by the callbacks when they stop the transfer
    std::int64_t total = 0;
    std::int64_t position = 0;
    std::int64_t offset = 0;
    auto started = std::chrono::steady_clock::now();

    request.onFinalHeaders = [&](long status, std::int64_t contentLength, bool encoded) {
        result.statusCode = static_cast<int>(status);
        if (!success(status)) {
            message = kMsgAddress;
            why = "the server answered " + std::to_string(status);
            return false;
        }
        if (limits.maxBytes > 0 && contentLength > limits.maxBytes) {
            result.tooLarge = true;
            message = kMsgTooLarge;
            why = "the answer announces " + std::to_string(contentLength) + " bytes";
            return false;
        }
        // A server that ignores the range sends the whole file: start again from its first byte.
        offset = status == 206 ? requestedOffset : 0;
        if (!temp.create(localFile, &why) || (offset > 0 && !temp.copyPrefix(localFile, offset, &why))) {
            message = kMsgLocalFile;
            return false;
        }
        // Decoded bytes would not add up to an encoded length.
        total = contentLength >= 0 && !encoded ? contentLength : 0;
        position = offset;
        started = std::chrono::steady_clock::now();
        return true;
    };
    request.sink = [&](const char* data, std::size_t size) {
        if (limits.maxBytes > 0 && position - offset + static_cast<std::int64_t>(size) > limits.maxBytes) {
            result.tooLarge = true;
            message = kMsgTooLarge;
            why = "the answer grew past " + std::to_string(limits.maxBytes) + " bytes";
            return false;
        }
        while (size > 0) {
            const std::size_t piece = std::min(size, kChunk);
            if (!temp.write(data, piece, &why)) {
                message = kMsgRead;
                return false;
            }
            data += piece;
            size -= piece;
            position += static_cast<std::int64_t>(piece);
            std::int64_t elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
                    .count();
            if (elapsed == 0) elapsed = 10;
            if (progress) progress(total, position, elapsed, position - offset);
        }
        return true;
    };

    const net::ExchangeOutcome outcome = net::performExchange(request);
    if (!outcome.ok()) {
        const bool bodyStarted = temp.open();
        temp.discard();
        if (!message.empty()) return failWith(message, why);
        if (outcome.failedStage == net::Stage::Url) return failWith(kMsgAddress, outcome.error);
        if (outcome.failedStage != net::Stage::Transfer) return failWith(kMsgInternet, outcome.error);
        // Before a usable answer the address did not work; after one, the body broke off.
        return failWith(bodyStarted ? kMsgRead : kMsgAddress, outcome.error);
    }
    if (!temp.open() && !temp.create(localFile, &why)) return failWith(kMsgLocalFile, why);
    if (!temp.commit(localFile, &why)) return failWith(kMsgLocalFile, why);
    result.code = 0;
    return result;
}

FileDownload plainDownloadToFile(const std::string& url, const std::string& localFile, const VideoDeadline& deadline,
                                 FileKind kind) {
    FileDownload result;
    std::string why;
    const auto checked = net::checkedUrl(url, false, &why);
    if (!checked) {
        result.error = why;
        return result;
    }
    ignoreFileSizeSignal();

    net::ExchangeRequest request;
    request.url = *checked;
    request.connectTimeoutSeconds = net::currentNetConfig().connectSeconds;
    request.stallSeconds = net::currentNetConfig().stallSeconds;
    request.minBytesPerSecond = kMinVideoBytesPerSecond;
    // A video is hundreds of megabytes: fewer, larger pieces mean fewer callbacks and writes.
    request.receiveBufferBytes = 512 * 1024;
    request.headers = {{"Accept", "*/*"}};

    NetConfig config = net::currentNetConfig();
    const bool cover = kind == FileKind::Cover;
    if (cover) config.maxVideoBytes = std::min(config.maxVideoBytes, kMaxCoverBytes);
    const auto answerProblem = cover ? coverAnswerProblem : videoAnswerProblem;
    const std::string tooLarge = std::string(cover ? "the cover" : "the video") + " is larger than " +
                                 std::to_string(config.maxVideoBytes >> 20) + " MB";
    TempFile temp;
    bool stopped = false;
    std::int64_t nextSpaceCheck = 0;
    std::string head;  // the body's first bytes, which say whether it is a video at all
    std::int64_t announced = -1;
    // A server that trickles bytes just fast enough to pass the stall checks would otherwise
    // hold this download (and the account's next ones) for days.
    const auto startedAt = std::chrono::steady_clock::now();
    auto pastDeadline = [&] {
        if (deadline.floorBytesPerSecond <= 0) return false;
        const std::int64_t basis = announced > 0 ? announced : result.bytes;
        const std::int64_t allowedMs =
            std::max<std::int64_t>(deadline.minimum.count(), (announced > 0 ? 0 : deadline.minimum.count()) +
                                                                 basis * 1000 / deadline.floorBytesPerSecond);
        const auto elapsed = std::chrono::steady_clock::now() - startedAt;
        if (elapsed <= std::chrono::milliseconds(allowedMs)) return false;
        why = "not finished within " + std::to_string(allowedMs / 1000) + " s (" + std::to_string(result.bytes) +
              " of " + (announced > 0 ? std::to_string(announced) : std::string("?")) + " bytes)";
        return true;
    };
    // A full disk would break every other file the program writes, so a download stops well
    // before: the free space is looked at when the file starts and then every few megabytes.
    auto spaceLeft = [&] {
        const std::int64_t free = temp.freeBytes();
        if (free < 0 || free >= config.minFreeBytes) return true;
        why = "less than " + std::to_string(config.minFreeBytes >> 20) + " MB free on the disk of the download folder";
        return false;
    };
    request.onFinalHeaders = [&](long status, std::int64_t contentLength, bool) {
        result.statusCode = static_cast<int>(status);
        stopped = true;
        if (!success(status)) {
            why = "the server answered " + std::to_string(status);
            return false;
        }
        if (contentLength > config.maxVideoBytes) {
            why = tooLarge;
            return false;
        }
        if (!temp.create(localFile, &why) || !spaceLeft()) return false;
        announced = contentLength;
        stopped = false;
        return true;
    };
    request.sink = [&](const char* data, std::size_t size) {
        stopped = true;
        if (result.bytes + static_cast<std::int64_t>(size) > config.maxVideoBytes) {
            why = tooLarge;
            return false;
        }
        if (head.size() < kVideoHeadBytes) {
            head.append(data, std::min(size, kVideoHeadBytes - head.size()));
            // A page is refused as soon as its first bytes show it, not after all of it.
            if (head.size() == kVideoHeadBytes) {
                why = answerProblem("", head);
                if (!why.empty()) return false;
            }
        }
        if (!temp.write(data, size, &why)) return false;
        result.bytes += static_cast<std::int64_t>(size);
        if (pastDeadline()) return false;
        if (result.bytes >= nextSpaceCheck) {
            if (!spaceLeft()) return false;
            nextSpaceCheck = result.bytes + kSpaceCheckBytes;
        }
        stopped = false;
        return true;
    };

    const net::ExchangeOutcome outcome = net::performExchange(request);
    if (!outcome.ok()) {
        result.error = stopped ? why : outcome.error;
        result.bytes = 0;
        return result;
    }
    if (result.bytes == 0 || !temp.open()) {
        result.error = "the answer was empty";
        return result;
    }
    if (const std::string problem = answerProblem(contentTypeOf(outcome.headerBlock), head); !problem.empty()) {
        result.error = problem;
        result.bytes = 0;
        return result;
    }
    if (!temp.commit(localFile, &why)) {
        result.error = why;
        result.bytes = 0;
        return result;
    }
    result.ok = true;
    return result;
}

std::string writeFileBeside(const std::string& target, const std::string& bytes) {
    ignoreFileSizeSignal();
    std::string why;
    TempFile temp;
    if (!temp.create(target, &why) || !temp.write(bytes.data(), bytes.size(), &why) || !temp.commit(target, &why))
        return why.empty() ? "the file could not be written" : why;
    return {};
}

int removeStalePartFiles(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    int removed = 0;
    std::error_code ec;
    const auto options = fs::directory_options::skip_permission_denied;
    fs::recursive_directory_iterator it(root, options, ec);
    for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
        // The downloads sit in the data directory and one folder per account below it.
        if (it.depth() >= 2) it.disable_recursion_pending();
        std::error_code statError;
        if (!it->is_regular_file(statError) || it->is_symlink(statError)) continue;
        pid_t pid = 0;
        if (!partFileOwner(it->path().filename().string(), pid)) continue;
        if (pid == ::getpid() || !processGone(pid)) continue;
        if (::unlink(it->path().c_str()) == 0) ++removed;
    }
    return removed;
}

void removeOpenPartFiles() {
    OpenParts& parts = openParts();
    std::lock_guard lock(parts.mutex);
    for (const std::string& path : parts.paths) ::unlink(path.c_str());
    parts.paths.clear();
}

}  // namespace vigilo
