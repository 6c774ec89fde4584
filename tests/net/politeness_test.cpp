// How fast a host may be asked: Retry-After, the verification-page detector and the rate rule.
#include <gtest/gtest.h>

#include <vector>

#include "net/politeness.h"
#include "support/clock.h"

namespace vigilo::net {
namespace {

using namespace std::chrono_literals;

TEST(RetryAfter, SecondsAndDatesAreWaitsAndAnythingElseIsNone) {
    // 2026-10-21 07:28:00 UTC.
    const auto now = std::chrono::system_clock::from_time_t(1792567680);
    struct Case {
        const char* value;
        std::optional<std::chrono::seconds> want;
    } cases[] = {
        {"120", 120s},
        {"  0 ", 0s},
        {"86400", 86400s},
        {"9999999999999", 86400s},  // capped at a day
        {"Wed, 21 Oct 2026 07:30:00 GMT", 120s},
        {"Wed, 21 Oct 2026 07:00:00 GMT", 0s},  // already past
        {"Sat, 21 Nov 2026 07:28:00 GMT", 86400s},
        {"", std::nullopt},
        {"-5", std::nullopt},
        {"1.5", std::nullopt},
        {"soon", std::nullopt},
        {"Wed, 21 Oct 2026 07:30:00 UTC", std::nullopt},
        {"Wed, 21 Foo 2026 07:30:00 GMT", std::nullopt},
        {"Wednesday, 21-Oct-26 07:30:00 GMT", std::nullopt},
        {"Wed, 21 Oct 2026 25:30:00 GMT", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(parseRetryAfter(c.value, now), c.want) << c.value;
}

TEST(VerificationPage, PagesInPlaceOfJsonAreRecognised) {
    struct Case {
        const char* what;
        const char* body;
        bool want;
    } cases[] = {
        {"captcha page", "<!DOCTYPE html><html><head><title>验证码中间页</title></head><body></body></html>", true},
        {"bare html after blanks", "\r\n  <html><body>请稍后再试</body></html>", true},
        {"refusal as JSON", R"({"status_code":8,"status_msg":"请求过于频繁"})", true},
        {"refusal with an empty filter", R"({"status_code":2154,"filter_list":[]})", true},
        {"profile", R"({"status_code":0,"user_info":{"nickname":"a"}})", false},
        {"post list", R"({"status_code":0,"aweme_list":[],"has_more":false})", false},
        {"room", R"({"status_code":0,"data":{"room":{}}})", false},
        {"non-zero status with data", R"({"status_code":5,"data":{"room":{}}})", false},
        {"empty", "", false},
        {"not JSON, not HTML", "ok", false},
        {"truncated JSON", R"({"status_code":8,"status)", false},
    };
    for (const Case& c : cases) EXPECT_EQ(isVerificationPage(c.body), c.want) << c.what;

    EXPECT_EQ(classifyAnswer(429, "", false), AnswerSignal::Refused);
    EXPECT_EQ(classifyAnswer(503, "busy", false), AnswerSignal::Refused);
    EXPECT_EQ(classifyAnswer(403, "", false), AnswerSignal::Refused);
    EXPECT_EQ(classifyAnswer(200, "<html></html>", false), AnswerSignal::Refused);
    EXPECT_EQ(classifyAnswer(200, R"({"status_code":0,"aweme_list":[]})", false), AnswerSignal::Empty);
    EXPECT_EQ(classifyAnswer(200, R"({"status_code":0,"user_info":{}})", true), AnswerSignal::Good);
    EXPECT_EQ(classifyAnswer(0, "", false), AnswerSignal::Failed);
    EXPECT_EQ(classifyAnswer(500, "", false), AnswerSignal::Failed);
    EXPECT_EQ(classifyAnswer(404, "not found", false), AnswerSignal::Failed);
}

// Answers in, rate out: each row is one answer applied to the state the row before left.
TEST(RateRule, HalvesOnRefusalDownToTheFloorAndClimbsBackByOne) {
    const auto t0 = std::chrono::steady_clock::time_point{} + 1000s;
    struct Row {
        const char* what;
        AnswerSignal signal;
        double observed, cap;
        std::optional<std::chrono::seconds> retryAfter;
        double wantRate;
        bool wantRefusing;
        std::chrono::seconds wantNotBefore;  // from t0
    } rows[] = {
        {"good answers, no limit yet", AnswerSignal::Good, 480, 0, {}, 0, false, -1000s},
        {"a failure says nothing", AnswerSignal::Failed, 480, 0, {}, 0, false, -1000s},
        {"refusal halves what was observed", AnswerSignal::Refused, 480, 0, 30s, 240, true, 30s},
        {"again: half the rate now allowed", AnswerSignal::Refused, 240, 0, {}, 120, true, 30s},
        {"a shorter Retry-After never shortens the wait", AnswerSignal::Refused, 120, 0, 5s, 60, true, 30s},
        {"good: one more a minute, recovered", AnswerSignal::Good, 60, 0, {}, 61, false, 30s},
        {"two empties are not yet a refusal", AnswerSignal::Empty, 61, 0, {}, 61, false, 30s},
        {"", AnswerSignal::Empty, 61, 0, {}, 61, false, 30s},
        {"the third empty in a row is", AnswerSignal::Empty, 61, 0, {}, 30.5, true, 30s},
        {"", AnswerSignal::Refused, 30, 0, {}, 15.25, true, 30s},
        {"", AnswerSignal::Refused, 15, 0, {}, 7.625, true, 30s},
        {"never below one every ten seconds", AnswerSignal::Refused, 7, 0, {}, 6, true, 30s},
        {"", AnswerSignal::Refused, 6, 0, {}, 6, true, 30s},
        {"a cap bounds the climb", AnswerSignal::Good, 6, 6.5, {}, 6.5, false, 30s},
    };
    RateState state;
    for (const Row& row : rows) {
        RateInput input;
        input.signal = row.signal;
        input.observedPerMinute = row.observed;
        input.capPerMinute = row.cap;
        input.retryAfter = row.retryAfter;
        input.now = t0;
        state = nextRate(state, input);
        EXPECT_DOUBLE_EQ(state.perMinute, row.wantRate) << row.what;
        EXPECT_EQ(state.refusing, row.wantRefusing) << row.what;
        EXPECT_EQ(state.notBefore, t0 + row.wantNotBefore) << row.what;
    }

    // With a cap, the first refusal halves the cap when more than it was observed.
    RateInput capped;
    capped.signal = AnswerSignal::Refused;
    capped.observedPerMinute = 900;
    capped.capPerMinute = 600;
    EXPECT_DOUBLE_EQ(nextRate(RateState{}, capped).perMinute, 300);
}

}  // namespace
}  // namespace vigilo::net

namespace vigilo::net {
namespace {

using namespace std::chrono_literals;

// The time moves only when a request waits for its turn.
HostBudget budgetOn(testing::MockClock& clock, double cap) {
    return HostBudget(cap, clock.nowFunction(), clock.waitFunction());
}

TEST(HostBudget, RequestsWaitForTheirShareAndNoneIsDropped) {
    testing::MockClock time;
    {
        // No cap and no refusal: nobody waits.
        HostBudget free = budgetOn(time, 0);
        for (int i = 0; i < 50; ++i) EXPECT_TRUE(free.acquire("a.example"));
        EXPECT_TRUE(time.waits.empty());
        EXPECT_EQ(free.observedPerMinute("a.example"), 50);
    }
    // A cap of 60 a minute: one turn a second, in order, each host on its own.
    HostBudget capped = budgetOn(time, 60);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(capped.acquire("a.example"));
    EXPECT_TRUE(capped.acquire("b.example"));
    EXPECT_EQ(time.waits, (std::vector<std::chrono::steady_clock::duration>{1s, 1s, 1s}));

    // A refusal with Retry-After: the next turn comes after it, then at half the rate seen in
    // the last minute (four requests: the floor, one every ten seconds).
    time.waits.clear();
    capped.report("a.example", AnswerSignal::Refused, 30s);
    EXPECT_TRUE(capped.state("a.example").refusing);
    EXPECT_DOUBLE_EQ(capped.state("a.example").perMinute, kFloorPerMinute);
    EXPECT_TRUE(capped.acquire("a.example"));
    EXPECT_TRUE(capped.acquire("a.example"));
    EXPECT_EQ(time.waits, (std::vector<std::chrono::steady_clock::duration>{30s, 10s}));
    // The other host is not slowed.
    time.waits.clear();
    EXPECT_TRUE(capped.acquire("b.example"));
    EXPECT_TRUE(time.waits.empty());

    // A stopped wait gives no turn to use.
    HostBudget stopping(6, time.nowFunction(), [](std::chrono::steady_clock::time_point) { return false; });
    EXPECT_TRUE(stopping.acquire("a.example"));
    EXPECT_FALSE(stopping.acquire("a.example"));
}

}  // namespace
}  // namespace vigilo::net

namespace vigilo::net {
namespace {

using namespace std::chrono_literals;

// A host's refusal and its recovery are each told once, however many answers come between,
// and the probing of the rate rule (a refusal now and then while the service still limits)
// does not tell them again.
TEST(HostBudget, RefusingAndRecoveryAreToldOnceEach) {
    testing::MockClock time;
    HostBudget budget = budgetOn(time, 0);
    std::vector<std::string> told;
    const int id = budget.addListener([&](const HostBudget::Change& c) {
        told.push_back(c.host + (c.refusing
                                     ? " refusing " + std::to_string(static_cast<int>(c.perMinute)) + " " + c.reason
                                     : " recovered"));
    });
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(budget.acquire("api.example"));
    struct Step {
        const char* what;
        AnswerSignal signal;
        const char* reason;
        std::chrono::seconds later;     // the clock moves this much before the answer
        std::vector<std::string> want;  // told so far
    } steps[] = {
        {"good answers tell nothing", AnswerSignal::Good, "", 0s, {}},
        {"the first refusal is told with the rate it leaves",
         AnswerSignal::Refused,
         "HTTP 429",
         0s,
         {"api.example refusing 20 HTTP 429"}},
        {"more refusals are not", AnswerSignal::Refused, "HTTP 403", 1s, {"api.example refusing 20 HTTP 429"}},
        {"a good answer soon after is not yet a recovery",
         AnswerSignal::Good,
         "",
         10s,
         {"api.example refusing 20 HTTP 429"}},
        {"a refusal while probing is not told again",
         AnswerSignal::Refused,
         "HTTP 429",
         30s,
         {"api.example refusing 20 HTTP 429"}},
        {"a failure says nothing", AnswerSignal::Failed, "", 70s, {"api.example refusing 20 HTTP 429"}},
        {"good after a quiet minute: recovered",
         AnswerSignal::Good,
         "",
         0s,
         {"api.example refusing 20 HTTP 429", "api.example recovered"}},
        {"", AnswerSignal::Good, "", 1s, {"api.example refusing 20 HTTP 429", "api.example recovered"}},
    };
    for (const Step& step : steps) {
        time.now += step.later;
        budget.report("api.example", step.signal, {}, step.reason);
        EXPECT_EQ(told, step.want) << step.what;
    }
    EXPECT_FALSE(budget.anyRefusing());

    // A run of empty answers is a refusal of its own kind; the status view says so.
    told.clear();
    for (int i = 0; i < kEmptyRunRefusal; ++i) budget.report("other.example", AnswerSignal::Empty);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_TRUE(told[0].ends_with(" empty answers")) << told[0];
    EXPECT_TRUE(budget.anyRefusing());
    const auto hosts = budget.hosts();
    ASSERT_EQ(hosts.size(), 2u);
    EXPECT_EQ(hosts[1].host, "other.example");
    EXPECT_TRUE(hosts[1].refusing);
    EXPECT_EQ(hosts[1].refusals, 1u);
    EXPECT_EQ(hosts[0].refusals, 3u);

    budget.removeListener(id);
    time.now += 2min;
    budget.report("other.example", AnswerSignal::Good);
    EXPECT_EQ(told.size(), 1u);
    EXPECT_FALSE(budget.anyRefusing());
}

// Tests and demos run the rule's minute faster: turns, Retry-After and the quiet spell shrink.
TEST(HostBudget, ATimeScaleShrinksEveryWait) {
    testing::MockClock time;
    HostBudget budget = budgetOn(time, 60);
    budget.setTimeScale(0.1);
    EXPECT_TRUE(budget.acquire("a.example"));
    EXPECT_TRUE(budget.acquire("a.example"));
    budget.report("a.example", AnswerSignal::Refused, 30s);
    EXPECT_TRUE(budget.acquire("a.example"));
    EXPECT_EQ(time.waits, (std::vector<std::chrono::steady_clock::duration>{100ms, 3s}));
}

TEST(BudgetHost, TheHostWithItsPortUnlessTheSchemesOwn) {
    EXPECT_EQ(budgetHost("https://www.Example.com/web/api/?a=1"), "www.example.com");
    EXPECT_EQ(budgetHost("http://www.example.com:80/x"), "www.example.com");
    EXPECT_EQ(budgetHost("https://www.example.com:443/"), "www.example.com");
    EXPECT_EQ(budgetHost("http://127.0.0.1:41234/web/api/v2/user/info/"), "127.0.0.1:41234");
    EXPECT_EQ(budgetHost("https://127.0.0.1:8443"), "127.0.0.1:8443");
}

TEST(RetryAfter, FoundInTheHeaderBlockByNameInAnyCase) {
    const auto now = std::chrono::system_clock::from_time_t(1792567680);
    EXPECT_EQ(retryAfterOf("HTTP/1.1 429 Too Many Requests\r\nContent-Type: text/html\r\nretry-after: 7\r\n\r\n", now),
              7s);
    EXPECT_EQ(
        retryAfterOf("HTTP/1.1 503 Service Unavailable\r\nRetry-After: Wed, 21 Oct 2026 07:29:00 GMT\r\n\r\n", now),
        60s);
    EXPECT_EQ(retryAfterOf("HTTP/1.1 429 Too Many Requests\r\nX-Retry-After-Hint: 5\r\n\r\n", now), std::nullopt);
    EXPECT_EQ(retryAfterOf("HTTP/1.1 429 Too Many Requests\r\nRetry-After: later\r\n\r\n", now), std::nullopt);
}

}  // namespace
}  // namespace vigilo::net
