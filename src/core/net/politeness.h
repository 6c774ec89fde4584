#pragma once
// How fast a host may be asked, learnt from its answers: what counts as a refusal, how long a
// Retry-After asks to wait, and the rate rule (halve on a refusal, down to one request every
// ten seconds; one more request a minute for each good answer, up to the cap). Pure functions
// of their inputs, time included, so the rule is tested as a table.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vigilo::net {

// The slowest a refusing host is asked: one request every ten seconds.
inline constexpr double kFloorPerMinute = 6.0;
// Empty answers in a row that count as a refusal (a blocked client gets empty lists).
inline constexpr int kEmptyRunRefusal = 3;

// How long a Retry-After value asks to wait from `now`: delay seconds ("120") or an HTTP date
// ("Wed, 21 Oct 2026 07:28:00 GMT"; a date already past waits nothing). nullopt when the value
// is neither; an absurd delay is capped at a day.
std::optional<std::chrono::seconds> parseRetryAfter(std::string_view value, std::chrono::system_clock::time_point now);

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
    double observedPerMinute = 0;                    // requests sent to the host in the last minute
    double capPerMinute = 0;                         // VIGILO_REQUESTS_PER_MINUTE; 0: no cap
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

    // A host started refusing, or answers normally again. Told once each way: a host stays
    // refusing until it has gone a quiet spell (kRecoveryQuiet) without a refusal and then
    // answers well, so the probing of the rate rule, which meets a refusal now and then while
    // the service still limits, does not tell it again and again.
    struct Change {
        std::string host;
        bool refusing = false;
        double perMinute = 0;  // the rate now allowed
        std::string reason;    // of the refusal: "HTTP 429", "verification page", "empty answers"…
    };
    using Listener = std::function<void(const Change&)>;

    // What the status shows of one host.
    struct HostView {
        std::string host;
        bool refusing = false;  // as told to the listeners
        double perMinute = 0;   // 0: no limit learnt
        std::uint64_t refusals = 0;
        double observedPerMinute = 0;
    };

    HostBudget(double capPerMinute, Now now, WaitUntil waitUntil);
    void setCap(double capPerMinute);
    // Tests and demos run the program's clock faster: every minute of the rule (the spacing of
    // turns, the window of observed requests, a Retry-After, the quiet spell) lasts this many
    // minutes. 1 in the product.
    void setTimeScale(double scale);

    // Waits for the host's next turn; false when the wait was stopped (no request is sent then).
    bool acquire(const std::string& host);
    // What an answer from the host signalled; updates its rate. `reason` names a refusal.
    void report(const std::string& host, AnswerSignal signal, std::optional<std::chrono::seconds> retryAfter = {},
                const std::string& reason = {});

    RateState state(const std::string& host) const;
    // Requests given a turn for the host in the last minute.
    double observedPerMinute(const std::string& host) const;
    // The requests a minute the host gets now: its learnt rate, bounded by the cap; 0 when
    // neither limits it.
    double allowedPerMinute(const std::string& host) const;
    // How long a rule's minute lasts (setTimeScale).
    std::chrono::steady_clock::duration minute() const;
    // Every host asked so far, by name.
    std::vector<HostView> hosts() const;
    // Whether any host is refusing now, as told to the listeners.
    bool anyRefusing() const;

    // Listeners run on the thread whose answer made the change, one at a time; removeListener
    // returns once the listener runs no more. A listener must not add or remove listeners.
    int addListener(Listener listener);
    void removeListener(int id);

    static constexpr std::chrono::seconds kRecoveryQuiet{60};

private:
    struct Host {
        RateState rate;
        std::chrono::steady_clock::time_point nextTurn{};
        std::deque<std::chrono::steady_clock::time_point> recent;  // turns of the last minute
        bool announced = false;                                    // listeners were told it refuses
        std::chrono::steady_clock::time_point lastRefusal{};
        std::uint64_t refusals = 0;
    };
    void forget(Host& host, std::chrono::steady_clock::time_point now) const;
    std::chrono::steady_clock::duration scaled(std::chrono::duration<double> span) const;

    double cap_;
    double scale_ = 1.0;
    Now now_;
    WaitUntil waitUntil_;
    mutable std::mutex mutex_;
    mutable std::map<std::string, Host> hosts_;
    std::mutex listenersMutex_;
    std::vector<std::pair<int, Listener>> listeners_;
    int nextListener_ = 1;
};

// Whom a URL's budget belongs to: its host, with the port when it is not the scheme's own
// (two services on one machine are two services).
std::string budgetHost(std::string_view url);

// The Retry-After of a response's header block (CR LF lines); nullopt when there is none or
// it is unreadable.
std::optional<std::chrono::seconds> retryAfterOf(std::string_view headerBlock,
                                                 std::chrono::system_clock::time_point now);

// Tells the program's budget what an answer from the URL's host signalled. The exchange calls
// it for every answer whose content nobody else judges (its status alone: a refusal, or a good
// answer); the callers that read JSON call it with `usable`, their parse's verdict, so a
// verification page or a run of empty answers counts too.
void reportAnswer(const std::string& url, int status, std::string_view headerBlock, std::string_view body, bool usable);
void reportStatus(const std::string& url, int status, std::string_view headerBlock);

// The program's budget: the real clock, waits in slices that end on the calling thread's stop
// request (sys/stop.h).
HostBudget& requestBudget();

}  // namespace vigilo::net
