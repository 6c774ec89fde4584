#include "app/pool.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <system_error>

#include "sys/stop.h"
#include "text/strings.h"

namespace vigilo {

struct WorkerPool::State {
    std::mutex mutex;
    std::condition_variable wake;  // workers: a task or the end
    std::condition_variable idle;  // closers: tasks done, workers gone
    TaskRoutine routine;
    std::string name;
    std::function<void(const std::string&)> report;
    std::deque<TaskArgs> queue;
    std::vector<std::jthread> workers;  // moved out and joined by the closer
    std::stop_source stop;              // the generation's tasks, running and to come
    int maxWorkers = 0;
    int alive = 0;    // worker threads not yet ended
    int waiting = 0;  // workers without a task (started or between tasks)
    int running = 0;  // tasks being run
    bool open = true;
    bool ending = false;  // workers leave once the queue is empty
};

namespace {

// The generation whose task the current thread is running, so that a task closing its own
// pool does not wait for itself.
thread_local const WorkerPool::State* tCurrentState = nullptr;

void reportEscape(const WorkerPool::State& s, const char* what) {
    const std::string line = s.name + ": " + what;
    std::fprintf(stderr, "vigilo: %s\n", oneLine(line).c_str());
    std::fflush(stderr);
    if (s.report) s.report(line);
}

void workerLoop(const std::shared_ptr<WorkerPool::State>& state) {
    auto& s = *state;
    const ScopedStopToken installed(s.stop.get_token());
    std::unique_lock lock(s.mutex);
    for (;;) {
        s.wake.wait(lock, [&] { return s.ending || !s.queue.empty(); });
        if (s.queue.empty()) break;  // ending
        TaskArgs args = std::move(s.queue.front());
        s.queue.pop_front();
        --s.waiting;
        ++s.running;
        lock.unlock();
        tCurrentState = &s;
        // A task's failure stays with the task; the worker serves the next one.
        try {
            s.routine(args);
        } catch (const std::exception& e) {
            reportEscape(s, e.what());
        } catch (...) {
            reportEscape(s, "unknown exception");
        }
        tCurrentState = nullptr;
        lock.lock();
        --s.running;
        ++s.waiting;
        // A task closing its own pool waits for running == 1, so every finish with an empty
        // queue is news to a closer.
        if (s.queue.empty()) s.idle.notify_all();
    }
    --s.waiting;
    --s.alive;
    s.idle.notify_all();
}

// Starts one worker, counted as free from the start; the caller holds the state's mutex.
bool spawnWorker(const std::shared_ptr<WorkerPool::State>& state) {
    try {
        state->workers.emplace_back([state] { workerLoop(state); });
    } catch (const std::system_error&) {
        return false;
    }
    ++state->alive;
    ++state->waiting;
    return true;
}

}  // namespace

WorkerPool::~WorkerPool() {
    close();
    joinOrphans();
}

void WorkerPool::setReport(std::string name, std::function<void(const std::string& line)> report) {
    std::lock_guard lock(mutex_);
    name_ = std::move(name);
    report_ = std::move(report);
}

std::shared_ptr<WorkerPool::State> WorkerPool::current() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void WorkerPool::joinOrphans() {
    std::vector<std::jthread> orphans;
    {
        std::lock_guard lock(mutex_);
        const auto self = std::this_thread::get_id();
        // A worker that closed its own pool and creates it again cannot join itself.
        for (auto it = orphans_.begin(); it != orphans_.end();) {
            if (it->get_id() == self) {
                ++it;
            } else {
                orphans.push_back(std::move(*it));
                it = orphans_.erase(it);
            }
        }
    }
    for (auto& thread : orphans) thread.join();
}

bool WorkerPool::create(TaskRoutine routine, int initialWorkers, int maxWorkers) {
    joinOrphans();
    std::lock_guard lock(mutex_);
    if (shutDown_) return false;
    if (state_) {
        std::lock_guard stateLock(state_->mutex);
        if (state_->open) return false;
    }
    auto state = std::make_shared<State>();
    state->routine = std::move(routine);
    state->name = name_;
    state->report = report_;
    state->maxWorkers = std::max({maxWorkers, initialWorkers, 1});
    std::lock_guard stateLock(state->mutex);
    for (int i = 0; i < std::max(initialWorkers, 1); ++i) {
        if (!spawnWorker(state)) break;
    }
    if (state->alive == 0) return false;
    state_ = std::move(state);
    return true;
}

bool WorkerPool::post(TaskArgs args) {
    auto state = current();
    if (!state) return false;
    std::lock_guard lock(state->mutex);
    if (!state->open) return false;
    state->queue.push_back(std::move(args));
    // Grow when the tasks not yet taken outnumber the free workers, up to the maximum.
    if (static_cast<int>(state->queue.size()) > state->waiting && state->alive < state->maxWorkers) {
        spawnWorker(state);
    }
    state->wake.notify_one();
    return true;
}

void WorkerPool::close() {
    auto state = current();
    if (state) {
        auto& s = *state;
        const int self = (tCurrentState == &s) ? 1 : 0;
        std::vector<std::jthread> workers;
        {
            std::unique_lock lock(s.mutex);
            s.open = false;
            s.idle.wait(lock, [&] { return s.queue.empty() && s.running <= self; });
            s.ending = true;
            s.wake.notify_all();
            s.idle.wait(lock, [&] { return s.alive <= self; });
            workers.swap(s.workers);
        }
        const auto me = std::this_thread::get_id();
        for (auto& worker : workers) {
            if (worker.get_id() == me) {
                std::lock_guard lock(mutex_);
                orphans_.push_back(std::move(worker));
            } else {
                worker.join();
            }
        }
        std::lock_guard lock(mutex_);
        if (state_ == state) state_.reset();
    }
    joinOrphans();
}

void WorkerPool::shutDown() {
    {
        std::lock_guard lock(mutex_);
        shutDown_ = true;
    }
    if (auto state = current()) {
        std::lock_guard lock(state->mutex);
        state->open = false;
        state->queue.clear();
        state->stop.request_stop();
        state->idle.notify_all();
    }
    close();
}

void WorkerPool::stopTasks() {
    if (auto state = current()) state->stop.request_stop();
}

bool WorkerPool::exists() const {
    auto state = current();
    if (!state) return false;
    std::lock_guard lock(state->mutex);
    return state->open;
}

int WorkerPool::workerCount() const {
    auto state = current();
    if (!state) return 0;
    std::lock_guard lock(state->mutex);
    return state->alive;
}

int WorkerPool::pendingCount() const {
    auto state = current();
    if (!state) return 0;
    std::lock_guard lock(state->mutex);
    return static_cast<int>(state->queue.size()) + state->running;
}

}  // namespace vigilo
