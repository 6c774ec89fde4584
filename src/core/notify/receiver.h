#pragma once
// Receivers that tell someone outside the program about events: an HTTP push (an ntfy-style
// topic or a JSON webhook) and a command run per event. Each is called on its own delivery
// thread of the event bus; it may wait (time-outs, retries), never for ever, and gives up
// early when its stop token is set.
#include <chrono>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>

#include "app/events.h"

namespace vigilo {

// How hard a receiver tries; short values make the fault tests quick on the real paths.
struct DeliveryPolicy {
    int attempts = 3;                                // tries per event
    std::chrono::milliseconds backoff{2000};         // before the second try, doubled after
    long connectTimeoutSeconds = 5;
    long totalTimeoutSeconds = 10;                   // one HTTP try, start to end
    std::chrono::milliseconds commandTimeout{30000}; // then the command is killed
};

using LogLine = std::function<void(const std::string& line)>;

// Logs the first failure of a run of failures, and nothing more until a delivery succeeds:
// a dead receiver costs one log line, not one per event.
class FailureNote {
public:
    FailureNote(std::string receiver, LogLine log) : receiver_(std::move(receiver)), log_(std::move(log)) {}
    void failed(const std::string& why);
    void succeeded();
    int failures() const;

private:
    mutable std::mutex mutex_;
    std::string receiver_;
    LogLine log_;
    bool failing_ = false;
    int failures_ = 0;
};

// POSTs each event to a URL. Ntfy: the body is the event's text, the title goes in a "Title"
// header. Webhook: the body is the event's JSON object.
class HttpPushReceiver {
public:
    enum class Form { Ntfy, Webhook };
    HttpPushReceiver(Form form, std::string url, DeliveryPolicy policy, LogLine log);
    // True when the receiver took the event (a 2xx answer), after at most policy.attempts.
    bool deliver(const Event& event, std::stop_token stop);
    int failures() const { return note_.failures(); }

private:
    Form form_;
    std::string url_;
    DeliveryPolicy policy_;
    FailureNote note_;
};

// Runs a program per event with the event's JSON (one line) on its standard input, through the
// process runner, in a session of its own; killed with everything it started (its process
// group) when it outlasts policy.commandTimeout.
class CommandReceiver {
public:
    CommandReceiver(std::string program, DeliveryPolicy policy, LogLine log);
    // True when the program ran and exited with 0.
    bool deliver(const Event& event, std::stop_token stop);
    int failures() const { return note_.failures(); }

private:
    std::string program_;
    DeliveryPolicy policy_;
    FailureNote note_;
};

// Waits `time` or until stop; false when stopped.
bool pauseUnlessStopped(std::chrono::milliseconds time, std::stop_token stop);

}  // namespace vigilo
