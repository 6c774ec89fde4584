#pragma once
// How fast a host may be asked, learnt from its answers: what counts as a refusal, how long a
// Retry-After asks to wait, and the rate rule (halve on a refusal, down to one request every
// ten seconds; one more request a minute for each good answer, up to the cap). Pure functions
// of their inputs, time included, so the rule is tested as a table.
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vigilo::net {

// The slowest a refusing host is asked: one request every ten seconds.
inline constexpr double kFloorPerMinute = 6.0;
// Empty answers in a row that count as a refusal (a blocked client gets empty lists).
inline constexpr int kEmptyRunRefusal = 3;

// How long a Retry-After value asks to wait from `now`: delay seconds ("120") or an HTTP date
// ("Wed, 21 Oct 2026 07:28:00 GMT"; a date already past waits nothing). nullopt when the value
// is neither; an absurd delay is capped at a day.
std::optional<std::chrono::seconds> parseRetryAfter(std::string_view value,
                                                    std::chrono::system_clock::time_point now);

// A page put where JSON was expected: HTML of any kind, or a JSON object whose non-zero
// `status_code` comes without the data asked for (no `user_info`, `aweme_list` or `data`).
bool isVerificationPage(std::string_view body);

enum class AnswerSignal {
    Good,     // a usable answer
    Empty,    // a well-formed answer with nothing in it where something was expected
    Refused,  // 429, 503, 403 or a verification page
    Failed,   // no answer (transport) or another server error: says nothing about the rate
};

// What one answer signals: its status, its body as received, and whether its content was
// usable (the caller's parse).
AnswerSignal classifyAnswer(int status, std::string_view body, bool usable);

struct RateState {
    // Requests a minute now allowed; 0 while the host has never refused (no limit but the cap).
    double perMinute = 0;
    int emptyRun = 0;
    // No request before this (a Retry-After).
    std::chrono::steady_clock::time_point notBefore{};
    bool refusing = false;  // from a refusal to the next good answer
};

struct RateInput {
    AnswerSignal signal = AnswerSignal::Good;
    std::optional<std::chrono::seconds> retryAfter;  // from a refusal's header
    double observedPerMinute = 0;  // requests sent to the host in the last minute
    double capPerMinute = 0;       // VIGILO_REQUESTS_PER_MINUTE; 0: no cap
    std::chrono::steady_clock::time_point now{};
};

// The rule: a refusal (or kEmptyRunRefusal empty answers in a row) halves the rate, starting
// from what was observed the first time, never below kFloorPerMinute, and marks the host
// refusing; a good answer adds one request a minute, up to the cap (without a cap the rate keeps
// rising until it no longer holds the cadence back), and ends the refusing state. A failed
// answer changes nothing. Retry-After sets notBefore, never earlier than it already was.
RateState nextRate(const RateState& state, const RateInput& input);

}  // namespace vigilo::net

namespace vigilo::net {

// One request budget per host, shared by every exchange with it. A request waits for its
// share and is never dropped: turns are handed out in the order they were asked for, spaced by
// the host's allowed rate (nextRate), never before a Retry-After has passed. While a host has
// never refused and no cap is set, nobody waits. Time and waiting are injected.
class HostBudget {
public:
    using Now = std::function<std::chrono::steady_clock::time_point()>;
    // Waits until the given time; false when the wait was cut short (a stop request).
    using WaitUntil = std::function<bool(std::chrono::steady_clock::time_point)>;

    HostBudget(double capPerMinute, Now now, WaitUntil waitUntil);
    void setCap(double capPerMinute);

    // Waits for the host's next turn; false when the wait was stopped (no request is sent then).
    bool acquire(const std::string& host);
    // What an answer from the host signalled; updates its rate.
    void report(const std::string& host, AnswerSignal signal, std::optional<std::chrono::seconds> retryAfter = {});

    RateState state(const std::string& host) const;
    // Requests given a turn for the host in the last minute.
    double observedPerMinute(const std::string& host) const;

private:
    struct Host {
        RateState rate;
        std::chrono::steady_clock::time_point nextTurn{};
        std::deque<std::chrono::steady_clock::time_point> recent;  // turns of the last minute
    };
    void forget(Host& host, std::chrono::steady_clock::time_point now) const;

    double cap_;
    Now now_;
    WaitUntil waitUntil_;
    mutable std::mutex mutex_;
    mutable std::map<std::string, Host> hosts_;
};

// The program's budget: the real clock, waits in slices that end on the calling thread's stop
// request (sys/stop.h).
HostBudget& requestBudget();

}  // namespace vigilo::net
