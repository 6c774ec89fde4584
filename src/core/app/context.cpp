#include "app/context.h"

#include <system_error>
#include <thread>

namespace vigilo {

bool ThreadGroup::startThread(std::function<void()> routine) {
    {
        std::lock_guard lock(mutex_);
        ++running_;
    }
    auto body = [this, routine = std::move(routine)]() mutable {
        try {
            routine();
        } catch (...) {
            // Errors are values in this program; a stray exception must not end the process.
        }
        // The routine's captures go before the count drops, so a waiter that sees the group
        // idle may free whatever they referred to.
        routine = nullptr;
        std::lock_guard lock(mutex_);
        --running_;
        idle_.notify_all();
    };
    try {
        std::thread(std::move(body)).detach();
        return true;
    } catch (const std::system_error&) {
        std::lock_guard lock(mutex_);
        --running_;
        idle_.notify_all();
        return false;
    }
}

int ThreadGroup::running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

bool ThreadGroup::waitIdle(std::chrono::milliseconds bound) const {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, bound, [this] { return running_ == 0; });
}

AppContext::AppContext(Paths paths_, Pacing pacing_, Endpoints endpoints_, UserInterface& ui_)
    : paths(std::move(paths_)), pacing(pacing_), endpoints(std::move(endpoints_)), ui(ui_) {
    settings.setFile(paths.settingsFile());
    settings.load();
    events.setOverflowLog([this](const std::string& line) { log.appendLog(line); });
}

AppContext::~AppContext() {
    closing = true;
    worksStop = true;
    worksRunning = false;
    threads.waitIdle(shutdownBound);
}

}  // namespace vigilo
