// Header, cookie and URL helpers, request builders and settings: pure functions, as tables.
#include <gtest/gtest.h>

#include <cstdlib>

#include "net/exchange.h"
#include "net/http.h"
#include "net/service.h"
#include "support/environment.h"

namespace vigilo {
namespace {

struct TextCase {
    std::string input;
    std::string expected;
};

TEST(HeaderNames, NormalisesEachPieceAndDropsLinesWithoutColon) {
    const TextCase cases[] = {
        {"user-agent: x", "User-Agent: x"},
        {"accept-LANGUAGE: y", "Accept-LANGUAGE: y"},
        {"\r\nAccept: */*", "Accept: */*"},
        {"a: 1\r\nno colon here\r\nb-c-d: 2\r\n", "A: 1\r\nB-C-D: 2"},
        {"referer: http://h/x-y: z", "Referer: http://h/x-y: z"},
        {"x-: 1\r\n-a: 2", "X-: 1\r\n-A: 2"},
        {"\r\n\r\n", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(normalizeHeaderNames(c.input), c.expected) << c.input;
}

TEST(Cookies, MergeKeepsReceivedFirstAndDropsDeleted) {
    struct Case {
        std::string sent, received, expected;
    };
    const Case cases[] = {
        {"a=1; b=2", "b=3; c=4", "b=3; c=4; a=1"},
        {"a=1", "a=deleted", ""},
        {"a=1; b=2", "c=deleted", "a=1; b=2"},
        {" a=1; ", "b=2;", "b=2; a=1"},
        {"a", "a=2", "a=2"},
        {"flag; a=1", "", "flag; a=1"},
        {"", "x=1; x=1", "x=1"},
        {"a=1", "", "a=1"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mergeCookies(c.sent, c.received), c.expected) << c.sent << " | " << c.received;
    }
}

TEST(Cookies, CollectsExactSetCookieLinesUpToTheFirstSemicolon) {
    const TextCase cases[] = {
        {"HTTP/1.1 200 OK\r\nSet-Cookie: a=1; path=/\r\nSet-Cookie: b=2\r\n\r\n", "a=1; b=2"},
        {"set-cookie: a=1\r\nSET-COOKIE: b=2\r\n", ""},
        {"X-Set-Cookie: a=1\r\nSet-Cookie:b=2\r\n", ""},
        {"Set-Cookie: sid=abc ; HttpOnly\r\nSet-Cookie:   c=3  \r\n", "sid=abc; c=3"},
        {"Set-Cookie: ; path=/\r\nSet-Cookie: d=4", "d=4"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(collectSetCookies(c.input), c.expected) << c.input;
}

TEST(UrlParts, HostPortAndPath) {
    struct Case {
        std::string url, host;
        int port;
        std::string path;
    };
    const Case cases[] = {
        {"https://SrvA/A/b?x=1", "srva", 443, "/A/b?x=1"},
        {"http://h:8080/p", "h", 8080, "/p"},
        {"h/p", "h", 80, "/p"},
        {"http://example.com", "example.com", 80, "/"},
        {"HTTPS://Host:8443", "host", 8443, "/"},
        {"http://hh/h?x=http", "hh", 80, "/h?x=http"},
        {"http://127.0.0.1:9/a/b#frag", "127.0.0.1", 9, "/a/b#frag"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(urlHost(c.url), c.host) << c.url;
        EXPECT_EQ(urlPort(c.url), c.port) << c.url;
        EXPECT_EQ(urlPath(c.url), c.path) << c.url;
    }
}

TEST(Methods, VerbTableAndClamping) {
    const char* expected[] = {"GET", "POST", "HEAD", "PUT", "OPTIONS", "DELETE", "TRACE", "CONNECT"};
    for (int m = 0; m < 8; ++m) EXPECT_STREQ(methodVerb(static_cast<HttpMethod>(m)), expected[m]);
    for (int outside : {8, 9, -1}) EXPECT_STREQ(methodVerb(static_cast<HttpMethod>(outside)), "GET");
}

TEST(Urls, OnlyHttpUrlsWithoutControlBytesReachTheWire) {
    struct Case {
        std::string url;
        bool guessHttp;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"http://h/p?q=1", false, "http://h/p?q=1"},
        {"HTTPS://h:8443/", false, "HTTPS://h:8443/"},
        {"http://h/a b", false, "http://h/a%20b"},
        {"http://h/\xE4\xB8\xAD", false, "http://h/%E4%B8%AD"},
        {"h/p", true, "http://h/p"},
        {"h/p", false, std::nullopt},
        {"http://h/x\r\nX-Injected: 1", false, std::nullopt},
        {"http://h/x\nY", false, std::nullopt},
        {std::string("http://h/x\0y", 12), false, std::nullopt},
        {"ftp://h/file", false, std::nullopt},
        {"file:///etc/passwd", true, std::nullopt},
        {"http://", false, std::nullopt},
        {"", true, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(net::checkedUrl(c.url, c.guessHttp), c.expected) << c.url;
}

TEST(Service, QueryValuesCannotAddParameters) {
    const TextCase cases[] = {
        {"MS4wLjABAAAAx-_y.Z~9", "MS4wLjABAAAAx-_y.Z~9"},
        {"6854151890994039560", "6854151890994039560"},
        {"a&count=1 b", "a%26count%3D1%20b"},
        {"x\r\nHost: evil", "x%0D%0AHost%3A%20evil"},
        {"\xC3\xA9/?#%", "%C3%A9%2F%3F%23%25"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(queryValue(c.input), c.expected) << c.input;
}

TEST(Service, RequestPaths) {
    Endpoints endpoints;
    endpoints.account = "http://127.0.0.1:1234";
    endpoints.live = "https://live.example";
    EXPECT_EQ(profileUrl(endpoints, "MS4wLjABAAAA-x_Y"),
              "http://127.0.0.1:1234/web/api/v2/user/info/?sec_uid=MS4wLjABAAAA-x_Y");
    EXPECT_EQ(postListUrl(endpoints, "MS4wLjABAAAA-x_Y"),
              "http://127.0.0.1:1234/web/api/v2/aweme/post/?sec_uid=MS4wLjABAAAA-x_Y"
              "&count=21&max_cursor=0&aid=1128&_signature=qTvNkWBB5pLcRYZdHfE8261KM3&dytk=");
    EXPECT_EQ(roomInfoUrl(endpoints, "6854151890994039560"),
              "https://live.example/webcast/room/reflow/info/?room_id=6854151890994039560&live_id=1&app_id=1128");
    EXPECT_EQ(roomInfoUrl(endpoints, "1&live_id=2"),
              "https://live.example/webcast/room/reflow/info/?room_id=1%26live_id%3D2&live_id=1&app_id=1128");
}

// Each test starts with none of the variables set, and what the person running the tests had
// set comes back after.
class EnvironmentTest : public ::testing::Test {
protected:
    testing::ScopedEnv account_{"VIGILO_ACCOUNT_ENDPOINT", std::nullopt};
    testing::ScopedEnv live_{"VIGILO_LIVE_ENDPOINT", std::nullopt};
    testing::ScopedEnv insecure_{"VIGILO_INSECURE_TLS", std::nullopt};
    testing::ScopedEnv cap_{"VIGILO_REQUESTS_PER_MINUTE", std::nullopt};
};

TEST_F(EnvironmentTest, EndpointsFromTheEnvironment) {
    Endpoints defaults = Endpoints::fromEnvironment();
    EXPECT_EQ(defaults.account, "https://www.iesdouyin.com");
    EXPECT_EQ(defaults.live, "https://webcast.amemv.com");

    account_.set("http://127.0.0.1:8080/");
    live_.set("");
    Endpoints configured = Endpoints::fromEnvironment();
    EXPECT_EQ(configured.account, "http://127.0.0.1:8080");
    EXPECT_EQ(configured.live, "https://webcast.amemv.com");
}

TEST_F(EnvironmentTest, CertificatesAreCheckedUnlessSwitchedOffExplicitly) {
    const std::pair<const char*, bool> cases[] = {{nullptr, false}, {"0", false}, {"yes", false}, {"1", true}};
    for (const auto& [value, insecure] : cases) {
        insecure_.set(value);
        EXPECT_EQ(NetConfig::fromEnvironment().insecureTls, insecure) << (value ? value : "(unset)");
    }
}

TEST_F(EnvironmentTest, RequestCapIsAPositiveWholeNumberOrNone) {
    const std::pair<const char*, double> cases[] = {{nullptr, 0}, {"", 0},    {"600", 600}, {"0", 0},
                                                    {"-5", 0},    {"12x", 0}, {"1.5", 0},   {"99999999", 0}};
    for (const auto& [value, cap] : cases) {
        cap_.set(value);
        EXPECT_EQ(NetConfig::fromEnvironment().requestsPerMinute, cap) << (value ? value : "(unset)");
    }
}

}  // namespace
}  // namespace vigilo
