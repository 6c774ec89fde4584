// Closing and stopping with work in flight against a service that holds every request: the
// stop reaches the transfers, every thread the program started is joined, and no row changes.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/context.h"
#include "control/controller.h"
#include "net/http.h"
#include "reliability/fixture.h"

namespace vigilo::reliability {
namespace {

constexpr int kAccounts = 24;

class CloseTest : public ::testing::Test {
protected:
    void SetUp() override {
        // No stall limit may end a held request while a test runs: only the stop can.
        saved_ = netConfig();
        NetConfig patient = saved_;
        patient.timeoutScale = 1000;
        setNetConfig(patient);

        ASSERT_TRUE(startNamedSimulator(sim_));
        std::string links;
        for (int i = 0; i < kAccounts; ++i) {
            const sim::Account a = makeAccount(std::to_string(100 + i), "号" + std::to_string(i));
            sim_.addAccount(a);
            links += sim_.accountShareLink(a.secUid) + "\r\n";
        }
        before_ = measureResources(sim_.port());

        Endpoints endpoints;
        endpoints.account = endpoints.live = sim_.baseUrl();
        Paths paths = Paths::forDirectory(dir_.path() / "data");
        fs::create_directories(paths.dataDir);
        ctx_ = std::make_unique<AppContext>(paths, Pacing{}.scaled(0.01), endpoints, ui_);
        controller_ = std::make_unique<Controller>(*ctx_);
        ctx_->markStarted();
        controller_->addAccounts(links, true);
        ASSERT_TRUE(
            waitFor([&] { return ctx_->threads.running() == 0 && ctx_->accountTable.rowCount() == kAccounts; }, 120s));
        for (int r = 0; r < kAccounts; ++r) ASSERT_EQ(ctx_->accountTable.cell(r, acol::PostCount), "1");

        // From here every profile request is held unanswered.
        sim_.setFault(sim::kProfile, sim::Fault::Stall);
        const std::size_t seen = sim_.requestCount(sim::kProfile);
        controller_->startWorksMonitor();
        ASSERT_TRUE(sim_.waitForRequests(sim::kProfile, seen + 8, 120s));
    }

    void TearDown() override {
        controller_.reset();
        ctx_.reset();
        sim_.stop();
        setNetConfig(saved_);
    }

    void expectRowsUnchanged() {
        for (int r = 0; r < kAccounts; ++r) {
            EXPECT_EQ(ctx_->accountTable.cell(r, acol::PostCount), "1") << r;
            EXPECT_EQ(ctx_->accountTable.cell(r, acol::Counter), "0") << r;
        }
    }

    NetConfig saved_;
    vigilo::testing::TempDir dir_;
    sim::Simulator sim_;
    RecordingUserInterface ui_;
    Resources before_;
    std::unique_ptr<AppContext> ctx_;
    std::unique_ptr<Controller> controller_;
};

// The window's close: polls held by the service end, every thread is joined, and the program
// holds no more threads than before it started.
TEST_F(CloseTest, ClosingJoinsEveryThreadWhilePollsAreHeld) {
    controller_->closeProgram();
    ASSERT_TRUE(controller_->waitClosed(120s));
    EXPECT_EQ(ctx_->threads.running(), 0);
    expectRowsUnchanged();
    controller_.reset();
    ctx_.reset();
    const Resources after = measureResources(sim_.port());
    EXPECT_EQ(after.threads, before_.threads) << describe(after);
    EXPECT_EQ(after.simConnections, 0) << describe(after);
}

// "停止监控": the monitor and its polls in flight end while the service still holds them, and
// the program stays usable: the next start polls again.
TEST_F(CloseTest, StoppingTheWorksMonitorEndsItsPollsInFlight) {
    controller_->stopWorksMonitor();
    ASSERT_TRUE(ctx_->threads.waitIdle(120s));
    EXPECT_EQ(controller_->works().monitorThreads(), 0);
    expectRowsUnchanged();

    sim_.clearFaults();
    const std::size_t seen = sim_.requestCount(sim::kProfile);
    controller_->startWorksMonitor();
    EXPECT_TRUE(sim_.waitForRequests(sim::kProfile, seen + kAccounts, 120s));
    controller_->stopWorksMonitor();
    EXPECT_TRUE(ctx_->threads.waitIdle(120s));
}

}  // namespace
}  // namespace vigilo::reliability
