#pragma once
// Both tables at scale for the front ends' benchmarks: rows as the monitors leave them, and a
// driver that changes cells at a set rate from a thread of its own, as the monitors' workers do.
#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "app/context.h"

namespace vigilo::bench {

void fillScaleTables(AppContext& ctx, int accounts, int rooms);

// The time now as milliseconds since 1970, the text each changed cell holds so a reader can
// tell how old what it shows is.
std::string nowMsText();

// Every 100 ms writes a tenth of `rate` cells (the account table's counter, the room table's
// size), walking round the rows, and every second the status bar's countdown, as the works
// monitor's ticks. `write` runs each step: the web benchmark hands it to its UI thread, the
// window's writes from the driver's thread as the monitors do.
class CellDriver {
public:
    using Step = std::function<void(std::function<void()>)>;
    CellDriver(AppContext& ctx, int accounts, int rooms, Step step);
    ~CellDriver();
    void setRate(int changesPerSecond) { rate_ = changesPerSecond; }
    // No step is handed out after this returns; steps already handed out may still run.
    void stop();

private:
    AppContext& ctx_;
    int accounts_, rooms_;
    Step step_;
    std::atomic<int> rate_{0};
    std::size_t cursor_ = 0;
    std::jthread thread_;  // last: stops before the rest goes
};

}  // namespace vigilo::bench
