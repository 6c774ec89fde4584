#include "notify/testpush.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "sys/stop.h"
#include "text/strings.h"
#include "text/timefmt.h"

namespace vigilo {

namespace {

std::string seconds(std::chrono::milliseconds took) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f", static_cast<double>(took.count()) / 1000.0);
    return buffer;
}

std::string receiverZh(const TestDelivery& d) {
    if (d.name == "ntfy") return "推送通知（VIGILO_NOTIFY_URL）";
    if (d.name == "webhook") return "事件推送（VIGILO_WEBHOOK_URL）";
    return "事件命令（VIGILO_ON_EVENT）";
}

}  // namespace

Event testEvent() {
    Event event;
    event.type = EventType::Test;
    event.fields = {{"message", "这是一条测试通知，收到即表示通知设置正确"}};
    return event;
}

std::vector<TestDelivery> sendTestEvent(const NotifyConfig& config, std::stop_token stop) {
    DeliveryPolicy policy = config.policy;
    policy.attempts = 1;
    // Someone is waiting for the answer: a hanging command gets about the time an HTTP try gets.
    policy.commandTimeout = std::min(
        policy.commandTimeout,
        std::max(std::chrono::milliseconds(policy.totalTimeoutSeconds * 1000), std::chrono::milliseconds(10000)));
    std::vector<TestDelivery> out;
    if (!config.notifyUrl.empty()) out.push_back({"ntfy", "VIGILO_NOTIFY_URL", {}, {}});
    if (!config.webhookUrl.empty()) out.push_back({"webhook", "VIGILO_WEBHOOK_URL", {}, {}});
    if (!config.onEventCommand.empty()) out.push_back({"command", "VIGILO_ON_EVENT", {}, {}});
    const Event event = testEvent();
    {
        std::vector<std::jthread> threads;
        for (TestDelivery& d : out) {
            threads.emplace_back([&d, &config, &event, policy, stop] {
                // The transfer sees the caller's stop as its own.
                const ScopedStopToken installed(stop);
                const auto start = std::chrono::steady_clock::now();
                if (d.name == "command") {
                    CommandReceiver(config.onEventCommand, policy, {}).deliver(event, stop, &d.report);
                } else {
                    HttpPushReceiver(d.name == "ntfy" ? HttpPushReceiver::Form::Ntfy : HttpPushReceiver::Form::Webhook,
                                     d.name == "ntfy" ? config.notifyUrl : config.webhookUrl, policy, {})
                        .deliver(event, stop, &d.report);
                }
                d.took =
                    std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
            });
        }
    }
    return out;
}

void startNotifyTest(AppContext& ctx, NotifyConfig config) {
    ctx.startThread("notifyTest", [&ctx, config = std::move(config)] {
        if (!config.any()) {
            ctx.appendLog(logTimestamp() +
                          "：测试通知：未设置接收方（VIGILO_NOTIFY_URL、VIGILO_WEBHOOK_URL 或 VIGILO_ON_EVENT）\r\n");
            return;
        }
        for (const TestDelivery& d : sendTestEvent(config, currentStopToken())) {
            ctx.appendLog(logTimestamp() + "：" + testDeliveryLineZh(d) + "\r\n");
            if (!d.report.arrived && !d.report.detail.empty())
                ctx.log.record(d.variable + "：" + oneLine(d.report.detail));
        }
    });
}

std::string testDeliveryLine(const TestDelivery& d) {
    const DeliveryReport& r = d.report;
    std::string what;
    if (r.status != 0)
        what = "HTTP " + std::to_string(r.status);
    else if (r.exitCode >= 0)
        what = "exit status " + std::to_string(r.exitCode);
    if (!r.arrived) {
        const std::string why = oneLine(r.detail.empty() ? r.reason : r.detail);
        if (!why.empty() && why != what) what += (what.empty() ? "" : ", ") + why;
    }
    return d.name + " (" + d.variable + "): " + (r.arrived ? "arrived" : "NOT arrived") +
           (what.empty() ? "" : ", " + what) + ", " + seconds(d.took) + " s";
}

std::string testDeliveryLineZh(const TestDelivery& d) {
    const DeliveryReport& r = d.report;
    std::string what;
    if (r.arrived)
        what = r.status != 0 ? "HTTP " + std::to_string(r.status) : "退出码 0";
    else
        what = oneLine(r.reason);
    return "测试通知 " + receiverZh(d) + "：" + (r.arrived ? "已送达" : "未送达") + "（" + what + "，" +
           seconds(d.took) + " 秒）";
}

}  // namespace vigilo
