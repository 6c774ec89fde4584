// Scripted state changes show up in the answers, and every request is recorded as it arrived.
#include <atomic>
#include <thread>

#include "sim_fixture.h"

namespace vigilo::sim::testing {
namespace {

using nlohmann::json;

TEST_F(SimTest, PostsAndAccountEditsShowInTheNextAnswers) {
    struct Step {
        const char* what;
        std::function<void()> change;
        int awemeCount;
        std::string newestId;
    };
    std::vector<Step> steps = {
        {"new post",
         [&] {
             sim.addPost(kSecUid, {"6872336845759090001", "new", "v", 4});
         },
         3, "6872336845759090001"},
        {"removed", [&] { sim.removeNewestPost(kSecUid); }, 2, "6872336845759089421"},
        {"count override", [&] { sim.editAccount(kSecUid, [](Account& a) { a.awemeCountOverride = 40; }); }, 40,
         "6872336845759089421"},
        {"all removed",
         [&] {
             sim.editAccount(kSecUid, [](Account& a) { a.awemeCountOverride = -1; });
             sim.removeNewestPost(kSecUid);
             sim.removeNewestPost(kSecUid);
             sim.removeNewestPost(kSecUid);  // one more than there is: nothing happens
         },
         0, ""},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        s.change();
        EXPECT_EQ(getJson(profilePath())["user_info"]["aweme_count"], s.awemeCount);
        json list = getJson(postsPath())["aweme_list"];
        if (s.newestId.empty())
            EXPECT_TRUE(list.empty());
        else
            EXPECT_EQ(list[0]["aweme_id"], s.newestId);
    }
    EXPECT_FALSE(sim.editAccount("MS4wLjABAAAAnobody", [](Account&) {}));
    sim.addPost("MS4wLjABAAAAnobody", {"1", "", "", 4});  // ignored
    EXPECT_FALSE(getJson(profilePath("MS4wLjABAAAAnobody")).contains("user_info"));
}

TEST_F(SimTest, RequestsAreRecordedAsTheyArrived) {
    sim.clearRequests();
    std::string request =
        "POST /web/api/v2/user/info/?sec_uid=MS4w%26x%3Dy&a=1&a=2 HTTP/1.1\r\n"
        "Host: 127.0.0.1\r\n"
        "user-agent: first\r\n"
        "Accept: */*\r\n"
        "X-Dup: 1\r\n"
        "Cookie:   a=b; c=d  \r\n"
        "X-Dup: 2\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\n"
        "Content-Length: 7\r\n"
        "Connection: close\r\n\r\n"
        "k=v&w=x";
    test::RawReply raw = test::rawExchange(sim.port(), request, std::chrono::seconds(10));
    ASSERT_TRUE(raw.closed);

    auto records = sim.requests();
    ASSERT_EQ(records.size(), 1u);
    const RequestRecord& r = records[0];
    EXPECT_EQ(r.endpoint, kProfile);
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.version, "HTTP/1.1");
    EXPECT_EQ(r.target, "/web/api/v2/user/info/?sec_uid=MS4w%26x%3Dy&a=1&a=2");
    EXPECT_EQ(r.path, "/web/api/v2/user/info/");
    EXPECT_EQ(r.param("sec_uid"), "MS4w&x=y");
    EXPECT_EQ(r.params.count("a"), 2u);
    EXPECT_EQ(r.body, "k=v&w=x");
    std::vector<std::pair<std::string, std::string>> expected = {{"Host", "127.0.0.1"},
                                                                 {"user-agent", "first"},
                                                                 {"Accept", "*/*"},
                                                                 {"X-Dup", "1"},
                                                                 {"Cookie", "a=b; c=d"},
                                                                 {"X-Dup", "2"},
                                                                 {"Content-Type", "application/x-www-form-urlencoded"},
                                                                 {"Content-Length", "7"},
                                                                 {"Connection", "close"}};
    EXPECT_EQ(r.headers, expected);
    EXPECT_EQ(r.header("USER-AGENT"), "first");

    // Endpoints are told apart by path; counts survive the log limit.
    sim.setRequestLogLimit(2);
    std::vector<std::pair<std::string, std::string>> paths = {
        {postsPath(), kPosts},      {roomPath(), kRoom},   {"/aweme/v1/play/?video_id=x", kPlay},
        {"/update/vgmon", kUpdate}, {"/nowhere", "other"},
    };
    for (const auto& [path, endpoint] : paths) {
        get(path);
        EXPECT_EQ(sim.requests().back().endpoint, endpoint) << path;
    }
    EXPECT_EQ(sim.requests().size(), 2u);
    EXPECT_EQ(sim.requestCount(), 6u);
    EXPECT_EQ(sim.requestCount(kProfile), 1u);
    EXPECT_EQ(sim.requests(kUpdate).size(), 1u);
}

TEST_F(SimTest, KeepAliveConnectionsCarrySeveralRequests) {
    std::string two = "GET " + profilePath() + " HTTP/1.1\r\nHost: x\r\n\r\nGET " + roomPath() +
                      " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    test::RawReply raw = test::rawExchange(sim.port(), two, std::chrono::seconds(10));
    EXPECT_TRUE(raw.closed);
    size_t first = raw.bytes.find("HTTP/1.1 200 OK");
    EXPECT_NE(raw.bytes.find("HTTP/1.1 200 OK", first + 1), std::string::npos);
    EXPECT_EQ(sim.requestCount(), 2u);

    // HTTP/1.0, as the plain video download speaks it: the answer ends with the connection.
    test::RawReply old =
        test::rawExchange(sim.port(), "GET /update/vgmon HTTP/1.0\r\nAccept: */*\r\n\r\n", std::chrono::seconds(10));
    EXPECT_TRUE(old.closed);
    EXPECT_NE(old.bytes.find("Connection: close"), std::string::npos);

    // A client that waits for "100 Continue" before its body gets it.
    test::RawReply asked = test::rawExchange(
        sim.port(),
        "POST /nowhere HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 2\r\nConnection: close\r\n\r\nab",
        std::chrono::seconds(10));
    EXPECT_EQ(asked.bytes.rfind("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 404 Not Found\r\n", 0), 0u);
    EXPECT_EQ(sim.requests().back().body, "ab");
}

TEST_F(SimTest, ObserversWaitersCookiesAndCannedAnswers) {
    std::atomic<int> seen{0};
    sim.setRequestObserver([&](const RequestRecord&) { ++seen; });
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        get(roomPath());
    });
    EXPECT_TRUE(sim.waitForRequests(kRoom, 1, std::chrono::seconds(10)));
    later.join();
    EXPECT_FALSE(sim.waitForRequests(kRoom, 2, std::chrono::milliseconds(50)));
    EXPECT_EQ(seen.load(), 1);

    sim.addResponseHeader(kShare, "Set-Cookie", "ttwid=1%7Cabc; Path=/; HttpOnly");
    sim.addResponseHeader(kShare, "Set-Cookie", "odin_tt=xyz; Path=/");
    test::Reply share = get(local(sim.accountShareLink(kSecUid)));
    std::vector<std::string> cookies;
    for (const auto& [n, v] : share.headers)
        if (n == "Set-Cookie") cookies.push_back(v);
    EXPECT_EQ(cookies, (std::vector<std::string>{"ttwid=1%7Cabc; Path=/; HttpOnly", "odin_tt=xyz; Path=/"}));

    sim.setResponse("/charset", {203, "Odd Reason", {{"Content-Type", "text/html"}}, "<meta charset=\"gbk\">\xc4\xe3"});
    test::Reply canned = get("/charset?x=1");
    EXPECT_EQ(canned.status, 203);
    EXPECT_EQ(canned.reason, "Odd Reason");
    EXPECT_EQ(canned.body, "<meta charset=\"gbk\">\xc4\xe3");
    EXPECT_EQ(sim.requests().back().endpoint, kCustom);
}

}  // namespace
}  // namespace vigilo::sim::testing
