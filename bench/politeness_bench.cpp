// Politeness: the request budget (the real HostBudget and rate rule) against a service that
// allows so many requests a minute, in simulated time. The works cycle is modelled at the
// product's cadence (poll starts 20 ms apart, a 10 s countdown between rounds, each account a
// profile and a post list), one request after another; the service keeps a sliding minute of
// the requests it accepted and answers the rest 429 with the seconds until it has room again,
// as the simulator's request limit does. Hours of traffic take a second, so these figures
// are the rule's, not the network's: no process, socket or thread is involved.
//   vigilo-bench politeness [--accounts 5000] [--limit 600] [--minutes 60]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "bench.h"
#include "net/politeness.h"
#include "support.h"

namespace vigilo::bench {
namespace {

using namespace std::chrono_literals;
using Time = std::chrono::steady_clock::time_point;
using Duration = std::chrono::steady_clock::duration;

struct Service {
    int limit = 600;
    std::deque<Time> accepted;
    // From `refuseFrom` to `refuseUntil` every request is refused (429 without Retry-After).
    Time refuseFrom = Time::max(), refuseUntil = Time::max();

    // The status and the Retry-After of a request at `now`.
    std::pair<int, std::optional<std::chrono::seconds>> answer(Time now) {
        if (now >= refuseFrom && now < refuseUntil) return {429, std::nullopt};
        while (!accepted.empty() && now - accepted.front() >= 1min) accepted.pop_front();
        if (static_cast<int>(accepted.size()) < limit) {
            accepted.push_back(now);
            return {200, std::nullopt};
        }
        const auto free = std::chrono::ceil<std::chrono::seconds>(accepted.front() + 1min - now);
        return {429, std::max(free, 1s)};
    }
};

struct Run {
    std::vector<Time> sent;                // every request, in order
    std::vector<Duration> rounds;          // each whole round's length
    std::vector<int> fewestLooksPerRound;  // the least any account was looked at, per round
};

Run simulate(int accounts, int limit, std::chrono::minutes length, Time origin, Service service) {
    Time now = origin;
    net::HostBudget budget(
        0, [&] { return now; },
        [&](Time until) {
            now = std::max(now, until);
            return true;
        });
    service.limit = limit;
    Run run;
    const Time end = origin + length;
    while (now < end) {
        const Time roundStart = now;
        std::vector<int> looks(static_cast<std::size_t>(accounts), 0);
        for (int i = 0; i < accounts && now < end; ++i) {
            now = std::max(now, roundStart + i * 20ms);
            for (int request = 0; request < 2; ++request) {  // profile, then post list
                budget.acquire("service");
                run.sent.push_back(now);
                const auto [status, retryAfter] = service.answer(now);
                budget.report("service", status == 429 ? net::AnswerSignal::Refused : net::AnswerSignal::Good,
                              retryAfter, status == 429 ? "HTTP 429" : "");
            }
            ++looks[static_cast<std::size_t>(i)];
        }
        if (now >= end) break;
        run.rounds.push_back(now - roundStart);
        run.fewestLooksPerRound.push_back(*std::min_element(looks.begin(), looks.end()));
        now += 10s;  // the countdown
    }
    return run;
}

// The most requests in any 60-second window that starts at or after `from` and ends by `to`.
int busiestMinute(const std::vector<Time>& sent, Time from, Time to) {
    int most = 0;
    std::size_t tail = 0;
    for (std::size_t head = 0; head < sent.size(); ++head) {
        if (sent[head] < from) continue;
        tail = std::max(tail, head);
        while (tail < sent.size() && sent[tail] < sent[head] + 1min && sent[tail] < to) ++tail;
        if (sent[head] + 1min <= to) most = std::max(most, static_cast<int>(tail - head));
    }
    return most;
}

int inMinute(const std::vector<Time>& sent, Time start) {
    return static_cast<int>(
        std::count_if(sent.begin(), sent.end(), [&](Time t) { return t >= start && t < start + 1min; }));
}

double minutesOf(Duration d) { return std::chrono::duration<double>(d).count() / 60.0; }

}  // namespace

int runPolitenessBench(const std::vector<std::string>& args) {
    const int accounts = std::stoi(option(args, "--accounts", "5000"));
    const int limit = std::stoi(option(args, "--limit", "600"));
    const auto length = std::chrono::minutes(std::stoi(option(args, "--minutes", "60")));
    const Time origin = Time{} + 1000h;
    const std::string name = "politeness";

    // 1. A service that allows `limit` a minute, for the whole run.
    {
        const Run run = simulate(accounts, limit, length, origin, Service{});
        const int most = busiestMinute(run.sent, origin + 1min, origin + length);
        const double ceiling = limit * 1.05;
        report(name,
               "most requests in any 60 s after the first minute (" + std::to_string(accounts) + " accounts, " +
                   std::to_string(limit) + "/min allowed)",
               std::to_string(most), "<= " + fixed(ceiling, 0), verdict(most <= ceiling));
        const int fewest = run.fewestLooksPerRound.empty()
                               ? 0
                               : *std::min_element(run.fewestLooksPerRound.begin(), run.fewestLooksPerRound.end());
        report(name, "rounds completed; the least any account was looked at in a round",
               std::to_string(run.rounds.size()) + "; " + std::to_string(fewest), ">= 1 each", verdict(fewest >= 1));
        const double floor = 2.0 * accounts / limit;
        double longest = 0, total = 0;
        for (std::size_t i = 1; i < run.rounds.size(); ++i) {  // the first round is the learning one
            longest = std::max(longest, minutesOf(run.rounds[i]));
            total += minutesOf(run.rounds[i]);
        }
        const double mean = run.rounds.size() > 1 ? total / static_cast<double>(run.rounds.size() - 1) : 0;
        report(name, "one round after the first, mean / longest (min)", fixed(mean, 1) + " / " + fixed(longest, 1),
               "floor " + fixed(floor, 1), "info");
        report(name, "use of what the service allows (floor / mean round)", fixed(mean > 0 ? floor / mean : 0, 2), "",
               "info");
    }

    // 2. Ten minutes in which every request is refused (no Retry-After), then the limit again.
    {
        Service service;
        service.refuseFrom = origin + 5min;
        service.refuseUntil = origin + 15min;
        const Run run = simulate(accounts, limit, 30min, origin, service);
        int first = inMinute(run.sent, service.refuseFrom), most = 0;
        for (auto m = service.refuseFrom + 1min; m < service.refuseUntil; m += 1min)
            most = std::max(most, inMinute(run.sent, m));
        report(name, "requests in the first minute of refusals", std::to_string(first), "", "info");
        report(name, "requests a minute during the refusals after that, most", std::to_string(most),
               "<= " + fixed(net::kFloorPerMinute, 0), verdict(most <= net::kFloorPerMinute));
        int after = 0;
        for (auto m = service.refuseUntil; m + 1min <= origin + 30min; m += 1min)
            after = std::max(after, inMinute(run.sent, m));
        const int window = busiestMinute(run.sent, service.refuseUntil, origin + 30min);
        report(name, "after the refusals: most in a minute / in any 60 s",
               std::to_string(after) + " / " + std::to_string(window),
               "<= " + std::to_string(limit) + " / " + fixed(limit * 1.05, 0),
               verdict(after <= limit && window <= limit * 1.05));
    }
    return 0;
}

}  // namespace vigilo::bench
