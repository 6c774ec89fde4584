// The video downloads and their retries. Every new post is listed in the pending file before
// its download starts and leaves it only once its file is in place, so a stop, a crash or a
// kill loses none. Downloads run one at a time per account, newest first, and at most
// maxDownloads_ at once in the whole program.
#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "net/download.h"
#include "net/http.h"
#include "net/service.h"
#include "sys/stop.h"
#include "text/charset.h"
#include "text/strings.h"
#include "text/timefmt.h"
#include "works/engine.h"
#include "works/names.h"
#include "works/sidecars.h"

namespace vigilo {
namespace {

// A video must come at least this fast on average, or within the minimum time of the pacing.
constexpr std::int64_t kFloorBytesPerSecond = 32 * 1024;

}  // namespace

void WorksEngine::logLine(const std::string& text) { ctx_.appendLog(logTimestamp() + "：" + oneLine(text) + "\r\n"); }

void WorksEngine::logDownload(const std::string& nickname, const std::string& what, const std::string& fileName,
                              const std::string& note) {
    logLine(nickname + "：" + what + " " + fileName + "（" + note + "）");
}

void WorksEngine::setDownloadLimit(int limit) {
    maxDownloads_ = std::max(1, limit);
    dispatchDownloads();
}

void WorksEngine::downloadVideo(const std::string& playAddress, const std::string& desc, const std::string& id,
                                const std::string& nickname) {
    PostItem post;
    post.id = id;
    post.desc = desc;
    post.playAddress = playAddress;
    givingUp(enqueue("", nickname, {post}), "待下载列表已满");
    // On the calling thread, as its callers expect, unless that account's download runs now.
    const std::optional<PendingDownload> entry = pending_.take(id);
    if (!entry) return dispatchDownloads();
    pending_.ensureWritten();
    runDownload(*entry);
}

std::vector<PendingDownload> WorksEngine::enqueue(const std::string& secUid, const std::string& nickname,
                                                  const std::vector<PostItem>& posts) {
    std::vector<PendingDownload> givenUp;
    const std::int64_t now = wallMs();
    for (const PostItem& post : posts) {
        PendingDownload entry;
        entry.id = post.id;
        entry.desc = post.desc;
        entry.nickname = nickname;
        entry.secUid = secUid;
        entry.playAddress = post.playAddress;
        entry.coverAddress = post.coverAddress;
        entry.createTime = post.createTime;
        entry.statistics = post.statistics;
        entry.uid = post.authorUid;
        entry.author = post.authorNickname;
        if (entry.secUid.empty()) entry.secUid = post.authorSecUid;
        entry.firstTryMs = now;
        entry.gapMs = cycleLength().count();
        // Already listed: its own try saves it.
        pending_.add(entry, &givenUp);
    }
    return givenUp;
}

void WorksEngine::givingUp(const std::vector<PendingDownload>& entries, const std::string& why) {
    for (const PendingDownload& entry : entries) {
        logDownload(entry.nickname, "视频下载放弃", videoFileName(entry.id, entry.desc),
                    entry.attempts > 0 ? std::to_string(entry.attempts) + "次尝试均失败：" + why : why);
        ctx_.events.publish(
            Event{EventType::DownloadGivenUp,
                  std::chrono::system_clock::now(),
                  {{"nickname", entry.nickname}, {"description", entry.desc}, {"id", entry.id}, {"error", why}}});
    }
}

void WorksEngine::dispatchDownloads() {
    if (ctx_.closing) return;
    const std::vector<PendingDownload> next = pending_.takeNext(wallMs(), maxDownloads_);
    if (next.empty()) return;
    // Written ahead: a kill from here on still finds these posts in the file.
    pending_.ensureWritten();
    // A download is not part of the poll or the monitor run that found its post: "停止监控"
    // stops the looking, not the saving. Only the program's close stops it.
    const ScopedStopToken detached{std::stop_token{}};
    for (const PendingDownload& entry : next) {
        if (!ctx_.startThread("downloadVideo", [self = shared_from_this(), entry] { self->runDownload(entry); }))
            pending_.release(entry.id);
    }
}

fs::path WorksEngine::videoFolder(const std::string& nickname, std::string* why) const {
    fs::path folder = ctx_.paths.downloadsDir();
    const std::string folderName = safeFileName(nickname);
    if (!folderName.empty()) folder /= fs::path(folderName);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec || !fs::is_directory(folder, ec)) {
        *why = ec ? ec.message() : "no folder";
        return {};
    }
    return folder;
}

std::string WorksEngine::saveVideo(const std::string& nickname, const PendingDownload& video, std::string* file,
                                   bool* stopped, std::string* source) {
    const std::string fileName = videoFileName(video.id, video.desc);
    if (video.playAddress.empty()) return "the post has no play address";
    HttpRequestOptions options;
    options.url = video.playAddress;
    options.method = HttpMethod::Get;
    options.extraHeaders = std::string(kMobileAgentLine);
    options.noRedirect = true;
    options.maxBodyBytes = kMaxPageAnswerBytes;
    const HttpResult result = NativeHttpClient::send(options);
    if (vigilo::stopRequested()) *stopped = true;
    const std::string page = result.text.empty() ? bodyToText(result.body) : result.text;
    const std::string videoAddress = anchorTarget(page);
    if (videoAddress.empty()) return result.error.empty() ? "no video address in the answer" : result.error;

    std::string why;
    const fs::path folder = videoFolder(nickname, &why);
    if (folder.empty()) return why;
    const fs::path path = folder / fs::path(fileName);
    const FileDownload download = plainDownloadToFile(
        videoAddress, path.string(), VideoDeadline{kFloorBytesPerSecond, ctx_.pacing.downloadDeadlineMin});
    if (vigilo::stopRequested()) *stopped = true;
    if (!download.ok) return download.error.empty() ? "the download failed" : download.error;
    if (file) *file = path.string();
    if (source) *source = videoAddress;
    return {};
}

std::string WorksEngine::saveCover(const PendingDownload& post, bool* stopped) {
    std::string why;
    const fs::path folder = videoFolder(post.nickname, &why);
    if (folder.empty()) return why;
    const fs::path path = folder / fs::path(sidecarFileName(videoFileName(post.id, post.desc), ".jpg"));
    const FileDownload download =
        plainDownloadToFile(post.coverAddress, path.string(),
                            VideoDeadline{kFloorBytesPerSecond, ctx_.pacing.downloadDeadlineMin}, FileKind::Cover);
    if (vigilo::stopRequested()) *stopped = true;
    if (!download.ok) return download.error.empty() ? "the download failed" : download.error;
    return {};
}

void WorksEngine::runCover(PendingDownload entry) {
    if (sidecars_ && entry.attempts > 0 && !entry.secUid.empty()) {
        // Cover addresses are signed and expire; a later list gives a fresh one.
        for (const PostItem& item : requestPostList(ctx_.endpoints, entry.secUid).items)
            if (item.id == entry.id && !item.coverAddress.empty()) entry.coverAddress = item.coverAddress;
    }
    const std::string fileName = sidecarFileName(videoFileName(entry.id, entry.desc), ".jpg");
    bool stopped = false;
    // Turned off since the video was saved: nothing is left to fetch.
    const std::string error = sidecars_ ? saveCover(entry, &stopped) : std::string();
    if (error.empty()) {
        pending_.remove(entry.id);
        if (entry.attempts > 0 || entry.resumed)
            logDownload(entry.nickname, "封面下载成功", fileName, "第" + std::to_string(entry.attempts + 1) + "次尝试");
    } else if (stopped) {
        pending_.release(entry.id);
    } else {
        failedTry(entry, "封面", fileName, error);
    }
}

void WorksEngine::failedTry(PendingDownload entry, const std::string& what, const std::string& fileName,
                            const std::string& error) {
    // A lost file leaves at least this line: nothing else tells the user it is missing.
    logDownload(entry.nickname, what + "下载失败", fileName, error);
    const std::int64_t now = wallMs();
    const std::int64_t giveUpAt = entry.firstTryMs + ctx_.pacing.downloadGiveUp.count();
    if (entry.attempts > 0)
        entry.gapMs =
            std::min<std::int64_t>(std::max<std::int64_t>(entry.gapMs, 1) * 2, ctx_.pacing.retryGapCap.count());
    ++entry.attempts;
    entry.lastError = error;
    if (entry.attempts > 1 && now >= giveUpAt) {
        pending_.remove(entry.id);
        if (entry.coverOnly)
            logDownload(entry.nickname, "封面下载放弃", fileName,
                        std::to_string(entry.attempts) + "次尝试均失败：" + error);
        else
            givingUp({entry}, error);
    } else {
        // The last try falls on the give-up time rather than a whole gap after it.
        // Spread, so files that failed together (an outage) are not tried again together.
        const std::int64_t spread =
            randomShare(Millis(static_cast<std::int64_t>(static_cast<double>(entry.gapMs) * ctx_.pacing.retrySpread)))
                .count();
        entry.nextTryMs = std::min(now + entry.gapMs + spread, std::max(giveUpAt, now + 1));
        pending_.update(entry);
    }
}

void WorksEngine::runDownload(PendingDownload entry) {
    if (entry.attempts > 0 && entry.playAddress.empty() && !entry.secUid.empty()) {
        // The post had no address when it was listed; a later list may give one.
        for (const PostItem& item : requestPostList(ctx_.endpoints, entry.secUid).items)
            if (item.id == entry.id) entry.playAddress = item.playAddress;
    }
    if (entry.coverOnly) {
        runCover(std::move(entry));
        pending_.flushIfDue();
        return dispatchDownloads();
    }
    const std::string fileName = videoFileName(entry.id, entry.desc);
    std::string file, source;
    bool stopped = false;
    const std::string error = saveVideo(entry.nickname, entry, &file, &stopped, &source);
    if (error.empty()) {
        // A video tried before, or left by an earlier run (a failure it had may not have reached
        // the file), says it is saved now.
        if (entry.attempts > 0 || entry.resumed)
            logDownload(entry.nickname, "视频下载成功", fileName, "第" + std::to_string(entry.attempts + 1) + "次尝试");
        std::string sidecarError;
        if (sidecars_) {
            sidecarError = writeFileBeside(fs::path(file).replace_filename(sidecarFileName(fileName, ".json")).string(),
                                           postDescriptionJson(entry, source, wallMs()));
            if (!sidecarError.empty())
                logDownload(entry.nickname, "作品信息保存失败", sidecarFileName(fileName, ".json"), sidecarError);
        }
        ctx_.events.publish(
            Event{EventType::PostSaved,
                  std::chrono::system_clock::now(),
                  {{"nickname", entry.nickname}, {"description", entry.desc}, {"file", file}, {"id", entry.id}}});
        if (sidecars_ && !entry.coverAddress.empty()) {
            // The cover is the rest of this post's entry, with a day of its own to arrive; the
            // video is not fetched again unless a kill comes before the list is written.
            entry.coverOnly = true;
            entry.attempts = 0;
            entry.firstTryMs = wallMs();
            entry.nextTryMs = 0;
            entry.gapMs = cycleLength().count();
            entry.lastError.clear();
            entry.resumed = false;
            pending_.amend(entry);
            runCover(std::move(entry));
        } else {
            pending_.remove(entry.id);
        }
    } else if (stopped) {
        // The program is closing: the post stays listed as it was, for the next start.
        pending_.release(entry.id);
    } else {
        failedTry(std::move(entry), "视频", fileName, error);
    }
    pending_.flushIfDue();
    dispatchDownloads();
}

void WorksEngine::wakeRetries() { retryWake_.notify_all(); }

void WorksEngine::retryLoop(std::stop_token stop) {
    while (!stop.stop_requested()) {
        if (!ctx_.closing) {
            // On a thread of the group, so that whoever waits for the program's work to end
            // sees the downloads being started too.
            if (pending_.anyDue(wallMs(), maxDownloads_))
                ctx_.startThread("dispatchDownloads", [self = shared_from_this()] { self->dispatchDownloads(); });
            // While the monitor runs, its cycles try the first queries again.
            if (!ctx_.worksRunning || monitorThreads() == 0) retryFirstQueries(true);
        }
        // Written here, at most once a tick, rather than by every query of a registration.
        saveSeenPosts();
        pending_.flushIfDue();
        std::unique_lock<std::mutex> lock(mutex_);
        retryWake_.wait_for(lock, stop, ctx_.pacing.countdownTick, [] { return false; });
    }
    // At the end the record is left whole, in one file.
    saveSeenPosts(true);
    pending_.flushIfDue(true);
}

}  // namespace vigilo
