#include "notify/notifiers.h"

#include <cstdlib>

namespace vigilo {

namespace {
std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}
}  // namespace

NotifyConfig NotifyConfig::fromEnvironment() {
    NotifyConfig config;
    config.notifyUrl = environment("VIGILO_NOTIFY_URL");
    config.webhookUrl = environment("VIGILO_WEBHOOK_URL");
    config.onEventCommand = environment("VIGILO_ON_EVENT");
    return config;
}

Notifiers::Notifiers(EventBus& bus, const NotifyConfig& config, LogLine log, LogLine record) : bus_(bus) {
    if (!config.notifyUrl.empty()) {
        ntfy_ = std::make_unique<HttpPushReceiver>(HttpPushReceiver::Form::Ntfy, config.notifyUrl, config.policy, log,
                                                   record);
        subscriptions_.push_back(bus_.subscribe(
            [r = ntfy_.get()](const Event& event, std::stop_token stop) { r->deliver(event, stop); }, "ntfy"));
        names_.push_back("ntfy");
    }
    if (!config.webhookUrl.empty()) {
        webhook_ = std::make_unique<HttpPushReceiver>(HttpPushReceiver::Form::Webhook, config.webhookUrl, config.policy,
                                                      log, record);
        subscriptions_.push_back(bus_.subscribe(
            [r = webhook_.get()](const Event& event, std::stop_token stop) { r->deliver(event, stop); }, "webhook"));
        names_.push_back("webhook");
    }
    if (!config.onEventCommand.empty()) {
        command_ = std::make_unique<CommandReceiver>(config.onEventCommand, config.policy, log, record);
        subscriptions_.push_back(bus_.subscribe(
            [r = command_.get()](const Event& event, std::stop_token stop) { r->deliver(event, stop); }, "command"));
        names_.push_back("command");
    }
}

Notifiers::~Notifiers() {
    for (int id : subscriptions_) bus_.unsubscribe(id);
}

}  // namespace vigilo
