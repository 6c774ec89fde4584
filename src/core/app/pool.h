#pragma once
// A worker pool: a queue of tasks served by worker threads, created with a task routine,
// an initial worker count and a maximum. Creating a pool that exists does nothing (it keeps
// its first routine). Closing stops intake, waits for queued and running tasks and releases
// the workers; afterwards the pool can be created again. Posting to a pool that does not
// exist drops the task.
//
// Closing never deadlocks: two threads may close at once (both return once the tasks are
// done), and a task may close its own pool (it waits for every task but itself). A pool that is
// created while an earlier generation still drains starts a fresh generation at once; the
// closer keeps waiting for the generation it closed. Workers share their generation's state,
// so a worker that outlives the WorkerPool object never touches freed memory.
#include <functional>
#include <memory>
#include <mutex>
#include <string>
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

    // False when the pool exists already (the first routine stays) or no worker could start.
    bool create(TaskRoutine routine, int initialWorkers = 20, int maxWorkers = 400);
    // False when the task was dropped (no open pool).
    bool post(TaskArgs args);
    void close();
    bool exists() const;
    int workerCount() const;   // threads alive now
    int pendingCount() const;  // queued plus running

    struct State;

private:
    std::shared_ptr<State> current() const;

    mutable std::mutex mutex_;
    std::shared_ptr<State> state_;  // the open generation, or one being closed, or none
};

}  // namespace vigilo
