// The monitor loop: one cycle starts a poll per account, reports the counters and counts down.
#include <algorithm>
#include <chrono>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "net/http.h"
#include "net/politeness.h"
#include "net/service.h"
#include "sys/stop.h"
#include "text/strings.h"
#include "text/timefmt.h"
#include "works/engine.h"
#include "works/stretch.h"

namespace vigilo {

using SteadyClock = std::chrono::steady_clock;

bool WorksEngine::pauseUnlessStopped(Millis duration) {
    // Sliced so a stop is seen within a fraction of a countdown second.
    const auto deadline = SteadyClock::now() + duration;
    for (;;) {
        if (stopRequested()) return false;
        const auto left = std::chrono::duration_cast<Millis>(deadline - SteadyClock::now());
        if (left <= Millis{0}) break;
        delay(std::min(left, Millis{20}));
    }
    return !stopRequested();
}

bool WorksEngine::startPoll(const std::string& secUid, int rowHint) {
    std::uint64_t generation = 0;
    {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        const AccountState* state = adoptRow(secUid, rowHint);
        if (!state || state->query == AccountState::Query::NotYet) {
            generation = 0;
        } else if (state->query != AccountState::Query::Done || state->busy) {
            // Its previous poll (or its query) still runs: an answer landing after a newer one
            // would move the counter back and fetch the same video again.
            return true;
        } else {
            generation = state->generation;
        }
    }
    if (generation == 0) {
        retryFirstQuery(rowHint, false);
        return true;
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (activePolls_ >= kMaxConcurrentPolls) {
            if (stopRequested()) return false;
            pollDone_.wait_for(lock, Millis{20});
        }
        ++activePolls_;
    }
    {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        auto it = accounts_.find(secUid);
        if (it == accounts_.end() || it->second.generation != generation || it->second.busy) {
            pollFinished();
            return true;
        }
        it->second.busy = true;
    }
    bool spawn = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pollQueue_.push_back(PollTask{secUid, generation, rowHint, currentStopToken()});
        // A free worker takes it at once; otherwise one more joins, up to the bound of polls.
        spawn = static_cast<int>(pollQueue_.size()) > idlePollWorkers_;
        if (spawn) ++pollWorkers_;
    }
    pollWork_.notify_one();
    bool started = true;
    if (spawn) {
        // A worker serves whichever run queues next, so it takes the stop of each poll's run
        // with the poll, not that of the run it was started for; the group's stop it has.
        const ScopedStopToken detached{std::stop_token{}};
        started = ctx_.startThread("pollAccount", [self = shared_from_this()] { self->pollWorker(); });
    }
    if (!started) {
        std::deque<PollTask> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --pollWorkers_;
            // With no worker left to take them, these polls do not run this time.
            if (pollWorkers_ == 0) dropped.swap(pollQueue_);
        }
        for (const PollTask& task : dropped) {
            {
                std::lock_guard<TableLock> lock(ctx_.tableLock);
                auto it = accounts_.find(task.secUid);
                if (it != accounts_.end() && it->second.generation == task.generation) it->second.busy = false;
            }
            pollFinished();
        }
    }
    return true;
}

void WorksEngine::pollWorker() {
    const std::stop_token workerStop = currentStopToken();
    std::unique_lock<std::mutex> lock(mutex_);
    // Counted out however the worker ends, an escaped exception included (the group reports it).
    struct Leave {
        WorksEngine& engine;
        ~Leave() { --engine.pollWorkers_; }
    } leave{*this};
    for (;;) {
        ++idlePollWorkers_;
        pollWork_.wait_for(lock, kPollWorkerIdle, [&] { return !pollQueue_.empty() || monitorRuns_ == 0; });
        --idlePollWorkers_;
        if (pollQueue_.empty()) return;
        const PollTask task = std::move(pollQueue_.front());
        pollQueue_.pop_front();
        lock.unlock();
        struct Finish {
            WorksEngine& engine;
            std::unique_lock<std::mutex>& lock;
            ~Finish() {
                engine.pollFinished();
                lock.lock();
            }
        } finish{*this, lock};
        std::stop_source either;
        const std::stop_callback fromGroup(workerStop, [&either] { either.request_stop(); });
        const std::stop_callback fromRun(task.stop, [&either] { either.request_stop(); });
        const ScopedStopToken installed(either.get_token());
        pollKey(task.secUid, task.generation, task.rowHint);
    }
}

void WorksEngine::pollFinished() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --activePolls_;
    }
    pollDone_.notify_all();
}

void WorksEngine::runWorksMonitor() {
    TableStore& table = ctx_.accountTable;
    if (table.rowCount() == 0) {
        ctx_.ui.messageBox("请加入列表后监控！", "提示", MessageIcon::Warning);
        return;
    }
    const int ticks = ctx_.pacing.countdownTicks;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++monitorRuns_;
    }
    // The poll workers leave once their last poll is done and no run is left to queue more.
    struct RunEnd {
        WorksEngine& engine;
        ~RunEnd() {
            {
                std::lock_guard<std::mutex> lock(engine.mutex_);
                --engine.monitorRuns_;
            }
            engine.pollWork_.notify_all();
        }
    } runEnd{*this};
    CycleStretch stretch;
    while (ctx_.worksRunning && !stopRequested()) {
        if (!pauseUnlessStopped(randomShare(ctx_.pacing.startJitter))) return;
        bool updated = false;
        const int rows = table.rowCount();
        // A pass over thousands of rows takes minutes, so a stop is honoured between rows too.
        for (int i = 1; i <= rows && !stopRequested(); ++i) {
            const std::string secUid = table.cell(i - 1, acol::SecUid);
            if (secUid.empty()) {
                // No account to ask about: its share link is resolved again instead.
                retryFirstQuery(i - 1, false);
            } else if (!startPoll(secUid, i - 1)) {
                break;
            }
            // An account whose first query has not succeeded has nothing to report.
            std::string report;
            if (!secUid.empty()) {
                std::lock_guard<TableLock> lock(ctx_.tableLock);
                auto it = accounts_.find(secUid);
                if (it != accounts_.end() && it->second.query == AccountState::Query::Done && it->second.counter != 0)
                    report = oneLine(it->second.nickname) + "：有更新" +
                             numberText(static_cast<double>(it->second.counter)) + "条\r\n";
            }
            if (!report.empty()) {
                ctx_.appendLog(report);
                updated = true;
            }
            delay(ctx_.pacing.pollGap);
        }
        if (stopRequested()) return;
        for (int j = 1; j <= ticks; ++j) {
            ctx_.appendLog(std::to_string(ticks - j) + "\r\n");
            if (!pauseUnlessStopped(ctx_.pacing.countdownTick)) return;
        }
        if (!updated) ctx_.appendLog("监控账号无更新\r\n");
        {
            const net::HostBudget& budget = net::requestBudget();
            const std::string host = net::budgetHost(profileUrl(ctx_.endpoints, ""));
            const Millis own = ctx_.pacing.pollGap * rows + ctx_.pacing.countdownTick * ticks;
            if (auto line = stretch.after(rows, budget.allowedPerMinute(host), own, budget.minute()))
                ctx_.appendLog(logTimestamp() + "：" + *line + "\r\n");
        }
    }
}

void WorksEngine::monitorThreadMain() {
    for (;;) {
        std::uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seen = startRequests_;
        }
        runWorksMonitor();
        std::lock_guard<std::mutex> lock(mutex_);
        // A start that came while this run was ending is served by this same thread.
        if (startRequests_ == seen || !ctx_.worksRunning || stopRequested()) {
            monitorActive_ = false;
            return;
        }
    }
}

void WorksEngine::startMonitorThread() {
    if (ctx_.closing) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++startRequests_;
        if (monitorActive_) return;
        monitorActive_ = true;
    }
    if (!ctx_.startThread([self = shared_from_this()] { self->monitorThreadMain(); })) {
        std::lock_guard<std::mutex> lock(mutex_);
        monitorActive_ = false;
    }
}

int WorksEngine::monitorThreads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return monitorActive_ ? 1 : 0;
}

}  // namespace vigilo
