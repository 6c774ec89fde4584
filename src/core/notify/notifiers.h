#pragma once
// The receivers the environment asks for, subscribed to a program's event stream for as long
// as this owner lives:
//   VIGILO_NOTIFY_URL   an ntfy-style topic URL: the event's text, its title in a Title header
//   VIGILO_WEBHOOK_URL  one JSON object per event
//   VIGILO_ON_EVENT     a program run with the event's JSON on its standard input
#include <memory>
#include <string>
#include <vector>

#include "app/events.h"
#include "notify/receiver.h"

namespace vigilo {

struct NotifyConfig {
    std::string notifyUrl;
    std::string webhookUrl;
    std::string onEventCommand;
    DeliveryPolicy policy;
    static NotifyConfig fromEnvironment();
    bool any() const { return !notifyUrl.empty() || !webhookUrl.empty() || !onEventCommand.empty(); }
};

class Notifiers {
public:
    // `log` gets the window's lines (a receiver failing, recovering); `record` the English
    // detail of a failure, for the log file only.
    Notifiers(EventBus& bus, const NotifyConfig& config, LogLine log, LogLine record = {});
    // Unsubscribes every receiver; a receiver in the middle of a try is stopped and joined.
    ~Notifiers();
    Notifiers(const Notifiers&) = delete;
    Notifiers& operator=(const Notifiers&) = delete;

    // "ntfy", "webhook", "command": what is subscribed, for the start-up line.
    std::vector<std::string> names() const { return names_; }

private:
    EventBus& bus_;
    std::vector<int> subscriptions_;
    std::vector<std::string> names_;
    std::unique_ptr<HttpPushReceiver> ntfy_, webhook_;
    std::unique_ptr<CommandReceiver> command_;
};

}  // namespace vigilo
