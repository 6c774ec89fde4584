#pragma once
// Program-wide state, created before any window and alive until every thread that can touch
// it has ended.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

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

// Detached threads that are counted, so close and tests can wait for them with a bound.
class ThreadGroup {
public:
    // False when no thread could be started (the routine then does not run).
    bool startThread(std::function<void()> routine);
    int running() const;
    // Waits until no thread of the group runs; false when the bound passed first.
    bool waitIdle(std::chrono::milliseconds bound) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable idle_;
    int running_ = 0;
};

using TableLock = std::mutex;

struct AppContext {
    AppContext(Paths paths, Pacing pacing, Endpoints endpoints, UserInterface& ui);
    // Waits for the group's threads, at most shutdownBound, then goes on: a worker stuck in a
    // dead host's time-out must not keep the program from ending.
    ~AppContext();
    static constexpr std::chrono::milliseconds shutdownBound{30000};
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

    // Runs routine on a new counted thread.
    bool startThread(std::function<void()> routine) { return threads.startThread(std::move(routine)); }
    // Start-up has finished: monitors may start, the add and start buttons come alive.
    void markStarted() {
        started = true;
        buttons.setReady(true);
    }
    void appendLog(const std::string& text) { log.appendLog(text); }
    void setStatus(const std::string& text) { status.setText(1, text); }
};

}  // namespace vigilo
