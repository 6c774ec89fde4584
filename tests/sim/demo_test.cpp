// The demonstration world and the vigilo-sim program around it.
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <fstream>
#include <thread>

#include "notify/format.h"
#include "notify/receiver.h"
#include "sim/demo.h"
#include "sim/process.h"
#include "sim_fixture.h"
#include "support/testdir.h"

namespace vigilo::sim::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

class DemoTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.start()); }
    json getJson(const std::string& target) {
        test::Reply r;
        test::parseReply(test::rawExchange(sim.port(), test::getRequest(target), 20s).bytes, r);
        return json::parse(r.body, nullptr, false);
    }
    Simulator sim;
};

TEST_F(DemoTest, WorldLinksAndEventsInTheirOrder) {
    DemoScenario demo(sim, {0.01, false});
    demo.setUp();

    vigilo::testing::TempDir dir;
    ASSERT_TRUE(demo.writeLinkFiles(dir.path()));
    std::string accounts = test::readFileBytes(dir.file("文件1.txt"));
    std::string rooms = test::readFileBytes(dir.file("文件2.txt"));
    auto lines = [](const std::string& text) {
        std::vector<std::string> out;
        size_t pos = 0, e;
        while ((e = text.find("\r\n", pos)) != std::string::npos) {
            out.push_back(text.substr(pos, e - pos));
            pos = e + 2;
        }
        EXPECT_EQ(pos, text.size()) << "every line ends with CR LF";
        return out;
    };
    EXPECT_EQ(lines(accounts), demo.accountLinks());
    EXPECT_EQ(lines(rooms), demo.roomLinks());
    ASSERT_EQ(demo.accountLinks().size(), 3u);
    ASSERT_EQ(demo.roomLinks().size(), 2u);

    std::string profile = "/web/api/v2/user/info/?sec_uid=" + std::string(DemoScenario::kPosterSecUid);
    auto room = [&](const char* id) {
        return getJson("/webcast/room/reflow/info/?room_id=" + std::string(id) + "&live_id=1&app_id=1128");
    };
    int posts = getJson(profile)["user_info"]["aweme_count"];
    EXPECT_EQ(room(DemoScenario::kLiveRoom)["data"]["room"]["status"], 2);
    EXPECT_EQ(room(DemoScenario::kLaterRoom)["data"]["room"]["status"], 4);

    // Scaled by 0.01: a post every 0.3 s, the later room on air from 0.6 s to 3.6 s.
    EXPECT_TRUE(demo.advance(200ms).empty());
    EXPECT_EQ(demo.advance(310ms).size(), 1u);
    EXPECT_EQ(getJson(profile)["user_info"]["aweme_count"], posts + 1);
    demo.advance(700ms);
    EXPECT_EQ(room(DemoScenario::kLaterRoom)["data"]["room"]["status"], 2);
    auto events = demo.advance(3700ms);
    EXPECT_EQ(events.back(), std::string("room ") + DemoScenario::kLaterRoom + " ended its show");
    EXPECT_EQ(room(DemoScenario::kLaterRoom)["data"]["room"]["status"], 4);
    EXPECT_EQ(getJson(profile)["user_info"]["aweme_count"], posts + 12);

    std::string env = demo.environment("/tmp/a b");
    EXPECT_NE(env.find("export VIGILO_ACCOUNT_ENDPOINT=" + sim.baseUrl() + "\n"), std::string::npos);
    EXPECT_NE(env.find("export VIGILO_LIVE_ENDPOINT=" + sim.baseUrl() + "\n"), std::string::npos);
    EXPECT_NE(env.find("export VIGILO_NOTICE_URL=" + sim.noticeUrl() + "\n"), std::string::npos);
    EXPECT_NE(env.find("export VIGILO_HOME='/tmp/a b'\n"), std::string::npos);
}

TEST(DemoVideo, IsAPlayableMp4WhenFfmpegIsThere) {
    if (!Simulator::ffmpegAvailable()) GTEST_SKIP() << "ffmpeg is not installed";
    vigilo::testing::TempDir dir;
    std::string bytes = makeDemoVideo();
    {
        std::ofstream out(dir.file("v.mp4"), std::ios::binary);
        out << bytes;
    }
    EXPECT_EQ(bytes.substr(4, 4), "ftyp");
    auto streams = test::probeStreams(dir.file("v.mp4"), 30s);
    EXPECT_NE(std::find(streams.begin(), streams.end(), "video"), streams.end());
}

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        program = std::string(VIGILO_TEST_BINARY_DIR) + "/src/vigilo-sim";
        if (!findExecutable(program)) GTEST_SKIP() << "vigilo-sim is not built";
    }
    std::string program;
};

TEST_F(ProgramTest, HelpAndBadOptions) {
    auto help = test::runCommand({program, "--help"}, 10s);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("--scenario"), std::string::npos);
    for (std::vector<std::string> bad : {std::vector<std::string>{"--frobnicate"},
                                         {"--port", "70000"},
                                         {"--scenario", "moon"},
                                         {"--tls-cert", "x.pem"}}) {
        bad.insert(bad.begin(), program);
        EXPECT_EQ(test::runCommand(bad, 10s).exitCode, 2) << bad[1];
    }
}

TEST_F(ProgramTest, ServesPrintsItsEnvironmentAndStopsOnSigterm) {
    vigilo::testing::TempDir dir;
    std::string env = dir.file("env");
    ChildProcess child = ChildProcess::spawn(
        {program, "--port", "0", "--scenario", "demo", "--no-streams", "--data-dir", dir.file("data"), "--env-file",
         env, "--quiet", "--tls-cert", dir.file("c.pem"), "--tls-key", dir.file("k.pem")},
        ChildProcess::Options{});
    ASSERT_TRUE(child.running());
    struct stat st {};
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (::stat(env.c_str(), &st) != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    std::string text = test::readFileBytes(env);
    EXPECT_NE(text.find("export VIGILO_ACCOUNT_ENDPOINT=https://127.0.0.1:"), std::string::npos) << text;
    EXPECT_NE(text.find("export VIGILO_INSECURE_TLS=1"), std::string::npos);
    EXPECT_EQ(test::readFileBytes(dir.file("data") + "/文件2.txt").find("https://127.0.0.1:"), 0u);

    child.signal(SIGTERM);
    ASSERT_TRUE(child.waitExit(10s));
    EXPECT_TRUE(WIFEXITED(child.exitStatus()));
    EXPECT_EQ(WEXITSTATUS(child.exitStatus()), 0);
}

// The demo scenario's own webhook receiver: its address is in the environment it prints, and
// each event pushed to it is kept in the --webhook-log file as it arrived.
TEST_F(ProgramTest, DemoWebhookReceiverKeepsWhatArrived) {
    vigilo::testing::TempDir dir;
    const std::string env = dir.file("env"), log = dir.file("webhook.jsonl");
    ChildProcess child =
        ChildProcess::spawn({program, "--port", "0", "--scenario", "demo", "--no-streams", "--data-dir",
                             dir.file("data"), "--env-file", env, "--quiet", "--webhook-log", log},
                            ChildProcess::Options{});
    ASSERT_TRUE(child.running());
    struct stat st {};
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (::stat(env.c_str(), &st) != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    const std::string text = test::readFileBytes(env);
    const std::string key = "export VIGILO_WEBHOOK_URL=";
    const auto at = text.find(key);
    ASSERT_NE(at, std::string::npos) << text;
    const std::string url = text.substr(at + key.size(), text.find('\n', at) - at - key.size());

    const vigilo::Event event{vigilo::EventType::RoomLive,
                              std::chrono::system_clock::now(),
                              {{"nickname", "橙子直播间🍊"}, {"roomId", DemoScenario::kLiveRoom}}};
    vigilo::HttpPushReceiver push(vigilo::HttpPushReceiver::Form::Webhook, url, vigilo::DeliveryPolicy{}, {});
    ASSERT_TRUE(push.deliver(event, {}));
    deadline = std::chrono::steady_clock::now() + 30s;
    while (test::readFileBytes(log) != vigilo::eventJson(event) + "\n" && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(test::readFileBytes(log), vigilo::eventJson(event) + "\n");

    child.signal(SIGTERM);
    ASSERT_TRUE(child.waitExit(10s));
    EXPECT_EQ(WEXITSTATUS(child.exitStatus()), 0);
}

}  // namespace
}  // namespace vigilo::sim::testing
