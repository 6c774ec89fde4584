#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "app/context.h"
#include "net/download.h"

namespace vigilo {

// Percentage shown by the updater: bar = rounded, label = "下载进度：" + floor + "%".
struct UpdateProgress {
    int bar = 0;  // 0..100, -1 when the size is unknown (indeterminate bar)
    std::string label;
};
UpdateProgress updateProgress(std::int64_t total, std::int64_t received);

// No build of this program comes near this; a bigger answer is not one.
inline constexpr std::int64_t kMaxUpdateBytes = std::int64_t{512} << 20;

// What the updater says when it refuses an answer or cannot hand over; short enough for the
// window's title label.
inline constexpr std::string_view kUpdateNotHttps = "更新地址不是https，已拒绝";
inline constexpr std::string_view kUpdateTooLarge = "更新文件超过512MB，已拒绝";
inline constexpr std::string_view kUpdateEmpty = "更新文件为空，更新失败";
inline constexpr std::string_view kUpdateNotProgram = "更新文件不是可运行的程序";
inline constexpr std::string_view kUpdateStartFailed = "更新文件启动失败";
inline constexpr std::string_view kUpdateSucceeded = "更新成功，将自动关闭本程序";

// Whether a failure's message is one of the refusals above, which the window also shows; the
// download's own failures leave the window as it was.
inline bool isUpdateRefusal(std::string_view message) {
    return message == kUpdateNotHttps || message == kUpdateTooLarge || message == kUpdateEmpty ||
           message == kUpdateNotProgram;
}

// Whether `head` (the first bytes of a file) starts a program this machine runs: a "#!" script,
// or an ELF executable or shared object of the running program's class, byte order and machine.
bool runnableHere(std::string_view head);

// Starts the downloaded build and lets it run on without us; false (with the reason) when it
// did not start. The control layer passes the process runner's hand-over.
using ProgramStarter = std::function<bool(const std::string& file, std::string* why)>;

// The text of a failure's message box: the message, and on a line of its own the cause, for
// the download's own failures whose message alone does not say it (a refusal does).
std::string updateFailureText(const DownloadResult& result);

class Updater {
public:
    Updater(AppContext& ctx, ProgramStarter starter, std::int64_t maxBytes = kMaxUpdateBytes);
    // Asks a download in flight to stop and joins its thread.
    ~Updater();
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;
    // Downloads `address` into the update file, reporting progress. Only a whole, non-empty 2xx
    // answer from an https address (plain http only with VIGILO_INSECURE_TLS=1) that is a
    // program for this machine becomes the update file, made executable; anything else leaves
    // no file of that name. A failure's message has been shown through ctx.ui and is in
    // result.message. A second call while one runs fails at once. Blocking.
    DownloadResult runUpdate(const std::string& address, const std::function<void(const UpdateProgress&)>& progress);
    // The same, without the failure's message box (see tellFailure), on a thread of the
    // updater's own (not the context's: the update path closes the
    // main window first, which stops every worker of the context, and the download must
    // outlive that); `finished` runs there with the result. False (and nothing starts) while a
    // download runs. The updater's destruction stops the download and joins the thread, so
    // it must not be destroyed from `finished`.
    bool startUpdate(const std::string& address, std::function<void(const UpdateProgress&)> progress,
                     std::function<void(const DownloadResult&)> finished);
    bool running() const;
    // Logs a failure and shows its message box (nothing for a download that was stopped).
    // runUpdate does it itself; after startUpdate the caller does it on its own thread, so the
    // download thread never waits for a box (and the updater's end never waits for it).
    void tellFailure(const DownloadResult& result) const;
    // Gives up the single-instance mark and starts the update file in its own session; the
    // caller then ends the program. When the start fails the mark is taken back, so the
    // program runs on as the one instance, and the reason is in `why`.
    bool launch(std::string* why = nullptr) const;

private:
    DownloadResult download(const std::string& address, const std::function<void(const UpdateProgress&)>& progress,
                            bool tell);

    AppContext& ctx_;
    ProgramStarter starter_;
    std::int64_t maxBytes_;
    std::atomic<bool> running_{false};
    std::jthread thread_;  // the download started by startUpdate; only that call touches it
};

}  // namespace vigilo
