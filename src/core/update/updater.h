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
    // Downloads `address` into the update file, reporting progress; on success the file is
    // made executable. A second call while one runs returns false at once. Blocking.
    DownloadResult runUpdate(const std::string& address,
                             const std::function<void(const UpdateProgress&)>& progress);
    bool running() const;
    // Starts the update file detached; the caller then ends the program.
    bool launch() const;

private:
    AppContext& ctx_;
    std::atomic<bool> running_{false};
};

}  // namespace vigilo
