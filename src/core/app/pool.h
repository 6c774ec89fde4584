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
// closer keeps waiting for the generation it closed. Closing joins the generation's workers; a
// task that closed its own pool leaves its thread to be joined by the next create, close or
// the pool's end. Shutting down drops the queue, asks the running tasks to stop (sys/stop.h:
// transfers and pauses in flight end) and closes for good.
#include <functional>
#include <memory>
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

    // False when the pool exists already (the first routine stays) or no worker could start.
    bool create(TaskRoutine routine, int initialWorkers = 20, int maxWorkers = 400);
    // False when the task was dropped (no open pool).
    bool post(TaskArgs args);
    void close();
    // Closes for good: queued tasks are dropped, running ones asked to stop, and no create
    // succeeds afterwards.
    void shutDown();
    // Asks this generation's tasks, running and still queued, to stop (their transfers and
    // pauses end); the pool stays open until closed, and a pool created afterwards starts fresh.
    void stopTasks();
    bool exists() const;
    int workerCount() const;   // threads alive now
    int pendingCount() const;  // queued plus running
    // The routine's name and where a task's escaped exception is told besides standard error.
    void setReport(std::string name, std::function<void(const std::string& line)> report);

    struct State;

private:
    std::shared_ptr<State> current() const;

    void joinOrphans();

    mutable std::mutex mutex_;
    std::shared_ptr<State> state_;       // the open generation, or one being closed, or none
    std::vector<std::jthread> orphans_;  // workers that closed their own pool
    bool shutDown_ = false;
    std::string name_ = "pool task";
    std::function<void(const std::string&)> report_;
};

}  // namespace vigilo
