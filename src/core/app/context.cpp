#include "app/context.h"

#include <cstdio>
#include <exception>
#include <system_error>

#include "net/politeness.h"
#include "sys/stop.h"
#include "text/strings.h"
#include "text/timefmt.h"

namespace vigilo {

namespace {

// The group whose routine the current thread runs.
thread_local const ThreadGroup* tGroup = nullptr;

}  // namespace

ThreadGroup::~ThreadGroup() { stopAndJoin(); }

void ThreadGroup::setReport(Report report) {
    std::lock_guard lock(mutex_);
    report_ = std::move(report);
}

bool ThreadGroup::startThread(std::string name, std::function<void()> routine) {
    joinFinished();
    std::lock_guard lock(mutex_);
    auto entry = entries_.emplace(entries_.end());
    // A thread stops with the group and with the work that started it (a stopped job's polls
    // stop with it).
    auto body = [this, entry, name = std::move(name), routine = std::move(routine),
                 parent = currentStopToken()](std::stop_token own) mutable {
        {
            std::stop_source either;
            const std::stop_callback fromGroup(own, [&either] { either.request_stop(); });
            const std::stop_callback fromParent(parent, [&either] { either.request_stop(); });
            const ScopedStopToken installed(either.get_token());
            tGroup = this;
            try {
                routine();
            } catch (const std::exception& e) {
                reportEscape(name, e.what());
            } catch (...) {
                reportEscape(name, "unknown exception");
            }
            // The routine's captures go before the thread counts as ended, so a waiter that sees
            // the group idle may free whatever they referred to.
            routine = nullptr;
        }
        std::lock_guard lock(mutex_);
        // The thread cannot join itself: its handle waits for the next start or wait.
        if (entry->thread.joinable()) finished_.push_back(std::move(entry->thread));
        entries_.erase(entry);
        --running_;
        idle_.notify_all();
    };
    try {
        entry->thread = std::jthread(std::move(body));
    } catch (const std::system_error&) {
        entries_.erase(entry);
        return false;
    }
    ++running_;
    if (stopping_) entry->thread.request_stop();
    return true;
}

void ThreadGroup::reportEscape(const std::string& name, const std::string& what) {
    const std::string line = name + ": " + what;
    std::fprintf(stderr, "vigilo: %s\n", oneLine(line).c_str());
    std::fflush(stderr);
    Report report;
    {
        std::lock_guard lock(mutex_);
        report = report_;
    }
    if (report) report(line);
}

void ThreadGroup::joinFinished() {
    std::vector<std::jthread> done;
    {
        std::lock_guard lock(mutex_);
        done.swap(finished_);
    }
    // Each has left its routine and only returns now; the joins are short.
    for (auto& thread : done) thread.join();
}

int ThreadGroup::running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

bool ThreadGroup::waitIdle(std::chrono::milliseconds bound) const {
    std::unique_lock lock(mutex_);
    const bool idle = idle_.wait_for(lock, bound, [this] { return running_ == 0; });
    lock.unlock();
    if (idle) const_cast<ThreadGroup*>(this)->joinFinished();
    return idle;
}

void ThreadGroup::requestStop() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (auto& entry : entries_) entry.thread.request_stop();
}

void ThreadGroup::stopAndJoin() {
    const auto self = std::this_thread::get_id();
    for (;;) {
        std::vector<std::jthread> joining;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            for (auto& entry : entries_) {
                if (!entry.thread.joinable() || entry.thread.get_id() == self) continue;
                entry.thread.request_stop();
                joining.push_back(std::move(entry.thread));
            }
            for (auto& thread : finished_) joining.push_back(std::move(thread));
            finished_.clear();
            if (joining.empty()) break;
        }
        for (auto& thread : joining) thread.join();
    }
    // Threads another caller took to join may still be ending their routines.
    std::unique_lock lock(mutex_);
    const int selfRunning = tGroup == this ? 1 : 0;
    idle_.wait(lock, [&] { return running_ <= selfRunning; });
}

AppContext::AppContext(Paths paths_, Pacing pacing_, Endpoints endpoints_, UserInterface& ui_)
    : paths(std::move(paths_)), pacing(pacing_), endpoints(std::move(endpoints_)), ui(ui_) {
    settings.setFile(paths.settingsFile());
    settings.load();
    // The request budget's minute runs at the program's pace, so a refusing host's slow rate
    // and its Retry-After shrink with every other pause in tests and demos.
    net::requestBudget().setTimeScale(pacing.scale);
    auto report = [this](const std::string& line) { log.appendLog(logTimestamp() + "：" + oneLine(line) + "\r\n"); };
    if (!settings.movedAside().empty())
        report("已忽略无法使用的 settings.json，原文件已改名为 " + settings.movedAside());
    threads.setReport(report);
    accountRegistrationPool.setReport("queryNewAccount", report);
    roomRegistrationPool.setReport("registerRoom", report);
    roomPollPool.setReport("pollRoom", report);
    events.setOverflowLog([this](const std::string& line) { log.appendLog(logTimestamp() + "：" + line); });
}

AppContext::~AppContext() { stopWorkers(); }

void AppContext::stopWorkers() {
    closing = true;
    worksStop = true;
    worksRunning = false;
    // The group first: its threads post to the pools and wait on them. Then the pools, which
    // refuse new work from here on, and the group again for threads their tasks started.
    threads.requestStop();
    for (WorkerPool* pool : {&accountRegistrationPool, &roomRegistrationPool, &roomPollPool}) pool->shutDown();
    threads.stopAndJoin();
}

}  // namespace vigilo
