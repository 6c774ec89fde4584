#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/pool.h"

namespace vigilo {
namespace {

using namespace std::chrono_literals;

// Holds tasks until opened.
class Gate {
public:
    void wait() {
        std::unique_lock lock(mutex_);
        ++waiting_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool waitForWaiters(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 20s, [&] { return waiting_ >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int waiting_ = 0;
    bool open_ = false;
};

TEST(WorkerPool, StartsTwentyGrowsToFourHundredAndCloseWaitsForEveryTask) {
    WorkerPool pool;
    Gate gate;
    std::atomic<int> done{0};
    ASSERT_TRUE(pool.create([&](const TaskArgs&) {
        gate.wait();
        ++done;
    }));
    EXPECT_EQ(pool.workerCount(), 20);
    for (int i = 0; i < 450; ++i) ASSERT_TRUE(pool.post({std::to_string(i)}));
    ASSERT_TRUE(gate.waitForWaiters(400));
    EXPECT_EQ(pool.workerCount(), 400);
    EXPECT_EQ(pool.pendingCount(), 450);

    auto closing = std::async(std::launch::async, [&] { pool.close(); });
    EXPECT_EQ(closing.wait_for(100ms), std::future_status::timeout);  // tasks still held
    EXPECT_FALSE(pool.post({"late"}));                                // intake stopped
    gate.open();
    ASSERT_EQ(closing.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(done, 450);  // queued ones included
    EXPECT_FALSE(pool.exists());
    EXPECT_EQ(pool.workerCount(), 0);
}

TEST(WorkerPool, CreatingTwiceKeepsTheFirstRoutineAndAClosedPoolDropsPosts) {
    WorkerPool pool;
    std::mutex mutex;
    std::vector<std::string> seen;
    auto routine = [&](const char* name) {
        return [&, name](const TaskArgs& args) {
            std::lock_guard lock(mutex);
            seen.push_back(std::string(name) + ":" + args.at(0) + ":" + args.at(1));
        };
    };
    EXPECT_FALSE(pool.post({"before", "0"}));
    ASSERT_TRUE(pool.create(routine("first"), 2, 4));
    EXPECT_FALSE(pool.create(routine("second")));
    EXPECT_TRUE(pool.post({"link", "1"}));
    pool.close();
    EXPECT_FALSE(pool.post({"after", "2"}));
    ASSERT_TRUE(pool.create(routine("third"), 2, 4));  // usable again after close
    EXPECT_TRUE(pool.post({"again", "3"}));
    pool.close();
    pool.close();  // closing an absent pool is harmless
    EXPECT_EQ(seen, (std::vector<std::string>{"first:link:1", "third:again:3"}));
}

// Two closers at once, and a task that closes its own pool: all return once the work is done.
TEST(WorkerPool, CloseFromTwoThreadsAndFromInsideATaskNeverDeadlocks) {
    for (int round = 0; round < 20; ++round) {
        WorkerPool pool;
        std::atomic<int> done{0};
        std::promise<void> allPosted;
        std::shared_future<void> posted = allPosted.get_future().share();
        ASSERT_TRUE(pool.create([&, posted](const TaskArgs& args) {
            posted.wait();  // the closing task must not stop the intake before every post
            std::this_thread::sleep_for(1ms);
            if (args.at(0) == "close") pool.close();
            ++done;
        }));
        for (int i = 0; i < 30; ++i) ASSERT_TRUE(pool.post({i == 10 ? "close" : "work"}));
        auto a = std::async(std::launch::async, [&] { pool.close(); });
        auto b = std::async(std::launch::async, [&] { pool.close(); });
        allPosted.set_value();
        ASSERT_EQ(a.wait_for(30s), std::future_status::ready);
        ASSERT_EQ(b.wait_for(30s), std::future_status::ready);
        EXPECT_EQ(done, 30);
        EXPECT_FALSE(pool.exists());
    }
}

// A pool created while an earlier generation drains is a new pool with its own routine; the
// earlier closer still waits for its own tasks.
TEST(WorkerPool, CreateDuringADrainStartsAFreshPool) {
    WorkerPool pool;
    Gate gate;
    std::atomic<int> oldDone{0}, newDone{0};
    ASSERT_TRUE(pool.create([&](const TaskArgs&) {
        gate.wait();
        ++oldDone;
    }));
    pool.post({"old"});
    ASSERT_TRUE(gate.waitForWaiters(1));
    auto closing = std::async(std::launch::async, [&] { pool.close(); });
    while (pool.exists()) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(pool.create([&](const TaskArgs&) { ++newDone; }));
    EXPECT_TRUE(pool.post({"new"}));
    EXPECT_EQ(closing.wait_for(50ms), std::future_status::timeout);
    gate.open();
    ASSERT_EQ(closing.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(oldDone, 1);
    EXPECT_TRUE(pool.exists());
    pool.close();
    EXPECT_EQ(newDone, 1);
}

}  // namespace
}  // namespace vigilo
