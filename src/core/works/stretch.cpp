#include "works/stretch.h"

#include <cmath>
#include <cstdio>

namespace vigilo {

std::string aboutDuration(std::chrono::milliseconds span) {
    const double seconds = static_cast<double>(span.count()) / 1000.0;
    char text[64];
    if (seconds < 90) {
        std::snprintf(text, sizeof text, "约 %.0f 秒", std::max(1.0, std::round(seconds)));
    } else if (seconds < 90 * 60) {
        std::snprintf(text, sizeof text, "约 %.0f 分钟", std::round(seconds / 60));
    } else {
        std::snprintf(text, sizeof text, "约 %.1f 小时", seconds / 3600);
    }
    return text;
}

std::optional<std::string> CycleStretch::after(int accounts, double perMinute, std::chrono::milliseconds ownCycle,
                                               std::chrono::steady_clock::duration minute) {
    if (accounts <= 0 || perMinute <= 0) {
        said_ = false;
        return std::nullopt;
    }
    // One request an account at least (its profile); its post list only when the count moved.
    const auto look = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>(minute) * (static_cast<double>(accounts) / perMinute));
    if (look <= ownCycle) {
        said_ = false;
        return std::nullopt;
    }
    if (said_) return std::nullopt;
    said_ = true;
    return "查询放慢：服务每分钟只允许 " + std::to_string(static_cast<long long>(std::llround(perMinute))) +
           " 次，查看一遍全部 " + std::to_string(accounts) + " 个账号现需" + aboutDuration(look);
}

}  // namespace vigilo
