#include "app/pool.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <system_error>
#include <thread>

namespace vigilo {

struct WorkerPool::State {
    std::mutex mutex;
    std::condition_variable wake;  // workers: a task or the end
    std::condition_variable idle;  // closers: tasks done, workers gone
    TaskRoutine routine;
    std::deque<TaskArgs> queue;
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

void workerLoop(const std::shared_ptr<WorkerPool::State>& state) {
    auto& s = *state;
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
        try {
            s.routine(args);
        } catch (...) {
            // A task's failure stays with the task; the worker serves the next one.
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
        std::thread(workerLoop, state).detach();
    } catch (const std::system_error&) {
        return false;
    }
    ++state->alive;
    ++state->waiting;
    return true;
}

}  // namespace

WorkerPool::~WorkerPool() { close(); }

std::shared_ptr<WorkerPool::State> WorkerPool::current() const {
    std::lock_guard lock(mutex_);
    return state_;
}

bool WorkerPool::create(TaskRoutine routine, int initialWorkers, int maxWorkers) {
    std::lock_guard lock(mutex_);
    if (state_) {
        std::lock_guard stateLock(state_->mutex);
        if (state_->open) return false;
    }
    auto state = std::make_shared<State>();
    state->routine = std::move(routine);
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
    if (!state) return;
    auto& s = *state;
    const int self = (tCurrentState == &s) ? 1 : 0;
    {
        std::unique_lock lock(s.mutex);
        s.open = false;
        s.idle.wait(lock, [&] { return s.queue.empty() && s.running <= self; });
        s.ending = true;
        s.wake.notify_all();
        s.idle.wait(lock, [&] { return s.alive <= self; });
    }
    std::lock_guard lock(mutex_);
    if (state_ == state) state_.reset();
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
