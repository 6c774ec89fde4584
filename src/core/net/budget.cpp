#include "net/budget.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>

#include "net/exchange.h"

namespace vigilo::net {

struct AnswerBudget::State {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t held = 0;
    std::size_t peak = 0;
    std::size_t heldByWaiters = 0;
    // Waiters are served in the order they came, so none waits longer than those before it.
    std::uint64_t nextTicket = 0;
    std::set<std::uint64_t> waiting;
};

AnswerBudget::State& AnswerBudget::state() const {
    // Never destroyed: results may still give bytes back while the process ends.
    static State* s = new State;
    return *s;
}

bool AnswerBudget::acquire(std::size_t bytes, std::size_t alreadyHeld, std::chrono::steady_clock::time_point deadline) {
    if (bytes == 0) return true;
    const std::size_t capacity = std::max<std::size_t>(currentNetConfig().answerBudgetBytes, 1);
    State& s = state();
    std::unique_lock lock(s.mutex);
    bool waiting = false;
    std::uint64_t ticket = 0;
    auto stopWaiting = [&] {
        if (!waiting) return;
        s.heldByWaiters -= alreadyHeld;
        s.waiting.erase(ticket);
        waiting = false;
        s.changed.notify_all();
    };
    for (;;) {
        // An answer already being read goes first: finishing it gives its bytes back soonest.
        const bool first = s.waiting.empty() || alreadyHeld > 0 || (waiting && *s.waiting.begin() == ticket);
        const bool fits = s.held + bytes <= capacity || s.held == alreadyHeld;
        if (first && fits) {
            stopWaiting();
            s.held += bytes;
            s.peak = std::max(s.peak, s.held);
            return true;
        }
        if (!waiting) {
            waiting = true;
            ticket = s.nextTicket++;
            s.waiting.insert(ticket);
            s.heldByWaiters += alreadyHeld;
            // Others may now find that nobody can go on.
            s.changed.notify_all();
        }
        const bool stuck = alreadyHeld > 0 && s.heldByWaiters == s.held;
        if (stuck || std::chrono::steady_clock::now() >= deadline) {
            stopWaiting();
            return false;
        }
        s.changed.wait_until(lock, deadline);
    }
}

void AnswerBudget::release(std::size_t bytes) {
    if (bytes == 0) return;
    State& s = state();
    {
        std::lock_guard lock(s.mutex);
        s.held -= std::min(bytes, s.held);
    }
    s.changed.notify_all();
}

std::size_t AnswerBudget::held() const {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.held;
}

std::size_t AnswerBudget::peak() const {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.peak;
}

void AnswerBudget::resetPeak() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.peak = s.held;
}

AnswerBudget& answerBudget() {
    static AnswerBudget budget;
    return budget;
}

void trimFreeMemory() {
    static std::atomic<unsigned> requests{0};
    if (requests.fetch_add(1, std::memory_order_acq_rel) != 0) return;  // the running trim goes round again
    for (;;) {
        unsigned seen = requests.load(std::memory_order_acquire);
        malloc_trim(0);
        if (requests.compare_exchange_strong(seen, 0, std::memory_order_acq_rel)) return;
    }
}

AnswerHold::~AnswerHold() {
    answerBudget().release(bytes_);
    if (bytes_ >= kLargeAnswerBytes) trimFreeMemory();
}

bool AnswerHold::growTo(std::size_t total, std::chrono::steady_clock::time_point deadline) {
    if (total <= bytes_) return true;
    if (!answerBudget().acquire(total - bytes_, bytes_, deadline)) return false;
    bytes_ = total;
    return true;
}

}  // namespace vigilo::net
