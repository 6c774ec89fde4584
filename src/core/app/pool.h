#pragma once
// A worker pool: a queue of tasks served by worker threads, created with a task routine,
// an initial worker count and a maximum. Creating a pool that exists does nothing (it keeps
// its first routine). Closing stops intake, waits for queued and running tasks and releases
// the workers; afterwards the pool can be created again. Posting to a pool that does not
// exist drops the task.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vigilo {

using TaskArgs = std::vector<std::string>;
using TaskRoutine = std::function<void(const TaskArgs&)>;

class WorkerPool {
public:
    WorkerPool() = default;
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    bool create(TaskRoutine routine, int initialWorkers = 20, int maxWorkers = 400);
    bool post(TaskArgs args);
    void close();
    bool exists() const;
    int workerCount() const;  // threads alive now
    int pendingCount() const;  // queued plus running

private:
    void workerLoop();

    mutable std::mutex mutex_;
    std::condition_variable wake_, idle_;
    TaskRoutine routine_;
    std::deque<TaskArgs> queue_;
    std::vector<std::thread> workers_;
    int maxWorkers_ = 0, idleWorkers_ = 0, running_ = 0;
    bool open_ = false, stopping_ = false;
    std::mutex closeMutex_;
};

}  // namespace vigilo
