#pragma once
// "Does my phone get the alerts?": one `test` event to every receiver the environment names,
// each tried once and at the same time, and what became of it.
#include <chrono>
#include <stop_token>
#include <string>
#include <vector>

#include "app/context.h"
#include "notify/notifiers.h"

namespace vigilo {

struct TestDelivery {
    std::string name;      // "ntfy", "webhook", "command"
    std::string variable;  // "VIGILO_NOTIFY_URL", …
    DeliveryReport report;
    std::chrono::milliseconds took{0};
};

Event testEvent();

// One try per receiver (a person is waiting for the answer), all at once so a receiver that
// hangs delays none of the others; each is bounded by the policy's time-outs and by `stop`.
// Empty when the configuration names no receiver.
std::vector<TestDelivery> sendTestEvent(const NotifyConfig& config, std::stop_token stop = {});

// The window's "发送测试通知": the test runs on a worker of the context and its outcome, one
// line a receiver, goes to the log (the English detail of a failure to the log file only).
void startNotifyTest(AppContext& ctx, NotifyConfig config);

// "webhook (VIGILO_WEBHOOK_URL): arrived, HTTP 200, 0.03 s" for the terminal.
std::string testDeliveryLine(const TestDelivery& delivery);
// "测试通知 事件推送（VIGILO_WEBHOOK_URL）：已送达（HTTP 200，0.03 秒）" for the window's log.
std::string testDeliveryLineZh(const TestDelivery& delivery);

}  // namespace vigilo
