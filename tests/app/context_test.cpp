#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/context.h"
#include "support/environment.h"
#include "support/testdir.h"

namespace vigilo {
namespace {

using namespace std::chrono_literals;
using testing::ScopedEnv;

// Account and room registrations run at the same time, each pool with its own routine: no
// link may reach the other registration's routine.
TEST(AppContext, AccountAndRoomRegistrationsHaveSeparatePools) {
    testing::TempDir dir;
    RecordingUserInterface ui;
    AppContext ctx(Paths::forDirectory(dir.path()), Pacing{}, Endpoints{}, ui);
    std::mutex mutex;
    std::vector<std::string> wrong;
    std::atomic<int> accounts{0}, rooms{0};
    auto accountJob = std::async(std::launch::async, [&] {
        ctx.accountRegistrationPool.create([&](const TaskArgs& args) {
            if (args.at(0).rfind("account", 0) != 0) {
                std::lock_guard lock(mutex);
                wrong.push_back(args[0]);
            }
            ++accounts;
        });
        for (int i = 0; i < 50; ++i) ctx.accountRegistrationPool.post({"account" + std::to_string(i)});
    });
    auto roomJob = std::async(std::launch::async, [&] {
        ctx.roomRegistrationPool.create([&](const TaskArgs& args) {
            if (args.at(0).rfind("room", 0) != 0) {
                std::lock_guard lock(mutex);
                wrong.push_back(args[0]);
            }
            ++rooms;
        });
        for (int i = 0; i < 50; ++i) ctx.roomRegistrationPool.post({"room" + std::to_string(i)});
        ctx.roomRegistrationPool.close();  // the room job closes its pool; the account pool stays
    });
    accountJob.get();
    roomJob.get();
    EXPECT_TRUE(ctx.accountRegistrationPool.exists());
    EXPECT_FALSE(ctx.roomRegistrationPool.exists());
    ctx.accountRegistrationPool.close();
    EXPECT_EQ(accounts, 50);
    EXPECT_EQ(rooms, 50);
    EXPECT_TRUE(wrong.empty());
}

TEST(ThreadGroup, CountsItsThreadsUntilTheyEnd) {
    ThreadGroup group;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> ran{0};
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(group.startThread([&ran, released] {
            released.wait();
            ++ran;
        }));
    }
    EXPECT_EQ(group.running(), 5);
    EXPECT_FALSE(group.waitIdle(20ms));
    group.startThread([] { throw 42; });  // a stray exception ends only its thread
    release.set_value();
    EXPECT_TRUE(group.waitIdle(30s));
    EXPECT_EQ(ran, 5);
    EXPECT_EQ(group.running(), 0);
}

TEST(Pacing, ScaleMultipliesEveryPauseAndNeverReachesZero) {
    const Pacing base;
    EXPECT_EQ(base.pollGap, Millis(20));
    EXPECT_EQ(base.countdownTick, Millis(1000));
    EXPECT_EQ(base.countdownTicks, 10);
    EXPECT_EQ(base.accountPostGap, Millis(10));
    EXPECT_EQ(base.roomPostGap, Millis(20));
    EXPECT_EQ(base.supervisorRowGap, Millis(20));
    EXPECT_EQ(base.passInterval, Millis(300000));

    const Pacing quick = base.scaled(0.01);
    EXPECT_EQ(quick.passInterval, Millis(3000));
    EXPECT_EQ(quick.countdownTick, Millis(10));
    EXPECT_EQ(quick.accountPostGap, Millis(1));  // 0.1 ms would be a busy loop
    EXPECT_EQ(quick.countdownTicks, 10);

    struct Case {
        const char* value;  // nullptr: unset
        Millis passInterval;
    };
    const Case cases[] = {
        {nullptr, Millis(300000)}, {"0.01", Millis(3000)},  {"2", Millis(600000)},
        {"0", Millis(300000)},     {"-1", Millis(300000)},  {"abc", Millis(300000)},
        {"0.5x", Millis(300000)},  {"nan", Millis(300000)}, {"", Millis(300000)},
    };
    for (const auto& c : cases) {
        const ScopedEnv scale("VIGILO_PACING_SCALE", c.value);
        EXPECT_EQ(Pacing::fromEnvironment().passInterval, c.passInterval) << (c.value ? c.value : "unset");
    }
}

TEST(Paths, DataDirectoryAndRecorderFromTheEnvironment) {
    testing::TempDir dir;
    {
        ScopedEnv home("VIGILO_HOME", (dir.path() / "home" / "deeper").string());
        const Paths paths = Paths::detect();
        EXPECT_EQ(paths.dataDir, dir.path() / "home" / "deeper");
        EXPECT_TRUE(std::filesystem::is_directory(paths.dataDir));
        EXPECT_EQ(paths.programDir, executablePath().parent_path());
        EXPECT_EQ(paths.linkFile1(), paths.dataDir / "文件1.txt");
        EXPECT_EQ(paths.updateFile(), paths.dataDir / "vgmon");
    }
    Paths paths = Paths::forDirectory(dir.path());
    {
        ScopedEnv unset("VIGILO_FFMPEG", "");
        EXPECT_EQ(paths.ffmpegPath(), "ffmpeg");  // nothing beside the program: found on PATH
        testing::writeBytes(dir.path() / "ffmpeg", "#!/bin/sh\n");
        EXPECT_EQ(paths.ffmpegPath(), "ffmpeg");  // not executable
        std::filesystem::permissions(dir.path() / "ffmpeg", std::filesystem::perms::owner_exec,
                                     std::filesystem::perm_options::add);
        EXPECT_EQ(paths.ffmpegPath(), (dir.path() / "ffmpeg").string());
    }
    ScopedEnv configured("VIGILO_FFMPEG", "/opt/ff/bin/ffmpeg");
    EXPECT_EQ(paths.ffmpegPath(), "/opt/ff/bin/ffmpeg");
}

}  // namespace
}  // namespace vigilo
