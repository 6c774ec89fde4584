#pragma once
// The stop request of the work the calling thread does. A thread's owner installs its
// stop_token for as long as the thread runs; the waits that can last (a transfer, a pacing
// pause, a child's output) look here, so a stop reaches work already in flight and not only
// the loops that check a flag between steps. A thread nobody installed a token for never
// sees a stop.
#include <stop_token>
#include <utility>

namespace vigilo {

namespace detail {
inline thread_local std::stop_token tCurrentStop;
}  // namespace detail

inline const std::stop_token& currentStopToken() { return detail::tCurrentStop; }
inline bool stopRequested() { return detail::tCurrentStop.stop_requested(); }

// Installs a token for the calling thread until the end of the scope.
class ScopedStopToken {
public:
    explicit ScopedStopToken(std::stop_token token)
        : previous_(std::exchange(detail::tCurrentStop, std::move(token))) {}
    ~ScopedStopToken() { detail::tCurrentStop = std::move(previous_); }
    ScopedStopToken(const ScopedStopToken&) = delete;
    ScopedStopToken& operator=(const ScopedStopToken&) = delete;

private:
    std::stop_token previous_;
};

}  // namespace vigilo
