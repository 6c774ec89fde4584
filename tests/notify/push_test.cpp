// The push receivers against HTTP receivers of the simulator: what arrives, byte for byte;
// and what a stalled, refusing or failing receiver costs (one log line, no delay for others).
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <regex>

#include "app/events.h"
#include "notify/format.h"
#include "notify/notifiers.h"
#include "sim/push_receiver.h"

namespace vigilo {
namespace {

using namespace std::chrono_literals;
using sim::PushReceiver;

Event postSaved() {
    Event event;
    event.type = EventType::PostSaved;
    event.time = std::chrono::system_clock::from_time_t(1767323045);  // 2026-01-02T03:04:05Z
    event.fields = {{"nickname", "小熊看世界🐻"},
                    {"description", "今天的晚霞\r\n太好看了 #日落"},
                    {"file", "/data/下载/小熊看世界🐻/7310000001-今天的晚霞.mp4"},
                    {"id", "7310000001"}};
    return event;
}

Event roomLive(int n) {
    return Event{EventType::RoomLive,
                 std::chrono::system_clock::now(),
                 {{"nickname", "橙子直播间🍊"},
                  {"roomId", "72829374650" + std::to_string(n)},
                  {"stream", "http://x/s.flv"},
                  {"startTime", "2026-01-02 03:04:05"}}};
}

// Fast policies: the real retry loop, with short waits.
DeliveryPolicy quick() {
    DeliveryPolicy policy;
    policy.attempts = 3;
    policy.backoff = 10ms;
    policy.connectTimeoutSeconds = 5;
    policy.totalTimeoutSeconds = 30;
    policy.commandTimeout = 30s;
    return policy;
}

// The window's lines carry the log's time stamp like every other line; kept without it.
std::string withoutStamp(const std::string& line) {
    static const std::regex stamp(R"(^\d{2,4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}：)");
    std::smatch m;
    EXPECT_TRUE(std::regex_search(line, m, stamp)) << line;
    return m.empty() ? line : m.suffix().str();
}

class Lines {
public:
    explicit Lines(bool stamped = true) : stamped_(stamped) {}
    LogLine sink() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(stamped_ ? withoutStamp(line) : line);
        };
    }
    std::vector<std::string> all() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    const bool stamped_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Both forms as a phone app or a script receives them.
TEST(Push, NtfyAndWebhookDeliverTheEventAsSent) {
    PushReceiver topic, hook;
    ASSERT_TRUE(topic.start());
    ASSERT_TRUE(hook.start());
    EventBus bus;
    Lines log;
    NotifyConfig config;
    config.notifyUrl = topic.url("/vigilo-alerts");
    config.webhookUrl = hook.url("/hook");
    config.policy = quick();
    {
        Notifiers notifiers(bus, config, log.sink());
        EXPECT_EQ(notifiers.names(), (std::vector<std::string>{"ntfy", "webhook"}));
        bus.publish(postSaved());
        ASSERT_TRUE(topic.waitFor(1, 30s));
        ASSERT_TRUE(hook.waitFor(1, 30s));
        ASSERT_TRUE(bus.flush(30s));
    }

    const auto ntfy = topic.requests().at(0);
    EXPECT_EQ(ntfy.method, "POST");
    EXPECT_EQ(ntfy.path, "/vigilo-alerts");
    EXPECT_EQ(ntfy.header("Title"), "小熊看世界🐻 发布了新作品");
    // Line breaks of the description become one space: the body is one line.
    EXPECT_EQ(ntfy.body, "今天的晚霞 太好看了 #日落 · /data/下载/小熊看世界🐻/7310000001-今天的晚霞.mp4");

    const auto webhook = hook.requests().at(0);
    EXPECT_EQ(webhook.method, "POST");
    EXPECT_EQ(webhook.path, "/hook");
    EXPECT_EQ(webhook.header("Content-Type"), "application/json");
    const auto doc = nlohmann::ordered_json::parse(webhook.body);
    EXPECT_EQ(doc["type"], "post_saved");
    EXPECT_EQ(doc["time"], "2026-01-02T03:04:05Z");
    // Fields as the monitor gave them, in its order and with their own line breaks.
    std::vector<std::pair<std::string, std::string>> fields;
    for (const auto& [name, value] : doc["fields"].items()) fields.emplace_back(name, value.get<std::string>());
    EXPECT_EQ(fields, postSaved().fields);
    EXPECT_EQ(topic.count(), 1u);
    EXPECT_EQ(hook.count(), 1u);
    EXPECT_TRUE(log.all().empty());
}

// The JSON survives a name that is not UTF-8.
TEST(Push, JsonOfABrokenNameIsStillOneObject) {
    Event event = postSaved();
    event.fields[0].second = "bad\xff\xfe name";
    const auto doc = nlohmann::json::parse(eventJson(event));
    EXPECT_EQ(doc["fields"]["nickname"], "bad\xEF\xBF\xBD\xEF\xBF\xBD name");
}

// A receiver that holds the request delays neither the publisher nor the other receiver;
// when it dies, then refuses, every event fails and the log gets one line for it.
TEST(Push, StalledThenDeadReceiverCostsOneLineAndDelaysNobody) {
    PushReceiver stalling, topic;
    ASSERT_TRUE(stalling.start());
    ASSERT_TRUE(topic.start());
    stalling.setMode(PushReceiver::Mode::Stall);
    EventBus bus;
    Lines log;
    NotifyConfig config;
    config.notifyUrl = topic.url();
    config.webhookUrl = stalling.url();
    config.policy = quick();
    Notifiers notifiers(bus, config, log.sink());

    for (int n = 0; n < 3; ++n) bus.publish(roomLive(n));
    // The topic has every event while the webhook still waits for its first answer.
    ASSERT_TRUE(topic.waitFor(3, 30s));
    ASSERT_TRUE(stalling.waitStalled(1, 30s));
    EXPECT_EQ(stalling.count(), 1u);
    EXPECT_TRUE(log.all().empty());

    stalling.stop();  // the held connection breaks; the retries find nobody listening
    ASSERT_TRUE(bus.flush(120s));
    const auto lines = log.all();
    ASSERT_EQ(lines.size(), 1u) << lines.at(1);
    EXPECT_EQ(lines[0].rfind("事件推送（VIGILO_WEBHOOK_URL） 失败：", 0), 0u) << lines[0];
    EXPECT_TRUE(lines[0].ends_with("（恢复之前不再记录）\r\n")) << lines[0];
    EXPECT_EQ(topic.count(), 3u);
}

// Refused connections and error answers: retried only where another try can help, logged
// once, and a later success is logged as the recovery.
TEST(Push, RetriesWhereTheyHelpAndLogsFailureAndRecoveryOnce) {
    struct Case {
        const char* name;
        PushReceiver::Mode mode;
        int status;
        std::size_t requestsPerEvent;
        std::string reason, detail;
    };
    for (const Case& c : {Case{"refused", PushReceiver::Mode::Refuse, 200, 0, "无法连接", "onnect"},
                          Case{"not found", PushReceiver::Mode::Accept, 404, 1, "服务器返回 404", "HTTP 404"},
                          Case{"unavailable", PushReceiver::Mode::Accept, 503, 3, "服务器返回 503", "HTTP 503"}}) {
        SCOPED_TRACE(c.name);
        PushReceiver hook;
        ASSERT_TRUE(hook.start());
        hook.setMode(c.mode);
        hook.setStatus(c.status);
        EventBus bus;
        Lines log, record(false);
        NotifyConfig config;
        config.webhookUrl = hook.url();
        config.policy = quick();
        Notifiers notifiers(bus, config, log.sink(), record.sink());
        for (int n = 0; n < 4; ++n) bus.publish(roomLive(n));
        ASSERT_TRUE(bus.flush(120s));
        EXPECT_EQ(hook.count(), 4 * c.requestsPerEvent);
        auto lines = log.all();
        ASSERT_EQ(lines.size(), 1u);
        // Chinese words in the window; the English detail in the log file only.
        EXPECT_EQ(lines[0], "事件推送（VIGILO_WEBHOOK_URL） 失败：" + c.reason + "（恢复之前不再记录）\r\n");
        const auto details = record.all();
        ASSERT_EQ(details.size(), 1u);
        EXPECT_EQ(details[0].rfind("事件推送（VIGILO_WEBHOOK_URL）：", 0), 0u) << details[0];
        EXPECT_NE(details[0].find(c.detail), std::string::npos) << details[0];

        hook.setMode(PushReceiver::Mode::Accept);
        hook.setStatus(200);
        bus.publish(roomLive(9));
        ASSERT_TRUE(bus.flush(60s));
        EXPECT_EQ(hook.count(), 4 * c.requestsPerEvent + 1);
        lines = log.all();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[1], "事件推送（VIGILO_WEBHOOK_URL） 已恢复\r\n");
    }
}

}  // namespace
}  // namespace vigilo
