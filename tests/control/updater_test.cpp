#include "update/updater.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "server.h"

namespace vigilo {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(UpdateProgress, BarRoundsLabelFloors) {
    struct Case {
        std::int64_t total, received;
        int bar;
        std::string label;
    };
    const Case cases[] = {
        {1000, 996, 100, "下载进度：99%"},  // 99.6
        {1000, 994, 99, "下载进度：99%"},
        {1000, 0, 0, "下载进度：0%"},
        {1000, 1000, 100, "下载进度：100%"},
        {3, 1, 33, "下载进度：33%"},
        {1000, 1500, 100, "下载进度：100%"},  // more than announced
        {0, 20480, -1, "下载进度：20KB"},     // no Content-Length: indeterminate
    };
    for (const auto& c : cases) {
        const UpdateProgress progress = updateProgress(c.total, c.received);
        EXPECT_EQ(progress.bar, c.bar) << c.total << "/" << c.received;
        EXPECT_EQ(progress.label, c.label) << c.total << "/" << c.received;
    }
}

class UpdaterTest : public ::testing::Test, public testing::ContextFixture {
protected:
    testing::LocalServer server;
    Updater updater{*ctx};
};

// The update is a script that records that it ran; it is downloaded with progress, made
// executable and started.
TEST_F(UpdaterTest, DownloadsWithProgressAndStartsTheUpdate) {
    const fs::path marker = dir.path() / "ran.txt";
    std::string script = "#!/bin/sh\necho ran > '" + marker.string() + "'\n";
    script += "# " + std::string(30000, 'p') + "\n";  // several chunks
    for (bool chunked : {false, true}) {
        testing::writeBytes(ctx->paths.updateFile(), "stale partial file from an earlier try");
        server.route("/vgmon", 200, script, "", chunked, "application/octet-stream");
        std::vector<UpdateProgress> seen;
        const DownloadResult result = updater.runUpdate(server.url("/vgmon"), [&](const UpdateProgress& p) { seen.push_back(p); });
        ASSERT_EQ(result.code, 0) << result.error;
        EXPECT_EQ(testing::readBytes(ctx->paths.updateFile()), script);
        EXPECT_EQ(::access(ctx->paths.updateFile().c_str(), X_OK), 0);
        ASSERT_FALSE(seen.empty());
        if (chunked) {
            for (const auto& p : seen) EXPECT_EQ(p.bar, -1);
        } else {
            EXPECT_EQ(seen.back().bar, 100);
            EXPECT_EQ(seen.back().label, "下载进度：100%");
            for (size_t i = 1; i < seen.size(); ++i) EXPECT_GE(seen[i].bar, seen[i - 1].bar);
        }
    }
    EXPECT_TRUE(ui.messages().empty());

    ASSERT_TRUE(updater.launch());
    for (int i = 0; i < 3000 && testing::readBytes(marker) != "ran\n"; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(testing::readBytes(marker), "ran\n");
}

// An error page is never taken for the build: the failure is shown and nothing is left to run.
TEST_F(UpdaterTest, FailuresShowTheirMessageAndLeaveNothingToStart) {
    struct Case {
        std::string url;
        std::string message;  // "" when any failure text will do
    };
    server.route("/gone", 404, "<html>missing</html>", "", false, "text/html");
    server.route("/broken", 500, "oops");
    const Case cases[] = {
        {server.url("/gone"), ""},
        {server.url("/broken"), ""},
        {"http://127.0.0.1:9/vgmon", "地址失效，请进入官网下载最新版本"},
    };
    size_t shown = 0;
    for (const auto& c : cases) {
        testing::writeBytes(ctx->paths.updateFile(), "old");
        const DownloadResult result = updater.runUpdate(c.url, {});
        EXPECT_EQ(result.code, -1) << c.url;
        EXPECT_FALSE(fs::exists(ctx->paths.updateFile())) << c.url;
        const auto messages = ui.messages();
        ASSERT_EQ(messages.size(), shown + 1) << c.url;
        EXPECT_FALSE(messages.back().text.empty()) << c.url;
        if (!c.message.empty()) {
            EXPECT_EQ(messages.back().text, c.message) << c.url;
            EXPECT_EQ(messages.back().icon, MessageIcon::Information) << c.url;
        }
        shown = messages.size();
    }
    EXPECT_FALSE(updater.running());
}

TEST_F(UpdaterTest, ASecondPressWhileDownloadingIsIgnored) {
    server.route("/vgmon", 200, std::string(200000, 'u'), "", true, "application/octet-stream");
    std::promise<void> firstChunk, release;
    std::shared_future<void> released = release.get_future().share();
    bool signalled = false;
    std::promise<DownloadResult> finished;
    ASSERT_TRUE(updater.startUpdate(
        server.url("/vgmon"),
        [&](const UpdateProgress&) {
            if (!signalled) {
                signalled = true;
                firstChunk.set_value();
                released.wait();
            }
        },
        [&](const DownloadResult& result) { finished.set_value(result); }));
    ASSERT_EQ(firstChunk.get_future().wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(updater.running());
    EXPECT_FALSE(updater.startUpdate(server.url("/vgmon"), {}, {}));
    EXPECT_EQ(updater.runUpdate(server.url("/vgmon"), {}).code, -1);
    release.set_value();
    auto result = finished.get_future();
    ASSERT_EQ(result.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(result.get().code, 0);
    EXPECT_TRUE(ctx->threads.waitIdle(30s));
    EXPECT_FALSE(updater.running());
}

}  // namespace
}  // namespace vigilo
