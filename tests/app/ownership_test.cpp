#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/pool.h"
#include "net/exchange.h"
#include "net/http.h"
#include "sim/simulator.h"
#include "support/testdir.h"
#include "sys/stop.h"

namespace vigilo {
namespace {

using namespace std::chrono_literals;

// A stop must reach work that is waiting, not only loops that look at a flag: an hour's pause
// and a transfer to a host that never answers both end, in the group's threads and in a pool's
// tasks, and every thread is joined. Queued tasks are dropped and the pools stay shut.
TEST(Ownership, StoppingTheWorkersEndsPausesAndTransfersInFlight) {
    // No stall limit may end a held request while the test runs: only the stop can.
    const NetConfig saved = netConfig();
    NetConfig patient = saved;
    patient.timeoutScale = 1000;
    setNetConfig(patient);
    struct Restore {
        NetConfig config;
        ~Restore() { setNetConfig(config); }
    } restore{saved};

    sim::Simulator sim;
    ASSERT_TRUE(sim.start());
    sim.setFault(sim::kProfile, sim::Fault::Stall);
    const std::string stalledUrl = sim.baseUrl() + "/web/api/v2/user/info/?sec_uid=x";

    testing::TempDir dir;
    RecordingUserInterface ui;
    AppContext ctx(Paths::forDirectory(dir.path()), Pacing{}, Endpoints{}, ui);

    std::atomic<int> pausesEnded{0}, transfersStopped{0}, tasksRun{0};
    auto fetch = [&] {
        net::ExchangeRequest request;
        request.url = stalledUrl;
        const net::ExchangeOutcome outcome = net::performExchange(request);
        if (outcome.failure == net::FailureKind::Stopped && outcome.error == "stopped" && !outcome.ok())
            ++transfersStopped;
    };
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(ctx.startThread("pause", [&] {
            delay(std::chrono::hours(1));
            ++pausesEnded;
        }));
        ASSERT_TRUE(ctx.startThread("fetch", fetch));
    }
    // Two workers at most: two tasks in flight, the rest queued.
    ASSERT_TRUE(ctx.roomPollPool.create(
        [&](const TaskArgs& args) {
            ++tasksRun;
            if (args.at(0) == "pause") {
                delay(std::chrono::hours(1));
                ++pausesEnded;
            } else {
                fetch();
            }
        },
        2, 2));
    ctx.roomPollPool.post({"pause"});
    ctx.roomPollPool.post({"fetch"});
    for (int i = 0; i < 20; ++i) ctx.roomPollPool.post({"pause"});
    ASSERT_TRUE(sim.waitForRequests(sim::kProfile, 3, 60s));

    auto stopping = std::async(std::launch::async, [&] { ctx.stopWorkers(); });
    ASSERT_EQ(stopping.wait_for(120s), std::future_status::ready);
    EXPECT_EQ(ctx.threads.running(), 0);
    EXPECT_EQ(ctx.roomPollPool.workerCount(), 0);
    EXPECT_EQ(pausesEnded, 3);
    EXPECT_EQ(transfersStopped, 3);
    EXPECT_EQ(tasksRun, 2);
    EXPECT_FALSE(ctx.roomPollPool.create([](const TaskArgs&) {}));
    EXPECT_FALSE(ctx.roomPollPool.post({"late"}));
    // Nothing that escaped was reported.
    EXPECT_EQ(ctx.log.text(), "");
}

// A thread started by work that has its own stop (a monitor's run) stops with that work, and
// so do the threads it starts in turn; the group's other threads run on.
TEST(Ownership, ThreadsStartedByAStoppedJobStopWithIt) {
    ThreadGroup group;
    std::stop_source job;
    std::atomic<int> ended{0};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    ASSERT_TRUE(group.startThread("other", [released] { released.wait(); }));
    {
        const ScopedStopToken installed(job.get_token());
        ASSERT_TRUE(group.startThread("monitor", [&] {
            group.startThread("poll", [&] {
                delay(std::chrono::hours(1));
                ++ended;
            });
            delay(std::chrono::hours(1));
            ++ended;
        }));
    }
    EXPECT_FALSE(stopRequested());  // the scope gave the caller its own token back
    job.request_stop();
    // The two job threads end; the other one is still there.
    for (int i = 0; i < 6000 && !(ended == 2 && group.running() == 1); ++i) group.waitIdle(10ms);
    EXPECT_EQ(ended, 2);
    EXPECT_EQ(group.running(), 1);
    release.set_value();
    EXPECT_TRUE(group.waitIdle(60s));
}

// Stopping a pool's tasks (the headless stop before 停止录制): the task in flight and those
// still queued end at once, the pool stays open until closed, and a pool created afterwards
// runs its tasks in full.
TEST(Ownership, StoppingAPoolsTasksSparesTheNextGeneration) {
    WorkerPool pool;
    std::atomic<int> cut{0}, full{0};
    auto pause = [&](const TaskArgs&) {
        delay(std::chrono::hours(1));
        ++(stopRequested() ? cut : full);
    };
    ASSERT_TRUE(pool.create(pause, 1, 1));
    for (int i = 0; i < 3; ++i) pool.post({"row"});
    pool.stopTasks();
    EXPECT_TRUE(pool.exists());
    auto closing = std::async(std::launch::async, [&] { pool.close(); });
    ASSERT_EQ(closing.wait_for(120s), std::future_status::ready);
    EXPECT_EQ(cut, 3);

    ASSERT_TRUE(pool.create([&](const TaskArgs&) {
        delay(1ms);
        ++(stopRequested() ? cut : full);
    }));
    pool.post({"row"});
    pool.close();
    EXPECT_EQ(full, 1);
    EXPECT_EQ(cut, 3);
}

// An exception that escapes a routine is told with the routine's name on standard error and in
// the activity log, and ends only that routine: the group and the pool serve the next one.
TEST(Ownership, AnEscapedExceptionIsToldWithTheRoutinesName) {
    testing::TempDir dir;
    RecordingUserInterface ui;
    AppContext ctx(Paths::forDirectory(dir.path()), Pacing{}, Endpoints{}, ui);
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(ctx.startThread("saveAccountEntry", [] { throw std::runtime_error("disk\r\nfull"); }));
    ASSERT_TRUE(ctx.threads.waitIdle(60s));
    ASSERT_TRUE(ctx.roomPollPool.create([](const TaskArgs& args) {
        if (args.at(0) == "bad") throw 7;
    }));
    ctx.roomPollPool.post({"bad"});
    ctx.roomPollPool.close();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("saveAccountEntry: disk full\n"), std::string::npos) << err;
    EXPECT_NE(err.find("pollRoom: unknown exception\n"), std::string::npos) << err;

    const std::string log = ctx.log.text();
    EXPECT_NE(log.find("：saveAccountEntry: disk full\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("：pollRoom: unknown exception\r\n"), std::string::npos) << log;

    std::atomic<bool> ran{false};
    ASSERT_TRUE(ctx.startThread("next", [&] { ran = true; }));
    ASSERT_TRUE(ctx.threads.waitIdle(60s));
    EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace vigilo
