#pragma once
// Program-wide state, created before any window and alive until every thread that can touch
// it has ended.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/buttons.h"
#include "app/events.h"
#include "app/log.h"
#include "app/pacing.h"
#include "app/paths.h"
#include "app/pool.h"
#include "app/settings.h"
#include "app/table.h"
#include "app/ui.h"
#include "net/service.h"

namespace vigilo {

// Worker threads owned by the group: each runs one routine with a stop request installed
// (sys/stop.h) that the group and the starting thread's own stop request both set, an ended thread is joined by the
// next start or wait, and the group asks the rest to stop and joins them when it goes. A routine's escaped exception is
// reported with the routine's name and ends only that routine.
class ThreadGroup {
public:
    using Report = std::function<void(const std::string& line)>;

    ThreadGroup() = default;
    ~ThreadGroup();
    ThreadGroup(const ThreadGroup&) = delete;
    ThreadGroup& operator=(const ThreadGroup&) = delete;

    // False when no thread could be started (the routine then does not run). A thread started
    // after requestStop runs with its stop already requested.
    bool startThread(std::function<void()> routine) { return startThread("worker", std::move(routine)); }
    bool startThread(std::string name, std::function<void()> routine);
    int running() const;
    // Waits until no thread of the group runs; false when the bound passed first.
    bool waitIdle(std::chrono::milliseconds bound) const;
    // Every thread of the group, running or still to come, is asked to stop.
    void requestStop();
    // Asks every thread to stop and joins them all, also those they start meanwhile. From a
    // thread of the group it joins every thread but the caller.
    void stopAndJoin();
    // Where an escaped exception is told, besides standard error; set before the first start.
    void setReport(Report report);

private:
    struct Entry {
        std::jthread thread;
    };
    void joinFinished();
    void reportEscape(const std::string& name, const std::string& what);

    mutable std::mutex mutex_;
    mutable std::condition_variable idle_;
    std::list<Entry> entries_;            // threads whose routine has not ended
    std::vector<std::jthread> finished_;  // ended, not yet joined
    int running_ = 0;
    bool stopping_ = false;
    Report report_;
};

using TableLock = std::mutex;

// What the monitors asked the service and how often it failed them, for /metrics. A failed
// look is one whose answer could not be used (no answer, an error status, no JSON).
struct ServiceCounters {
    std::atomic<std::uint64_t> accountPolls{0}, accountPollFailures{0};
    std::atomic<std::uint64_t> roomChecks{0}, roomCheckFailures{0};
};

struct AppContext {
    AppContext(Paths paths, Pacing pacing, Endpoints endpoints, UserInterface& ui);
    // Stops every worker (the pools' and the group's) and joins it: a stop reaches transfers
    // and pauses in flight, so this takes about a second even with a stalled host.
    ~AppContext();
    // Asks every worker to stop and joins them all; the context stays usable for reading.
    void stopWorkers();
    AppContext(const AppContext&) = delete;
    AppContext& operator=(const AppContext&) = delete;

    Paths paths;
    Pacing pacing;
    Endpoints endpoints;
    UserInterface& ui;

    TableStore accountTable{"AccountTable", accountColumns()};
    TableStore roomTable{"RoomTable", roomColumns()};
    ActivityLog log;
    StatusBar status;
    EventBus events;
    // Read from the data directory when the context is made.
    Settings settings;
    ServiceCounters counters;

    std::atomic<bool> worksRunning{false};
    std::atomic<bool> worksStop{false};
    // Set once start-up has finished; no monitor may start before.
    std::atomic<bool> started{false};
    // Set by the close command; nothing new starts afterwards.
    std::atomic<bool> closing{false};

    ButtonStates buttons;

    TableLock tableLock;

    WorkerPool accountRegistrationPool;  // queryNewAccount
    WorkerPool roomRegistrationPool;     // registerRoom
    WorkerPool roomPollPool;             // pollRoom

    ThreadGroup threads;

    // Runs routine on a new thread of the group; the name appears in the report of an
    // exception that escapes it.
    bool startThread(std::function<void()> routine) { return threads.startThread(std::move(routine)); }
    bool startThread(std::string name, std::function<void()> routine) {
        return threads.startThread(std::move(name), std::move(routine));
    }
    // Start-up has finished: monitors may start, the add and start buttons come alive.
    void markStarted() {
        started = true;
        buttons.setReady(true);
    }
    void appendLog(const std::string& text) { log.appendLog(text); }
    // Each monitor has its part of the status bar, so one starting never hides the other.
    void setStatus(StatusBar::Monitor monitor, const std::string& text) { status.setMonitorText(monitor, text); }
};

}  // namespace vigilo
