#pragma once
// The passes over the room rows: once per period every row is offered for a poll, one after
// another with a small gap; a row whose recorder ended is offered again soon. The period is the
// settings' one, read at every wake, so a new choice counts from the running pass on; no period
// ("停止监控") pauses the passes and the quick polls, and recordings go on.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

#include "app/context.h"

namespace vigilo {

class PassSupervisor {
public:
    // Offers a row (numbered from 1) for a poll; called with no lock of the supervisor held.
    using OfferRow = std::function<void(int row)>;

    // passBegins: called as each pass begins, with no lock of the supervisor held.
    PassSupervisor(AppContext& ctx, OfferRow offer, std::function<void()> passBegins = {});

    // A new generation of passes: a loop of an earlier one ends at its next wake. 0 once closed.
    std::uint64_t renew();
    std::uint64_t generation() const;
    // Ends the running loop and forgets the quick polls.
    void end();
    // For good: no loop runs again.
    void close();

    // The passes of `generation` on the calling thread, until it is ended or renewed.
    void run(std::uint64_t generation);
    // The row is offered again after the pacing's recorder re-poll time.
    void pollSoon(int row);
    // The period may have changed.
    void periodChanged();

private:
    using Clock = std::chrono::steady_clock;
    bool supervising(std::uint64_t generation) const { return !closed_ && generation_ == generation; }
    // Under the mutex: the time between two passes; nothing while the passes are paused.
    std::optional<Millis> passInterval() const;

    AppContext& ctx_;
    const OfferRow offer_;
    const std::function<void()> passBegins_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::uint64_t generation_ = 0;
    bool closed_ = false;
    std::map<int, Clock::time_point> repollDue_;  // row number → when
};

}  // namespace vigilo
