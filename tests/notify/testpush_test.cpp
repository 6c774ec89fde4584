// "发送测试通知" / --notify-test: one test event to every receiver, each tried once and at the
// same time, and what became of it, against receivers that answer, refuse and hang.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "notify/format.h"
#include "notify/testpush.h"
#include "sim/push_receiver.h"
#include "support/testdir.h"

namespace vigilo {
namespace {

using namespace std::chrono_literals;
using sim::PushReceiver;

TEST(NotifyTest, EachReceiverSaysWhetherTheTestArrivedWithinItsBound) {
    PushReceiver answering, hanging;
    ASSERT_TRUE(answering.start());
    ASSERT_TRUE(hanging.start());
    hanging.setMode(PushReceiver::Mode::Stall);
    testing::TempDir dir;
    const std::filesystem::path got = dir.path() / "got.json";
    const std::filesystem::path script = dir.path() / "on-event";
    testing::writeBytes(script, "#!/bin/sh\ncat > '" + got.string() + "'\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);

    NotifyConfig config;
    config.notifyUrl = answering.url("/topic");
    config.webhookUrl = hanging.url("/hook");
    config.onEventCommand = script.string();
    config.policy.connectTimeoutSeconds = 1;
    config.policy.totalTimeoutSeconds = 1;
    config.policy.commandTimeout = 5s;
    const auto start = std::chrono::steady_clock::now();
    const auto results = sendTestEvent(config);
    // Tried once each, at the same time: the hanging one's bound, not the sum of all.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    ASSERT_EQ(results.size(), 3u);

    EXPECT_EQ(results[0].name, "ntfy");
    EXPECT_TRUE(results[0].report.arrived);
    EXPECT_EQ(results[0].report.status, 200);
    ASSERT_EQ(answering.count(), 1u);
    EXPECT_EQ(answering.requests()[0].body, "这是一条测试通知，收到即表示通知设置正确");
    EXPECT_NE(testDeliveryLine(results[0]).find("ntfy (VIGILO_NOTIFY_URL): arrived, HTTP 200, "), std::string::npos)
        << testDeliveryLine(results[0]);
    EXPECT_EQ(testDeliveryLineZh(results[0]).rfind("测试通知 推送通知（VIGILO_NOTIFY_URL）：已送达（HTTP 200，", 0), 0u)
        << testDeliveryLineZh(results[0]);

    EXPECT_EQ(results[1].name, "webhook");
    EXPECT_FALSE(results[1].report.arrived);
    EXPECT_EQ(results[1].report.attempts, 1);
    EXPECT_EQ(results[1].report.reason, "超时");
    EXPECT_EQ(hanging.count(), 1u);
    EXPECT_NE(testDeliveryLine(results[1]).find("webhook (VIGILO_WEBHOOK_URL): NOT arrived, "), std::string::npos)
        << testDeliveryLine(results[1]);
    EXPECT_EQ(testDeliveryLineZh(results[1]).rfind("测试通知 事件推送（VIGILO_WEBHOOK_URL）：未送达（超时，", 0), 0u)
        << testDeliveryLineZh(results[1]);

    EXPECT_EQ(results[2].name, "command");
    EXPECT_TRUE(results[2].report.arrived);
    EXPECT_EQ(results[2].report.exitCode, 0);
    const auto doc = nlohmann::json::parse(testing::readBytes(got), nullptr, false);
    EXPECT_EQ(doc.value("type", ""), "test") << testing::readBytes(got);
}

// Refused: a closed port and a receiver that says no; neither is retried for a test.
TEST(NotifyTest, RefusalsAreToldWithTheirReason) {
    PushReceiver refusing, closed;
    ASSERT_TRUE(refusing.start());
    ASSERT_TRUE(closed.start());
    refusing.setStatus(403);
    const std::string closedUrl = closed.url();
    closed.stop();
    NotifyConfig config;
    config.notifyUrl = closedUrl;
    config.webhookUrl = refusing.url();
    config.policy.backoff = 10ms;
    const auto results = sendTestEvent(config);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_FALSE(results[0].report.arrived);
    EXPECT_EQ(results[0].report.reason, "无法连接");
    EXPECT_EQ(results[0].report.attempts, 1);
    EXPECT_FALSE(results[1].report.arrived);
    EXPECT_EQ(results[1].report.status, 403);
    EXPECT_EQ(results[1].report.reason, "服务器返回 403");
    EXPECT_EQ(refusing.count(), 1u);
    EXPECT_NE(testDeliveryLine(results[1]).find("NOT arrived, HTTP 403, "), std::string::npos)
        << testDeliveryLine(results[1]);
    EXPECT_TRUE(sendTestEvent(NotifyConfig{}).empty());
}

}  // namespace
}  // namespace vigilo
