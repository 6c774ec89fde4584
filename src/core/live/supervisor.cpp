#include "live/supervisor.h"

#include <algorithm>
#include <vector>

namespace vigilo {

PassSupervisor::PassSupervisor(AppContext& ctx, OfferRow offer, std::function<void()> passBegins)
    : ctx_(ctx), offer_(std::move(offer)), passBegins_(std::move(passBegins)) {}

std::uint64_t PassSupervisor::renew() {
    std::lock_guard lock(mutex_);
    if (closed_) return 0;
    wake_.notify_all();
    return ++generation_;
}

std::uint64_t PassSupervisor::generation() const {
    std::lock_guard lock(mutex_);
    return generation_;
}

void PassSupervisor::end() {
    std::lock_guard lock(mutex_);
    ++generation_;
    repollDue_.clear();
    wake_.notify_all();
}

void PassSupervisor::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    ++generation_;
    repollDue_.clear();
    wake_.notify_all();
}

void PassSupervisor::pollSoon(int row) {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    repollDue_[row] = Clock::now() + ctx_.pacing.recorderRepoll;
    wake_.notify_all();
}

void PassSupervisor::periodChanged() {
    std::lock_guard lock(mutex_);
    wake_.notify_all();
}

std::optional<Millis> PassSupervisor::passInterval() const {
    const int minutes = ctx_.settings.livePeriodMinutes();
    if (minutes <= 0) return std::nullopt;
    return Millis(ctx_.pacing.passInterval.count() * minutes / 5);
}

void PassSupervisor::run(std::uint64_t generation) {
    std::unique_lock lock(mutex_);
    while (supervising(generation)) {
        // Paused: no pass until a period is chosen again.
        wake_.wait(lock, [&] { return !supervising(generation) || passInterval(); });
        if (!supervising(generation)) break;
        // A random offset, so passes of programs started together do not meet at the service.
        wake_.wait_for(lock, randomShare(ctx_.pacing.startJitter), [&] { return !supervising(generation); });
        if (!supervising(generation)) break;
        const Clock::time_point passStart = Clock::now();
        if (passBegins_) {
            lock.unlock();
            passBegins_();
            lock.lock();
            if (!supervising(generation)) break;
        }
        const int rows = ctx_.roomTable.rowCount();
        for (int i = 1; i <= rows && supervising(generation); ++i) {
            repollDue_.erase(i);
            lock.unlock();
            offer_(i);
            lock.lock();
            wake_.wait_for(lock, ctx_.pacing.supervisorRowGap, [&] { return !supervising(generation); });
        }
        while (supervising(generation)) {
            const std::optional<Millis> interval = passInterval();
            if (interval && Clock::now() >= passStart + *interval) break;
            if (interval) {
                Clock::time_point until = passStart + *interval;
                for (const auto& [row, due] : repollDue_) until = std::min(until, due);
                wake_.wait_until(lock, until);
            } else {
                wake_.wait(lock);
            }
            if (!passInterval()) continue;  // paused: no quick polls either
            const Clock::time_point now = Clock::now();
            std::vector<int> due;
            for (auto it = repollDue_.begin(); it != repollDue_.end();) {
                if (it->second <= now) {
                    due.push_back(it->first);
                    it = repollDue_.erase(it);
                } else {
                    ++it;
                }
            }
            if (due.empty() || !supervising(generation)) continue;
            lock.unlock();
            for (int row : due) offer_(row);
            lock.lock();
        }
    }
}

}  // namespace vigilo
