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
    int attempts = 3;                         // tries per event
    std::chrono::milliseconds backoff{2000};  // before the second try, doubled after
    long connectTimeoutSeconds = 5;
    long totalTimeoutSeconds = 10;                    // one HTTP try, start to end
    std::chrono::milliseconds commandTimeout{30000};  // then the command is killed
};

using LogLine = std::function<void(const std::string& line)>;

// What became of one delivery: for the person who asked for a test, and for the log.
struct DeliveryReport {
    bool arrived = false;
    long status = 0;    // the HTTP status of the last try; 0 without an answer
    int exitCode = -1;  // a command's exit code; -1 when it did not exit by itself
    int attempts = 0;
    std::string reason;  // short Chinese words ("服务器返回 403", "超时"); empty when it arrived
    std::string detail;  // the English detail, for the log file
};

// Logs the first failure of a run of failures, and nothing more until a delivery succeeds:
// a dead receiver costs one log line, not one per event. The line carries the log's time stamp
// and a Chinese reason; the detail (curl's words, a program's output) goes to `record`, the
// log file only.
class FailureNote {
public:
    FailureNote(std::string receiver, LogLine log, LogLine record = {})
        : receiver_(std::move(receiver)), log_(std::move(log)), record_(std::move(record)) {}
    void failed(const std::string& why, const std::string& detail = "");
    void succeeded();
    int failures() const;

private:
    mutable std::mutex mutex_;
    std::string receiver_;
    LogLine log_;
    LogLine record_;
    bool failing_ = false;
    int failures_ = 0;
};

// POSTs each event to a URL. Ntfy: the body is the event's text, the title goes in a "Title"
// header. Webhook: the body is the event's JSON object.
class HttpPushReceiver {
public:
    enum class Form { Ntfy, Webhook };
    HttpPushReceiver(Form form, std::string url, DeliveryPolicy policy, LogLine log, LogLine record = {});
    // True when the receiver took the event (a 2xx answer), after at most policy.attempts.
    bool deliver(const Event& event, std::stop_token stop, DeliveryReport* report = nullptr);
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
    CommandReceiver(std::string program, DeliveryPolicy policy, LogLine log, LogLine record = {});
    // True when the program ran and exited with 0.
    bool deliver(const Event& event, std::stop_token stop, DeliveryReport* report = nullptr);
    int failures() const { return note_.failures(); }

private:
    std::string program_;
    DeliveryPolicy policy_;
    FailureNote note_;
};

// Waits `time` or until stop; false when stopped.
bool pauseUnlessStopped(std::chrono::milliseconds time, std::stop_token stop);

}  // namespace vigilo
