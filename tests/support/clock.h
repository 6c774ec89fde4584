#pragma once
// A clock that tests move by hand, for code that takes its time and its waits as functions:
// nothing sleeps, and every wait the code asked for is kept for the test to check.
#include <chrono>
#include <functional>
#include <vector>

namespace vigilo::testing {

class MockClock {
public:
    using Steady = std::chrono::steady_clock;

    Steady::time_point now = Steady::time_point{} + std::chrono::seconds(1000);
    // What each wait asked for, in order.
    std::vector<Steady::duration> waits;

    void advance(Steady::duration by) { now += by; }

    std::function<Steady::time_point()> nowFunction() {
        return [this] { return now; };
    }
    // A wait that is over at once: the clock jumps to its end.
    std::function<bool(Steady::time_point)> waitFunction() {
        return [this](Steady::time_point until) {
            waits.push_back(until - now);
            now = until;
            return true;
        };
    }
};

}  // namespace vigilo::testing
