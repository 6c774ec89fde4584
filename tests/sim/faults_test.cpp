// Each fault is observable on the wire, stays on its endpoint, and leaves the service working.
#include <httplib.h>

#include <thread>

#include "sim/tls_cert.h"
#include "sim_fixture.h"
#include "support/testdir.h"

namespace vigilo::sim::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

class FaultTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sim.goLive(kRoomId, "http://127.0.0.1:1/stage/a.flv");
    }
    test::RawReply raw(const std::string& target, std::chrono::milliseconds timeout = 20s, size_t limit = 4u << 20) {
        return test::rawExchange(sim.port(), test::getRequest(target), timeout, limit);
    }
};

TEST_F(FaultTest, AnswersThatComeBackWrong) {
    struct Case {
        Fault fault;
        std::string endpoint;
        std::string target;
        std::function<void(const test::Reply&)> check;
    };
    std::vector<Case> cases = {
        {Fault::Http500, kProfile, profilePath(),
         [](const test::Reply& r) {
             EXPECT_EQ(r.status, 500);
             EXPECT_NE(r.body.find("500 Internal Server Error"), std::string::npos);
         }},
        {Fault::Empty404, kPosts, postsPath(),
         [](const test::Reply& r) {
             EXPECT_EQ(r.status, 404);
             EXPECT_EQ(r.header("Content-Length"), "0");
             EXPECT_TRUE(r.body.empty());
         }},
        {Fault::TruncatedJson, kRoom, roomPath(),
         [](const test::Reply& r) {
             EXPECT_EQ(r.status, 200);
             EXPECT_TRUE(r.complete);
             EXPECT_EQ(r.body.front(), '{');
             EXPECT_TRUE(json::parse(r.body, nullptr, false).is_discarded());
         }},
        {Fault::Html, kPosts, postsPath(),
         [](const test::Reply& r) {
             EXPECT_EQ(r.header("Content-Type"), "text/html; charset=utf-8");
             EXPECT_EQ(r.body.rfind("<!DOCTYPE html>", 0), 0u);
         }},
        {Fault::DeepNesting, kRoom, roomPath(),
         [](const test::Reply& r) {
             ASSERT_EQ(r.body.size(), 2000000u);
             EXPECT_EQ(r.body.find_first_not_of('['), 1000000u);
         }},
        {Fault::EmptyBody, kProfile, profilePath(),
         [](const test::Reply& r) {
             EXPECT_EQ(r.status, 200);
             EXPECT_EQ(r.header("Content-Length"), "0");
         }},
        {Fault::Blocked, kPosts, postsPath(),
         [](const test::Reply& r) {
             json doc = json::parse(r.body);
             EXPECT_EQ(doc["status_code"], 0);
             EXPECT_TRUE(doc["aweme_list"].empty());
             EXPECT_TRUE(doc["has_more"] == true || doc["has_more"] == 1);
         }},
        {Fault::Blocked, kProfile, profilePath(),
         [](const test::Reply& r) { EXPECT_FALSE(json::parse(r.body).contains("user_info")); }},
        {Fault::EmptyOwnRoom, kRoom, roomPath(),
         [](const test::Reply& r) {
             json own = json::parse(r.body)["data"]["room"]["owner"]["own_room"];
             EXPECT_EQ(own["room_ids"], json::array());
             EXPECT_EQ(own["room_ids_str"], json::array());
         }},
        {Fault::SwappedTypes, kProfile, profilePath(),
         [](const test::Reply& r) {
             json u = json::parse(r.body)["user_info"];
             EXPECT_EQ(u["follower_count"], "1234");
             EXPECT_EQ(u["short_id"], 1589043172);
             EXPECT_EQ(u["uid"], 73519046218);
             EXPECT_EQ(u["nickname"], "小熊看世界🐻");
         }},
        {Fault::SwappedTypes, kRoom, roomPath(),
         [](const test::Reply& r) {
             json room = json::parse(r.body)["data"]["room"];
             EXPECT_EQ(room["owner"]["own_room"]["room_ids_str"][0].get<std::uint64_t>(), 6854151890994039560ull);
             EXPECT_EQ(room["owner"]["own_room"]["room_ids"][0], kRoomId);
             EXPECT_EQ(room["create_time"].type(), json::value_t::string);
         }},
        {Fault::RedirectLoop, kVideo, "", [](const test::Reply& r) { EXPECT_EQ(r.status, 302); }},
        {Fault::HugeHeader, kNotice, local(sim.noticeUrl()),
         [](const test::Reply& r) {
             EXPECT_EQ(r.status, 302);
             EXPECT_EQ(r.header("X-Tt-Trace-Tag").size(), 1u << 20);
             EXPECT_FALSE(r.header("Location").empty());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(faultName(c.fault)) + " on " + c.endpoint);
        sim.clearFaults();
        std::string target = c.target;
        if (target.empty()) {  // the video address of the newest post
            std::string play = getJson(postsPath())["aweme_list"][0]["video"]["play_addr_lowbr"]["url_list"][3];
            target = local(get(local(play)).header("Location"));
        }
        sim.setFault(c.endpoint, c.fault);
        test::Reply r = get(target);
        c.check(r);
        if (c.fault == Fault::RedirectLoop) {
            EXPECT_EQ(r.header("Location"), sim.baseUrl() + target);
        }
    }
}

TEST_F(FaultTest, ConnectionFaults) {
    // Stall: accepted, never answered, until the fault is cleared.
    sim.setFault(kProfile, Fault::Stall);
    test::RawReply stalled = raw(profilePath(), 400ms);
    EXPECT_TRUE(stalled.connected);
    EXPECT_TRUE(stalled.timedOut);
    EXPECT_TRUE(stalled.bytes.empty());
    test::RawReply released;
    std::thread waiter([&] { released = raw(profilePath(), 20s); });
    ASSERT_TRUE(sim.waitForRequests(kProfile, 2, 10s));
    std::this_thread::sleep_for(100ms);
    sim.setFault(kProfile, Fault::None);
    waiter.join();
    EXPECT_EQ(released.bytes.rfind("HTTP/1.1 200 OK", 0), 0u);

    // Slow: one byte a second, the head included.
    sim.setFault(kPosts, Fault::Slow);
    test::RawReply slow = raw(postsPath(), 1500ms);
    EXPECT_TRUE(slow.timedOut);
    EXPECT_GE(slow.bytes.size(), 1u);
    EXPECT_LE(slow.bytes.size(), 3u);
    EXPECT_EQ(std::string("HTT").rfind(slow.bytes, 0), 0u);

    // Reset halfway: the announced length never arrives and the connection is reset.
    sim.setFault(kRoom, Fault::ResetMidBody);
    test::RawReply cut = raw(roomPath());
    EXPECT_TRUE(cut.reset || cut.closed);
    test::Reply partial;
    ASSERT_TRUE(test::parseReply(cut.bytes, partial));
    EXPECT_FALSE(partial.complete);
    size_t announced = std::stoul(partial.header("Content-Length"));
    EXPECT_EQ(partial.body.size(), announced / 2);

    // Huge: 200 MB announced and streamed; the first bytes look like JSON.
    sim.setFault(kPosts, Fault::Huge);
    test::RawReply huge = raw(postsPath(), 20s, 256 * 1024);
    test::Reply head;
    ASSERT_TRUE(test::parseReply(huge.bytes, head));
    EXPECT_EQ(head.header("Content-Length"), std::to_string(200u << 20));
    EXPECT_EQ(head.body.rfind("{\"status_code\":0,\"data\":\"AAAA", 0), 0u);

    // Refused: the port closes and opens again.
    sim.setRefusing(true);
    EXPECT_FALSE(raw(profilePath(), 2s).connected);
    sim.setRefusing(false);
    sim.clearFaults();
    EXPECT_EQ(get(profilePath()).status, 200);
}

TEST_F(FaultTest, FaultsStayOnTheirEndpointAndCanBeCounted) {
    sim.setFault(kProfile, Fault::Http500, 2);
    EXPECT_EQ(get(postsPath()).status, 200);
    EXPECT_EQ(get(profilePath()).status, 500);
    EXPECT_EQ(get(profilePath()).status, 500);
    EXPECT_EQ(get(profilePath()).status, 200);
}

// Refusals: the two faults, a burst of 403s that ends by itself, and a request limit over a
// window that answers 429 with the wait until there is room, counts only what it accepted,
// and leaves the other endpoints alone.
TEST_F(FaultTest, RefusalsAndTheRequestLimit) {
    sim.setRetryAfter(7);
    sim.setFault(kProfile, Fault::Http429);
    test::Reply r = get(profilePath());
    EXPECT_EQ(r.status, 429);
    EXPECT_EQ(r.header("Retry-After"), "7");
    sim.setRetryAfter(-1);
    EXPECT_EQ(get(profilePath()).header("Retry-After"), "");
    sim.setFault(kPosts, Fault::Http403, 2);
    EXPECT_EQ(get(postsPath()).status, 403);
    EXPECT_EQ(get(postsPath()).status, 403);
    EXPECT_EQ(get(postsPath()).status, 200);
    EXPECT_EQ(sim.refusedCount(), 4u);
    sim.clearFaults();

    sim.setRequestLimit(3, std::chrono::hours(1));
    EXPECT_EQ(get(profilePath()).status, 200);
    EXPECT_EQ(get(postsPath()).status, 200);
    EXPECT_EQ(get(roomPath()).status, 200);
    for (int i = 0; i < 2; ++i) {
        r = get(roomPath());
        EXPECT_EQ(r.status, 429);
        const int wait = std::stoi(r.header("Retry-After"));
        EXPECT_GT(wait, 3500);  // the hour's window frees its first place in about an hour
        EXPECT_LE(wait, 3600);
        EXPECT_NE(json::parse(r.body, nullptr, false).value("status_code", 0), 0);
    }
    EXPECT_EQ(get(local(sim.noticeUrl())).status, 302);  // not a JSON endpoint
    EXPECT_EQ(sim.refusedCount(), 6u);
    sim.setRequestLimit(0);
    EXPECT_EQ(get(profilePath()).status, 200);
}

TEST_F(FaultTest, EveryFaultOnEveryEndpointLeavesTheServiceWorking) {
    std::string play = getJson(postsPath())["aweme_list"][0]["video"]["play_addr_lowbr"]["url_list"][3];
    std::vector<std::pair<std::string, std::string>> endpoints = {
        {kProfile, profilePath()},
        {kPosts, postsPath()},
        {kRoom, roomPath()},
        {kShare, local(sim.accountShareLink(kSecUid))},
        {kPlay, local(play)},
        {kVideo, local(get(local(play)).header("Location"))},
        {kNotice, local(sim.noticeUrl())},
        {kUpdate, local(sim.updateUrl())},
    };
    for (const auto& [endpoint, target] : endpoints) {
        for (Fault f : allFaults()) {
            SCOPED_TRACE(std::string(faultName(f)) + " on " + endpoint);
            sim.setFault(endpoint, f);
            // Slow faults are cut short by the client; the rest answer at once.
            bool slow = f == Fault::Stall || f == Fault::Slow;
            test::RawReply r = raw(target, slow ? 200ms : 20s, f == Fault::Huge ? 64 * 1024 : 4u << 20);
            EXPECT_TRUE(r.connected);
            if (!slow && f != Fault::ResetMidBody) {
                EXPECT_EQ(r.bytes.rfind("HTTP/1.1 ", 0), 0u);
            }
            sim.setFault(endpoint, Fault::None);
        }
        test::Reply after = get(target);
        EXPECT_GE(after.status, 200) << endpoint;
        EXPECT_LT(after.status, 400) << endpoint;
    }
}

TEST(SimulatorStop, ReturnsPromptlyWithStalledAndSlowExchangesInFlight) {
    Simulator sim;
    ASSERT_TRUE(sim.start());
    sim.setFault(kProfile, Fault::Stall);
    sim.setFault(kPosts, Fault::Slow);
    std::vector<std::thread> clients;
    for (const char* target : {"/web/api/v2/user/info/?sec_uid=x", "/web/api/v2/aweme/post/?sec_uid=x"}) {
        clients.emplace_back([port = sim.port(), target] {
            test::RawReply r = test::rawExchange(port, test::getRequest(target), 30s);
            EXPECT_FALSE(r.timedOut);  // the stop closed it
        });
    }
    ASSERT_TRUE(sim.waitForRequests("", 2, 10s));
    EXPECT_EQ(sim.openConnections(), 2u);
    auto start = std::chrono::steady_clock::now();
    sim.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    for (auto& t : clients) t.join();
}

TEST(SimulatorTls, ServesHttpsWithACertificateOfItsOwn) {
    vigilo::testing::TempDir dir;
    ASSERT_TRUE(writeSelfSignedCertificate(dir.file("cert.pem"), dir.file("key.pem")));
    Simulator sim;
    ASSERT_TRUE(sim.start(0, dir.file("cert.pem"), dir.file("key.pem")));
    EXPECT_EQ(sim.baseUrl().rfind("https://127.0.0.1:", 0), 0u);
    sim.addAccount(sampleAccount());

    httplib::SSLClient client("127.0.0.1", sim.port());
    client.enable_server_certificate_verification(false);
    client.set_read_timeout(10, 0);
    auto res = client.Get("/web/api/v2/user/info/?sec_uid=" + std::string(kSecUid), {{"User-Agent", "tls-test"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(json::parse(res->body)["user_info"]["uid"], kUid);
    EXPECT_EQ(sim.requests().back().header("User-Agent"), "tls-test");

    // A fault that resets works the same way over TLS, and stop is still prompt.
    sim.setFault(kProfile, Fault::Stall);
    std::thread stalled([&] {
        httplib::SSLClient c("127.0.0.1", sim.port());
        c.enable_server_certificate_verification(false);
        c.set_read_timeout(30, 0);
        c.Get("/web/api/v2/user/info/?sec_uid=x");
    });
    ASSERT_TRUE(sim.waitForRequests(kProfile, 2, 10s));
    auto start = std::chrono::steady_clock::now();
    sim.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    stalled.join();

    Simulator bad;
    EXPECT_FALSE(bad.start(0, dir.file("missing.pem"), dir.file("key.pem")));
}

}  // namespace
}  // namespace vigilo::sim::testing
