#pragma once
// Both monitors on a scratch data directory, talking to an in-process simulated service, with
// quick pacing and a recorder stub found in the program's directory.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/context.h"
#include "live/monitor.h"
#include "reliability/fixture.h"
#include "works/monitor.h"

namespace vigilo::reliability {

class MonitorsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(startNamedSimulator(sim_));
        Endpoints endpoints;
        endpoints.account = endpoints.live = sim_.baseUrl();
        Paths paths = Paths::forDirectory(dir_.path() / "data");
        paths.programDir = dir_.path() / "bin";
        fs::create_directories(paths.dataDir);
        fs::create_directories(paths.programDir);
        writeRecorderStub(paths.programDir / "ffmpeg", calls_);
        Pacing pacing = Pacing{}.scaled(0.01);
        // A failed video or first query is tried again a cycle later; cycles a minute long keep
        // those tries out of the case that caused them (they have tests of their own).
        pacing.countdownTick = std::chrono::milliseconds(6000);
        ctx_ = std::make_unique<AppContext>(paths, pacing, endpoints, ui_);
        works_ = std::make_unique<WorksMonitor>(*ctx_);
        live_ = std::make_unique<LiveMonitor>(*ctx_);
    }

    void TearDown() override {
        settle();
        if (live_) live_->stopRecording();
        live_.reset();
        works_.reset();
        ctx_.reset();
        sim_.stop();
    }

    void settle() {
        if (!ctx_) return;
        EXPECT_TRUE(waitFor([&] { return ctx_->accountRegistrationPool.pendingCount() == 0; }, 30s));
        EXPECT_TRUE(ctx_->threads.waitIdle(30s));
        EXPECT_TRUE(waitFor([&] { return live_->runningRecorders() == 0; }, 30s));
    }

    const fs::path& data() const { return ctx_->paths.dataDir; }

    int registerAccount(const sim::Account& a) {
        sim_.addAccount(a);
        works_->registerAccounts(sim_.accountShareLink(a.secUid) + "\r\n", false);
        settle();
        return ctx_->accountTable.rowCount() - 1;
    }

    vigilo::testing::TempDir dir_;
    fs::path calls_ = dir_.path() / "recorder-calls";
    sim::Simulator sim_;
    RecordingUserInterface ui_;
    std::unique_ptr<AppContext> ctx_;
    std::unique_ptr<WorksMonitor> works_;
    std::unique_ptr<LiveMonitor> live_;
};

}  // namespace vigilo::reliability
