// The event stream: publishing never waits for a receiver, a full queue drops its oldest
// events with one log line, and one stuck receiver holds up nobody else.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "app/events.h"

namespace vigilo {
namespace {

using namespace std::chrono_literals;

Event numbered(int n) {
    return Event{EventType::PostSaved, std::chrono::system_clock::now(), {{"id", std::to_string(n)}}};
}

// A receiver that holds every delivery until opened, and keeps what it got.
class Gate {
public:
    void receive(const Event& event) {
        std::unique_lock lock(mutex_);
        entered_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
        ids_.push_back(event.field("id"));
        changed_.notify_all();
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool waitEntered() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 30s, [&] { return entered_; });
    }
    std::vector<std::string> ids() {
        std::lock_guard lock(mutex_);
        return ids_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false, entered_ = false;
    std::vector<std::string> ids_;
};

std::vector<std::string> range(int from, int to) {
    std::vector<std::string> out;
    for (int n = from; n <= to; ++n) out.push_back(std::to_string(n));
    return out;
}

// 1000 events published while the receiver is stuck in its first delivery: every publish
// returns, the receiver then gets the first event and the newest `capacity` ones in order,
// and the overflow is logged once.
TEST(EventBus, BurstAgainstAStuckReceiverDropsTheOldestWithOneLogLine) {
    struct Case {
        std::size_t capacity;
        std::vector<std::string> expected;
        std::size_t dropped;
        std::size_t logLines;
    };
    std::vector<std::string> all = range(1, 1000);
    std::vector<std::string> newest = {"1"};
    for (auto& id : range(985, 1000)) newest.push_back(id);
    for (const Case& c : {Case{1000, all, 0, 0}, Case{16, newest, 983, 1}}) {
        SCOPED_TRACE(c.capacity);
        std::vector<std::string> log;
        std::mutex logMutex;
        EventBus bus(c.capacity);
        bus.setOverflowLog([&](const std::string& line) {
            std::lock_guard lock(logMutex);
            log.push_back(line);
        });
        Gate gate;
        bus.subscribe([&](const Event& e) { gate.receive(e); }, "gate");
        bus.publish(numbered(1));
        ASSERT_TRUE(gate.waitEntered());
        for (int n = 2; n <= 1000; ++n) bus.publish(numbered(n));
        EXPECT_EQ(bus.dropped(), c.dropped);
        gate.open();
        ASSERT_TRUE(bus.flush(60s));
        EXPECT_EQ(gate.ids(), c.expected);
        std::lock_guard lock(logMutex);
        ASSERT_EQ(log.size(), c.logLines);
        if (c.logLines) {
            EXPECT_EQ(log[0], "通知（gate）跟不上，丢弃最早的事件，队列上限 16 条\r\n");
        }
    }
}

// Once the queue has drained, a later overflow is a new episode and gets its own line.
TEST(EventBus, EachOverflowEpisodeLogsOnce) {
    std::vector<std::string> log;
    std::mutex logMutex;
    EventBus bus(2);
    bus.setOverflowLog([&](const std::string& line) {
        std::lock_guard lock(logMutex);
        log.push_back(line);
    });
    for (int round = 0; round < 2; ++round) {
        Gate gate;
        const int id = bus.subscribe([&](const Event& e) { gate.receive(e); });
        bus.publish(numbered(0));
        ASSERT_TRUE(gate.waitEntered());
        for (int n = 1; n <= 50; ++n) bus.publish(numbered(n));
        gate.open();
        ASSERT_TRUE(bus.flush(60s));
        EXPECT_EQ(gate.ids(), (std::vector<std::string>{"0", "49", "50"}));
        bus.unsubscribe(id);
    }
    std::lock_guard lock(logMutex);
    EXPECT_EQ(log.size(), 2u);
}

// A receiver that never returns on its own delays neither the publisher nor the other
// receivers, and the bus still ends: its stop token is set and its thread joined.
TEST(EventBus, StuckReceiverDelaysNobodyAndIsStoppedAtTheEnd) {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> fast;
    bool stuckEntered = false, stuckLeft = false;
    {
        EventBus bus;
        bus.subscribe(
            [&](const Event&, std::stop_token stop) {
                std::unique_lock lock(mutex);
                stuckEntered = true;
                changed.notify_all();
                std::condition_variable_any waiter;
                waiter.wait(lock, stop, [] { return false; });
                stuckLeft = true;
            },
            "stuck");
        bus.subscribe([&](const Event& e) {
            std::lock_guard lock(mutex);
            fast.push_back(e.field("id"));
            changed.notify_all();
        });
        for (int n = 1; n <= 100; ++n) bus.publish(numbered(n));
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return fast.size() == 100 && stuckEntered; }));
        EXPECT_EQ(fast, range(1, 100));
        EXPECT_FALSE(stuckLeft);
    }
    EXPECT_TRUE(stuckLeft);
}

// A receiver that unsubscribes itself neither deadlocks nor is called again.
TEST(EventBus, ReceiverMayUnsubscribeItself) {
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    int id = 0;
    // Goes first: its end joins the receiver's thread, which still uses the above.
    EventBus bus;
    std::unique_lock lock(mutex);
    id = bus.subscribe([&](const Event&) {
        {
            std::lock_guard inner(mutex);
            ++calls;
        }
        bus.unsubscribe(id);
        changed.notify_all();
    });
    lock.unlock();
    bus.publish(numbered(1));
    bus.publish(numbered(2));
    lock.lock();
    ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return calls >= 1; }));
    lock.unlock();
    bus.publish(numbered(3));
    EXPECT_TRUE(bus.flush(30s));
    lock.lock();
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace vigilo
