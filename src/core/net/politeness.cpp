#include "net/politeness.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <thread>
#include <vector>

#include "net/http.h"
#include "sys/stop.h"
#include "text/strings.h"

#include "text/jsondoc.h"

namespace vigilo::net {
namespace {

constexpr std::chrono::seconds kLongestWait{24 * 60 * 60};

bool allDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int number(std::string_view digits) {
    int value = 0;
    for (char c : digits) value = value * 10 + (c - '0');
    return value;
}

// "Sun, 06 Nov 1994 08:49:37 GMT", the only date form a server may send now.
std::optional<std::time_t> parseHttpDate(std::string_view text) {
    static constexpr std::array<std::string_view, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // "Ddd, " then "DD Mon YYYY HH:MM:SS GMT".
    if (text.size() != 29 || text[3] != ',' || text[4] != ' ') return std::nullopt;
    const std::string_view rest = text.substr(5);
    if (rest[2] != ' ' || rest[6] != ' ' || rest[11] != ' ' || rest[14] != ':' || rest[17] != ':' ||
        rest.substr(20) != " GMT")
        return std::nullopt;
    const std::string_view day = rest.substr(0, 2), month = rest.substr(3, 3), year = rest.substr(7, 4),
                           hour = rest.substr(12, 2), minute = rest.substr(15, 2), second = rest.substr(18, 2);
    if (!allDigits(day) || !allDigits(year) || !allDigits(hour) || !allDigits(minute) || !allDigits(second))
        return std::nullopt;
    const auto m = std::find(kMonths.begin(), kMonths.end(), month);
    if (m == kMonths.end()) return std::nullopt;
    std::tm tm{};
    tm.tm_mday = number(day);
    tm.tm_mon = static_cast<int>(m - kMonths.begin());
    tm.tm_year = number(year) - 1900;
    tm.tm_hour = number(hour);
    tm.tm_min = number(minute);
    tm.tm_sec = number(second);
    if (tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 60) return std::nullopt;
    return ::timegm(&tm);
}

std::string_view withoutWhiteSpace(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

std::optional<std::chrono::seconds> parseRetryAfter(std::string_view value, std::chrono::system_clock::time_point now) {
    const std::string_view text = withoutWhiteSpace(value);
    if (allDigits(text)) {
        // More digits than a day's seconds need cannot be a sensible wait.
        if (text.size() > 6) return kLongestWait;
        return std::min(std::chrono::seconds(number(text)), kLongestWait);
    }
    const auto date = parseHttpDate(text);
    if (!date) return std::nullopt;
    const auto wait =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::from_time_t(*date) - now);
    return std::clamp(wait, std::chrono::seconds(0), kLongestWait);
}

bool isVerificationPage(std::string_view body) {
    const std::string_view text = withoutWhiteSpace(body);
    if (text.empty()) return false;
    if (text.front() == '<') return true;  // HTML, whatever it says
    if (text.front() != '{') return false;
    JsonDoc doc;
    if (!doc.parseKeeping(text, {"status_code", "user_info", "aweme_list", "data"})) return false;
    const bool refusedStatus = doc.typeOf("status_code") == 2 && doc.getNumber("status_code") != 0;
    const bool hasData = doc.exists("user_info") || doc.exists("aweme_list") || doc.exists("data");
    return refusedStatus && !hasData;
}

AnswerSignal classifyAnswer(int status, std::string_view body, bool usable) {
    if (status == 429 || status == 503 || status == 403) return AnswerSignal::Refused;
    if (status == 0 || status >= 500) return AnswerSignal::Failed;
    if (isVerificationPage(body)) return AnswerSignal::Refused;
    if (usable) return AnswerSignal::Good;
    return withoutWhiteSpace(body).empty() || status < 400 ? AnswerSignal::Empty : AnswerSignal::Failed;
}

RateState nextRate(const RateState& state, const RateInput& input) {
    RateState next = state;
    if (input.retryAfter) next.notBefore = std::max(next.notBefore, input.now + *input.retryAfter);
    bool refused = input.signal == AnswerSignal::Refused;
    switch (input.signal) {
        case AnswerSignal::Empty:
            next.emptyRun = state.emptyRun + 1;
            if (next.emptyRun >= kEmptyRunRefusal) {
                refused = true;
                next.emptyRun = 0;
            }
            break;
        case AnswerSignal::Good:
            next.emptyRun = 0;
            next.refusing = false;
            if (next.perMinute > 0) {
                next.perMinute += 1.0;
                if (input.capPerMinute > 0) next.perMinute = std::min(next.perMinute, input.capPerMinute);
            }
            break;
        case AnswerSignal::Refused: next.emptyRun = 0; break;
        case AnswerSignal::Failed: break;
    }
    if (refused) {
        double from = state.perMinute > 0 ? state.perMinute : input.observedPerMinute;
        if (input.capPerMinute > 0 && (from <= 0 || from > input.capPerMinute)) from = input.capPerMinute;
        next.perMinute = std::max(kFloorPerMinute, from / 2);
        next.refusing = true;
    }
    return next;
}

}  // namespace vigilo::net

namespace vigilo::net {

HostBudget::HostBudget(double capPerMinute, Now now, WaitUntil waitUntil)
    : cap_(capPerMinute), now_(std::move(now)), waitUntil_(std::move(waitUntil)) {}

void HostBudget::setCap(double capPerMinute) {
    std::lock_guard lock(mutex_);
    cap_ = capPerMinute;
}

void HostBudget::setTimeScale(double scale) {
    std::lock_guard lock(mutex_);
    scale_ = scale > 0 && std::isfinite(scale) ? scale : 1.0;
}

std::chrono::steady_clock::duration HostBudget::scaled(std::chrono::duration<double> span) const {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(span * scale_);
}

void HostBudget::forget(Host& host, std::chrono::steady_clock::time_point now) const {
    const auto minute = scaled(std::chrono::minutes(1));
    while (!host.recent.empty() && now - host.recent.front() >= minute) host.recent.pop_front();
}

bool HostBudget::acquire(const std::string& host) {
    std::chrono::steady_clock::time_point turn;
    {
        std::lock_guard lock(mutex_);
        Host& h = hosts_[host];
        const auto now = now_();
        forget(h, now);
        double perMinute = h.rate.perMinute;
        if (cap_ > 0) perMinute = perMinute > 0 ? std::min(perMinute, cap_) : cap_;
        turn = std::max(now, h.rate.notBefore);
        if (perMinute > 0) {
            turn = std::max(turn, h.nextTurn);
            h.nextTurn = turn + scaled(std::chrono::duration<double>(60.0 / perMinute));
        }
        // The turn is taken now, so later callers queue behind it even while this one waits.
        h.recent.push_back(turn);
    }
    return turn <= now_() || waitUntil_(turn);
}

void HostBudget::report(const std::string& host, AnswerSignal signal, std::optional<std::chrono::seconds> retryAfter,
                        const std::string& reason) {
    std::optional<Change> change;
    {
        std::lock_guard lock(mutex_);
        Host& h = hosts_[host];
        const auto now = now_();
        forget(h, now);
        RateInput input;
        input.signal = signal;
        // Observed over the scaled minute, counted as a minute's worth.
        input.observedPerMinute = static_cast<double>(h.recent.size());
        input.capPerMinute = cap_;
        input.now = now;
        const int emptyRun = h.rate.emptyRun;
        h.rate = nextRate(h.rate, input);
        if (retryAfter) h.rate.notBefore = std::max(h.rate.notBefore, now + scaled(*retryAfter));
        const bool refusedNow =
            signal == AnswerSignal::Refused || (signal == AnswerSignal::Empty && emptyRun + 1 >= kEmptyRunRefusal);
        if (refusedNow) {
            ++h.refusals;
            h.lastRefusal = now;
            if (!h.announced) {
                h.announced = true;
                change = Change{host, true, h.rate.perMinute,
                                signal == AnswerSignal::Empty ? std::string("empty answers") : reason};
            }
        } else if (signal == AnswerSignal::Good && h.announced && !h.rate.refusing &&
                   now - h.lastRefusal >= scaled(kRecoveryQuiet)) {
            h.announced = false;
            change = Change{host, false, h.rate.perMinute, {}};
        }
    }
    if (!change) return;
    std::lock_guard lock(listenersMutex_);
    for (const auto& [id, listener] : listeners_) {
        if (listener) listener(*change);
    }
}

RateState HostBudget::state(const std::string& host) const {
    std::lock_guard lock(mutex_);
    const auto it = hosts_.find(host);
    return it == hosts_.end() ? RateState{} : it->second.rate;
}

double HostBudget::observedPerMinute(const std::string& host) const {
    std::lock_guard lock(mutex_);
    const auto it = hosts_.find(host);
    if (it == hosts_.end()) return 0;
    forget(it->second, now_());
    return static_cast<double>(it->second.recent.size());
}

double HostBudget::allowedPerMinute(const std::string& host) const {
    std::lock_guard lock(mutex_);
    const auto it = hosts_.find(host);
    const double learnt = it == hosts_.end() ? 0 : it->second.rate.perMinute;
    if (cap_ > 0) return learnt > 0 ? std::min(learnt, cap_) : cap_;
    return learnt;
}

std::chrono::steady_clock::duration HostBudget::minute() const {
    std::lock_guard lock(mutex_);
    return scaled(std::chrono::minutes(1));
}

std::vector<HostBudget::HostView> HostBudget::hosts() const {
    std::lock_guard lock(mutex_);
    const auto now = now_();
    std::vector<HostView> views;
    for (auto& [name, h] : hosts_) {
        forget(h, now);
        views.push_back({name, h.announced, h.rate.perMinute, h.refusals, static_cast<double>(h.recent.size())});
    }
    return views;
}

bool HostBudget::anyRefusing() const {
    std::lock_guard lock(mutex_);
    return std::any_of(hosts_.begin(), hosts_.end(), [](const auto& entry) { return entry.second.announced; });
}

int HostBudget::addListener(Listener listener) {
    std::lock_guard lock(listenersMutex_);
    const int id = nextListener_++;
    listeners_.emplace_back(id, std::move(listener));
    return id;
}

void HostBudget::removeListener(int id) {
    std::lock_guard lock(listenersMutex_);
    std::erase_if(listeners_, [id](const auto& entry) { return entry.first == id; });
}

}  // namespace vigilo::net

namespace vigilo::net {

using namespace std::chrono_literals;

HostBudget& requestBudget() {
    // Never destroyed: an exchange on another thread may still ask while the process ends.
    static HostBudget* budget = new HostBudget(
        0, [] { return std::chrono::steady_clock::now(); },
        [](std::chrono::steady_clock::time_point until) {
            while (!stopRequested()) {
                const auto now = std::chrono::steady_clock::now();
                if (now >= until) return true;
                std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - now, 100ms));
            }
            return false;
        });
    return *budget;
}

}  // namespace vigilo::net

namespace vigilo::net {

std::optional<std::chrono::seconds> retryAfterOf(std::string_view headerBlock,
                                                 std::chrono::system_clock::time_point now) {
    while (!headerBlock.empty()) {
        const auto end = headerBlock.find('\n');
        std::string_view line = headerBlock.substr(0, end);
        headerBlock = end == std::string_view::npos ? std::string_view() : headerBlock.substr(end + 1);
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || toLowerAscii(line.substr(0, colon)) != "retry-after") continue;
        return parseRetryAfter(line.substr(colon + 1), now);
    }
    return std::nullopt;
}

std::string budgetHost(std::string_view url) {
    std::string host = urlHost(url);
    const int port = urlPort(url);
    const bool https = toLowerAscii(url.substr(0, 8)) == "https://";
    if (port != (https ? 443 : 80)) host += ":" + std::to_string(port);
    return host;
}

namespace {

std::string refusalReason(int status, std::string_view body) {
    if (status == 429 || status == 503 || status == 403) return "HTTP " + std::to_string(status);
    if (isVerificationPage(body)) return "verification page";
    return {};
}

}  // namespace

void reportAnswer(const std::string& url, int status, std::string_view headerBlock, std::string_view body,
                  bool usable) {
    const AnswerSignal signal = classifyAnswer(status, body, usable);
    if (signal == AnswerSignal::Failed) return;
    const auto retryAfter =
        signal == AnswerSignal::Refused ? retryAfterOf(headerBlock, std::chrono::system_clock::now()) : std::nullopt;
    requestBudget().report(budgetHost(url), signal, retryAfter,
                           signal == AnswerSignal::Refused ? refusalReason(status, body) : std::string());
}

void reportStatus(const std::string& url, int status, std::string_view headerBlock) {
    if (status == 429 || status == 503 || status == 403) {
        requestBudget().report(budgetHost(url), AnswerSignal::Refused,
                               retryAfterOf(headerBlock, std::chrono::system_clock::now()),
                               "HTTP " + std::to_string(status));
    } else if (status >= 200 && status < 400) {
        requestBudget().report(budgetHost(url), AnswerSignal::Good);
    }
}

}  // namespace vigilo::net
