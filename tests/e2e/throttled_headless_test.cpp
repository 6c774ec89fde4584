// The real `vigilo --headless` against a simulated service that starts refusing and later
// answers again: the log, the event and the status say each once.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>

#include "child.h"
#include "headless_fixture.h"
#include "sim/push_receiver.h"
#include "sim/simulator.h"
#include "support/fixtures.h"

namespace vigilo::e2e {
namespace {

using std::chrono::seconds;

std::size_t countOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

class Throttled : public HeadlessFixture {
protected:
    // The hosts the status file names as refusing; nullopt while the file is missing or torn.
    std::optional<nlohmann::json> throttled() {
        const auto doc = nlohmann::json::parse(readBytes(dir_ / "status.json"), nullptr, false);
        if (doc.is_discarded() || !doc.is_object() || !doc.contains("throttled")) return std::nullopt;
        return doc["throttled"];
    }
};

TEST_F(Throttled, RefusalAndRecoveryAreToldOnceInTheLogTheEventsAndTheStatus) {
    const sim::Account account = testing::makeAccount("77002", "慢慢来");
    sim_.addAccount(account);
    writeBytes(dir_ / "accounts.txt", sim_.accountShareLink(account.secUid) + "\n");
    sim::PushReceiver hook;
    ASSERT_TRUE(hook.start());

    Child vigilo(args({"--accounts", (dir_ / "accounts.txt").string(), "--status-json", (dir_ / "status.json").string(),
                       "--duration", "120", "--verbose"}),
                 env({{"VIGILO_WEBHOOK_URL", hook.url()}}));
    ASSERT_TRUE(vigilo.waitOut("：监控开始", seconds(20))) << vigilo.err();
    const std::size_t before = sim_.requestCount(sim::kProfile);
    ASSERT_TRUE(sim_.waitForRequests(sim::kProfile, before + 2, seconds(20)));

    // Every look at the profile is refused with a short Retry-After.
    const std::string host = "127.0.0.1:" + std::to_string(sim_.port());
    const std::string refusing = "服务限流，放慢查询：" + host + "，每分钟 ";
    const std::string recovered = "服务恢复正常：" + host;
    sim_.setRetryAfter(1);
    sim_.setFault(sim::kProfile, sim::Fault::Http429);
    ASSERT_TRUE(vigilo.waitOut(refusing, seconds(20))) << vigilo.out();
    ASSERT_TRUE(waitUntil(
        [&] {
            const auto hosts = throttled();
            return hosts && hosts->size() == 1 && (*hosts)[0].value("host", "") == host &&
                   (*hosts)[0].value("perMinute", 0.0) >= 6.0;
        },
        seconds(10)))
        << readBytes(dir_ / "status.json");
    // Still refused for a while: nothing more is told.
    const std::size_t refused = sim_.refusedCount();
    ASSERT_TRUE(waitUntil([&] { return sim_.refusedCount() >= refused + 3; }, seconds(20)));

    sim_.clearFaults();
    ASSERT_TRUE(vigilo.waitOut(recovered, seconds(30))) << vigilo.out();
    ASSERT_TRUE(waitUntil([&] { return throttled() && throttled()->empty(); }, seconds(10)))
        << readBytes(dir_ / "status.json");
    ASSERT_TRUE(hook.waitFor(2, seconds(10)));

    vigilo.signal(SIGTERM);
    ASSERT_EQ(vigilo.waitExit(seconds(30)), 0) << vigilo.err();
    vigilo.waitOutputClosed(seconds(2));
    const std::string out = vigilo.out();

    EXPECT_EQ(countOf(out, refusing), 1u) << out;
    EXPECT_EQ(countOf(out, recovered + "\n"), 1u) << out;
    EXPECT_LT(out.find(refusing), out.find(recovered));
    EXPECT_EQ(countOf(out, "event service_refusing: 服务限流：" + host + " — 每分钟 "), 1u) << out;
    EXPECT_EQ(countOf(out, " · HTTP 429\n"), 1u) << out;
    EXPECT_EQ(countOf(out, "event service_recovered: 服务恢复正常：" + host), 1u) << out;
    // The status bar took the service's words once and gave them back once.
    EXPECT_EQ(countOf(out, "status: 视频监控中…… 服务限流：" + host + "，每分钟 "), 1u) << out;
    EXPECT_EQ(countOf(out, "服务限流：" + host), 2u) << out;  // the event and the status

    // The log file has both lines and both events.
    const std::string file = readBytes(home_ / "vigilo.log");
    EXPECT_EQ(countOf(file, refusing), 1u) << file;
    EXPECT_EQ(countOf(file, recovered + "\r\n"), 1u) << file;
    EXPECT_EQ(countOf(file, "event service_refusing: "), 1u) << file;
    EXPECT_EQ(countOf(file, "event service_recovered: "), 1u) << file;

    // The receivers got the two events with their fields, in order.
    std::vector<nlohmann::json> pushed;
    for (const auto& request : hook.requests()) {
        const auto doc = nlohmann::json::parse(request.body, nullptr, false);
        const std::string type = doc.is_object() ? doc.value("type", "") : "";
        if (type.starts_with("service_")) pushed.push_back(doc);
    }
    ASSERT_EQ(pushed.size(), 2u);
    EXPECT_EQ(pushed[0]["type"], "service_refusing");
    EXPECT_EQ(pushed[0]["fields"]["host"], host);
    EXPECT_EQ(pushed[0]["fields"]["reason"], "HTTP 429");
    EXPECT_GE(std::stoi(pushed[0]["fields"]["rate"].get<std::string>()), 6);
    EXPECT_EQ(pushed[1]["type"], "service_recovered");
    EXPECT_EQ(pushed[1]["fields"]["host"], host);
}

}  // namespace
}  // namespace vigilo::e2e
