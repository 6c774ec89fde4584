#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "app/context.h"
#include "net/download.h"

namespace vigilo {

// Percentage shown by the updater: bar = rounded, label = "下载进度：" + floor + "%".
struct UpdateProgress {
    int bar = 0;             // 0..100, -1 when the size is unknown (indeterminate bar)
    std::string label;
};
UpdateProgress updateProgress(std::int64_t total, std::int64_t received);

class Updater {
public:
    explicit Updater(AppContext& ctx);
    // Downloads `address` into the update file, reporting progress; only a whole 2xx answer
    // counts, and the file is then made executable. A failure's message has been shown through
    // ctx.ui. A second call while one runs fails at once. Blocking.
    DownloadResult runUpdate(const std::string& address,
                             const std::function<void(const UpdateProgress&)>& progress);
    // The same on a new thread of the context; `finished` runs there with the result. False
    // (and nothing starts) while a download runs.
    bool startUpdate(const std::string& address, std::function<void(const UpdateProgress&)> progress,
                     std::function<void(const DownloadResult&)> finished);
    bool running() const;
    // Gives up the single-instance mark and starts the update file detached, in its own
    // session; the caller then ends the program.
    bool launch() const;

private:
    DownloadResult download(const std::string& address,
                            const std::function<void(const UpdateProgress&)>& progress);

    AppContext& ctx_;
    std::atomic<bool> running_{false};
};

}  // namespace vigilo
