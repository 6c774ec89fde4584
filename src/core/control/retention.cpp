#include "control/retention.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>

#include "live/recorder.h"
#include "text/strings.h"
#include "works/sidecars.h"

namespace vigilo {
namespace {

struct Candidate {
    std::int64_t modifiedAt = 0;  // seconds since 1970
    std::filesystem::path file;
    std::vector<std::filesystem::path> beside;  // the video's description and cover
    bool recording = false;
};

// A regular file itself, not a link to one: its time of last change; nothing otherwise.
std::optional<std::int64_t> plainFileTime(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<std::int64_t>(info.st_mtim.tv_sec);
}

bool isPlainFolder(const std::filesystem::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// "<digits>-<anything>.mp4": the names videoFileName gives.
bool videoName(const std::string& name) {
    const auto dash = name.find('-');
    return dash != std::string::npos && dash > 0 && name.size() > 4 && endsWith(name, ".mp4") &&
           std::all_of(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(dash),
                       [](char c) { return c >= '0' && c <= '9'; });
}

std::string daysText(double days) {
    const double whole = std::floor(days);
    return whole == days ? std::to_string(static_cast<long long>(whole)) : std::to_string(days);
}

}  // namespace

std::optional<double> keepDaysFromEnvironment(std::string* problem) {
    const char* text = std::getenv("VIGILO_KEEP_DAYS");
    if (text == nullptr || trimBlanks(text).empty()) return std::nullopt;
    char* end = nullptr;
    const std::string trimmed = trimBlanks(text);
    const double days = std::strtod(trimmed.c_str(), &end);
    if (end != trimmed.c_str() + trimmed.size() || !std::isfinite(days) || days <= 0 || days > 36500) {
        if (problem) *problem = "VIGILO_KEEP_DAYS 不是正数，不删除旧文件：" + trimmed;
        return std::nullopt;
    }
    return days;
}

Retention::Retention(AppContext& ctx, std::optional<double> keepDays, WallClock clock, std::chrono::milliseconds every)
    : ctx_(ctx), keepDays_(keepDays), clock_(clock ? std::move(clock) : WallClock(wallNow)), every_(every) {
    if (!keepDays_) return;
    thread_ = std::jthread([this](std::stop_token stop) { run(std::move(stop)); });
}

Retention::~Retention() {
    if (thread_.joinable()) {
        thread_.request_stop();
        wake_.notify_all();
        thread_.join();
    }
}

void Retention::run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        try {
            sweep();
        } catch (const std::exception& e) {
            ctx_.appendLog(logTimestamp() + "：" + oneLine(std::string("删除旧文件出错：") + e.what()) + "\r\n");
        }
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, stop, every_, [] { return false; });
    }
}

std::vector<std::filesystem::path> Retention::sweep() {
    namespace fs = std::filesystem;
    std::vector<fs::path> removed;
    if (!keepDays_) return removed;
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(clock_().time_since_epoch()).count();
    const std::int64_t cutoff = now - static_cast<std::int64_t>(*keepDays_ * 86400.0);

    std::vector<Candidate> old;
    std::error_code ec;
    // Collected recordings: ours only by the mark in the file.
    for (fs::directory_iterator it(ctx_.paths.collectionDir(), ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path file = it->path();
        if (!endsWith(file.filename().string(), ".mp4")) continue;
        const auto time = plainFileTime(file);
        if (!time || *time >= cutoff || !recordingMarkOf(file)) continue;
        old.push_back({*time, file, {}, true});
    }
    // Downloaded videos, one folder per account, and what lies beside each.
    ec.clear();
    for (fs::directory_iterator folders(ctx_.paths.downloadsDir(), ec), end; !ec && folders != end;
         folders.increment(ec)) {
        if (!isPlainFolder(folders->path())) continue;
        std::error_code inner;
        for (fs::directory_iterator it(folders->path(), inner), last; !inner && it != last; it.increment(inner)) {
            const fs::path file = it->path();
            const std::string name = file.filename().string();
            if (!videoName(name)) continue;
            const auto time = plainFileTime(file);
            if (!time || *time >= cutoff) continue;
            Candidate c{*time, file, {}, false};
            for (const char* extension : {".json", ".jpg"}) {
                const fs::path beside = file.parent_path() / sidecarFileName(name, extension);
                if (plainFileTime(beside)) c.beside.push_back(beside);
            }
            old.push_back(std::move(c));
        }
    }
    std::stable_sort(old.begin(), old.end(),
                     [](const Candidate& a, const Candidate& b) { return a.modifiedAt < b.modifiedAt; });

    const std::string days = daysText(*keepDays_);
    for (const Candidate& c : old) {
        if (::unlink(c.file.c_str()) != 0) continue;
        removed.push_back(c.file);
        std::string note;
        for (const fs::path& beside : c.beside)
            if (::unlink(beside.c_str()) == 0) {
                removed.push_back(beside);
                note += (note.empty() ? "" : "、") + beside.extension().string();
            }
        const std::string shown = fs::relative(c.file, ctx_.paths.dataDir, ec).string();
        const std::string line =
            c.recording ? "已删除超过" + days + "天的录像：" + shown
                        : "已删除超过" + days + "天的视频：" + shown + (note.empty() ? "" : "（连同 " + note + "）");
        ctx_.appendLog(logTimestamp() + "：" + oneLine(line) + "\r\n");
    }
    return removed;
}

}  // namespace vigilo
