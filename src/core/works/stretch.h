#pragma once
// When the request budget, not the countdown, sets how long a cycle takes: said once in the
// log, with the time one look at every account now takes, until the cycle fits again.
#include <chrono>
#include <optional>
#include <string>

namespace vigilo {

class CycleStretch {
public:
    // After a cycle over `accounts` rows whose own rhythm (poll gaps and countdown) lasts
    // `ownCycle`, while the account endpoint allows `perMinute` requests a minute (0: no limit)
    // and a minute lasts `minute`: the line to log, once per stretch.
    std::optional<std::string> after(int accounts, double perMinute, std::chrono::milliseconds ownCycle,
                                     std::chrono::steady_clock::duration minute = std::chrono::minutes(1));

private:
    bool said_ = false;
};

// "约 40 秒", "约 9 分钟", "约 2.5 小时".
std::string aboutDuration(std::chrono::milliseconds span);

}  // namespace vigilo
