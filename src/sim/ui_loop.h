#pragma once
// The thread that plays a front end's UI thread in tests and benchmarks: runs what it is handed,
// one call at a time, in order, as the window's event loop runs posted calls.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

namespace vigilo::sim {

class UiLoop {
public:
    UiLoop() : thread_([this](std::stop_token stop) { run(stop); }) {}
    // Calls not yet run are dropped, as a closed window's are.
    ~UiLoop() {
        thread_.request_stop();
        changed_.notify_all();
    }
    UiLoop(const UiLoop&) = delete;
    UiLoop& operator=(const UiLoop&) = delete;

    void post(std::function<void()> call) {
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(std::move(call));
        }
        changed_.notify_all();
    }
    std::thread::id id() const { return thread_.get_id(); }

private:
    void run(std::stop_token stop) {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, stop, [this] { return !calls_.empty(); });
            if (stop.stop_requested()) return;
            auto call = std::move(calls_.front());
            calls_.pop_front();
            lock.unlock();
            call();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<std::function<void()>> calls_;
    std::jthread thread_;  // last: it stops before the queue goes
};

}  // namespace vigilo::sim
