#pragma once
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace vigilo {

// Progress after every chunk: (total, position, elapsed ms, received since start offset).
// total is 0 when the server sent no Content-Length.
using ProgressCallback =
    std::function<void(std::int64_t total, std::int64_t position, std::int64_t elapsedMs, std::int64_t received)>;

struct DownloadResult {
    int code = -1;        // 0 success, -1 failure
    std::string message;  // the user-facing failure message ("地址失效，请进入官网下载最新版本", ...)
    std::string error;    // diagnostic
    int statusCode = 0;
    bool tooLarge = false;  // the answer announced or sent more than the limit allows
};

// What a caller may demand of a download beyond the defaults.
struct DownloadLimits {
    std::int64_t maxBytes = 0;  // body bytes as received; 0: no limit
    bool httpsOnly = false;     // the address and every redirect must be https
};

// The updater's download: chunks of at most 10240 bytes, a non-2xx answer is a failure, bytes
// go to a temporary file renamed over `localFile` only on success. Resume asks for an open Range.
// The body is asked for unencoded, so what is counted is what is written.
DownloadResult downloadFile(const std::string& url, const std::string& localFile, const ProgressCallback& progress,
                            std::int64_t startOffset = 0, bool resume = false, const DownloadLimits& limits = {});

// The plain URL download of a video: GET with redirects followed, streamed to a temporary file
// beside `localFile` and renamed into place only when a 2xx answer arrived whole and non-empty.
// An existing file of that name is kept when the download fails.
struct FileDownload {
    bool ok = false;
    std::int64_t bytes = 0;
    int statusCode = 0;
    std::string error;
};
// The longest a video download may take: its announced size at the floor rate, and never less
// than the minimum (without an announced size: the minimum plus what arrived, at that rate).
// A zero floor rate sets no deadline.
struct VideoDeadline {
    std::int64_t floorBytesPerSecond = 0;
    std::chrono::milliseconds minimum{0};
};
// What the answer must be: a video, or a post's cover (a picture of at most kMaxCoverBytes).
enum class FileKind { Video, Cover };
inline constexpr std::int64_t kMaxCoverBytes = std::int64_t{16} << 20;
// A video over NetConfig::maxVideoBytes, one that would leave its file system with less than
// NetConfig::minFreeBytes free, or one past its deadline, is given up with the reason in `error`.
FileDownload plainDownloadToFile(const std::string& url, const std::string& localFile,
                                 const VideoDeadline& deadline = {}, FileKind kind = FileKind::Video);

// Writes a small file the way a download lands: a short hidden temporary name beside it (so a
// target name at the length limit still fits, and a crash leaves only what the start-up sweep
// removes), then a rename over the target. Empty on success, else why not.
std::string writeFileBeside(const std::string& target, const std::string& bytes);

// The temporary files of downloads that never finished (a crash, a kill, a power cut) in the
// data directory and the folders below it, left by processes that are gone. Returns how many
// were removed.
int removeStalePartFiles(const std::filesystem::path& root);

// Every temporary file this process has open, for the exits that do not wait for their
// downloads; it also runs at exit.
void removeOpenPartFiles();

}  // namespace vigilo
