// The three clients against a loopback server: what reaches the wire, redirects, cookies,
// status reports, time-outs, failures and the isolation of one exchange from the next.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "net/budget.h"
#include "net/http.h"
#include "net/politeness.h"
#include "net/service.h"
#include "support/loopback.h"
#include "text/charset.h"

namespace vigilo {
namespace {

using testing::LoopbackServer;
using testing::Received;
using testing::sorted;

enum class Client { Scriptable, Native, Internet };

const char* clientName(Client client) {
    switch (client) {
        case Client::Scriptable: return "scriptable";
        case Client::Native: return "native";
        case Client::Internet: return "internet";
    }
    return "?";
}

HttpResult sendWith(Client client, const HttpRequestOptions& options) {
    switch (client) {
        case Client::Scriptable: return ScriptableHttpClient::send(options);
        case Client::Native: return NativeHttpClient::send(options);
        case Client::Internet: return InternetHttpClient::send(options);
    }
    return {};
}

constexpr Client kAllClients[] = {Client::Scriptable, Client::Native, Client::Internet};

const std::string kRedirectPage = "<a href=\"http://elsewhere/target?a=1&amp;b=2\">Found</a>.\n\n";

// Restores the process-wide settings a test changed.
class ConfigGuard {
public:
    ConfigGuard() : saved_(netConfig()) {}
    ~ConfigGuard() { setNetConfig(saved_); }
    ConfigGuard(const ConfigGuard&) = delete;
    ConfigGuard& operator=(const ConfigGuard&) = delete;

private:
    NetConfig saved_;
};

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_.on("/echo",
                   [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
        server_.on("/redirect", [this](const httplib::Request&, httplib::Response& res) {
            res.status = 302;
            res.set_header("Location", server_.url("/target"));
            res.set_header("X-Hop", "1");
            res.set_content(kRedirectPage, "text/html; charset=utf-8");
        });
        server_.on("/target", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("X-Final", "1");
            res.set_content("final", "text/plain");
        });
        server_.on("/loop", [](const httplib::Request&, httplib::Response& res) {
            res.status = 302;
            res.set_header("Location", "/loop");
            res.set_content("again", "text/plain");
        });
        server_.on("/cookies", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("Set-Cookie", "a=1; path=/");
            res.set_header("Set-Cookie", "b=2");
            res.set_header("set-cookie", "c=3");
            res.set_content("c", "text/plain");
        });
        server_.on("/deleted", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("Set-Cookie", "a=deleted; path=/");
            res.set_content("d", "text/plain");
        });
        server_.on("/redirect-cookie", [this](const httplib::Request&, httplib::Response& res) {
            res.status = 302;
            res.set_header("Set-Cookie", "hop=1");
            res.set_header("Location", server_.url("/echo"));
        });
        server_.on("/missing", [](const httplib::Request&, httplib::Response& res) {
            res.status = 404;
            res.set_content("no such page", "text/plain");
        });
        server_.on("/stall", [this](const httplib::Request&, httplib::Response& res) {
            server_.stall();
            res.set_content("late", "text/plain");
        });
        server_.on("/stall-body", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(100, "text/plain", [this](size_t offset, size_t, httplib::DataSink& sink) {
                if (offset == 0) {
                    sink.write("partial", 7);
                    return true;
                }
                server_.stall();
                return false;
            });
        });
        server_.on("/big", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(5000, 'x'), "text/plain");
        });
        server_.on("/big-chunked", [](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider("text/plain", [](size_t offset, httplib::DataSink& sink) {
                if (offset >= 5000) {
                    sink.done();
                    return true;
                }
                const std::string piece(1000, 'x');
                return sink.write(piece.data(), piece.size());
            });
        });
        server_.on("/large", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string(900 * 1024, 'L'), "application/json");
        });
        server_.on("/huge-header", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("X-Big", std::string(1 << 20, 'a'));
            res.set_content("h", "text/plain");
        });
        server_.on("/id", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(req.get_header_value("X-Id") + "|" + req.get_header_value("Cookie"), "text/plain");
        });
        ASSERT_TRUE(server_.start());
    }

    HttpRequestOptions options(const std::string& path) {
        HttpRequestOptions o;
        o.url = server_.url(path);
        return o;
    }

    std::string host() const { return "Host: 127.0.0.1:" + std::to_string(server_.port()); }

    LoopbackServer server_;
};

// ---------------------------------------------------------------------------------------------
// Request headers: defaults only when absent, names normalised, each client's keep-alive rule,
// Referer = URL, Content-Type for POST only.

struct HeaderCase {
    const char* name;
    Client client;
    std::function<void(HttpRequestOptions&)> setup;
    std::string method;
    std::vector<std::string> expected;  // besides Host; "{url}" stands for the request URL
};

TEST_F(ClientTest, RequestHeadersOnTheWire) {
    const std::string sAgent = "User-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";
    const std::string nAgent = "User-Agent: Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; WOW64; Trident/5.0)";
    const std::string form = "Content-Type: application/x-www-form-urlencoded";
    const std::vector<std::string> nativeDefaults = {nAgent, "Accept: text/html, application/xhtml+xml, */*",
                                                     "Accept-Encoding: gbk, GB2312", "Accept-Language: zh-cn",
                                                     "Cache-Control: no-cache"};
    auto with = [](std::vector<std::string> base, std::vector<std::string> more) {
        base.insert(base.end(), more.begin(), more.end());
        return base;
    };
    const std::vector<HeaderCase> cases = {
        {"scriptable defaults",
         Client::Scriptable,
         [](auto&) {},
         "GET",
         {"Accept: */*", "Referer: {url}", "Accept-Language: zh-cn", sAgent}},
        {"scriptable keeps the caller's headers under normalised names and drops keep-alive",
         Client::Scriptable,
         [](auto& o) { o.extraHeaders = "user-agent: X\r\nConnection: keep-alive\r\nreferer: R\r\naccept: a/b"; },
         "GET",
         {"User-Agent: X", "Referer: R", "Accept: a/b", "Accept-Language: zh-cn"}},
        {"scriptable passes Connection: close",
         Client::Scriptable,
         [](auto& o) { o.extraHeaders = "Connection: close"; },
         "GET",
         {"Connection: close", "Accept: */*", "Referer: {url}", "Accept-Language: zh-cn", sAgent}},
        {"scriptable POST gets a form type",
         Client::Scriptable,
         [](auto& o) {
             o.method = HttpMethod::Post;
             o.bodyText = "a=1";
         },
         "POST",
         {"Accept: */*", "Referer: {url}", "Accept-Language: zh-cn", sAgent, form, "Content-Length: 3"}},
        {"scriptable POST keeps the caller's type",
         Client::Scriptable,
         [](auto& o) {
             o.method = HttpMethod::Post;
             o.bodyBytes = std::string("{}");
             o.bodyText = "ignored";
             o.extraHeaders = "content-type: application/json";
         },
         "POST",
         {"Content-Type: application/json", "Accept: */*", "Referer: {url}", "Accept-Language: zh-cn", sAgent,
          "Content-Length: 2"}},
        {"scriptable method out of range is GET, cookie prefix removed",
         Client::Scriptable,
         [](auto& o) {
             o.method = static_cast<HttpMethod>(9);  // a number no method has
             o.cookies = "Cookie: a=1; b=2";
         },
         "GET",
         {"Cookie: a=1; b=2", "Accept: */*", "Referer: {url}", "Accept-Language: zh-cn", sAgent}},
        {"scriptable sends a single keep-alive line as given",
         Client::Scriptable,
         [](auto& o) {
             o.completeHeaders = false;
             o.extraHeaders = "connection: keep-alive";
         },
         "GET",
         {"Connection: keep-alive"}},
        {"scriptable drops keep-alive from a list even without completion",
         Client::Scriptable,
         [](auto& o) {
             o.completeHeaders = false;
             o.extraHeaders = "Connection: keep-alive\r\nX-A: 1";
         },
         "GET",
         {"X-A: 1"}},
        {"scriptable adds nothing without completion",
         Client::Scriptable,
         [](auto& o) {
             o.completeHeaders = false;
             o.normalizeHeaderCase = false;
             o.extraHeaders = "x-lower: 1";
         },
         "GET",
         {"x-lower: 1"}},
        {"native defaults", Client::Native, [](auto&) {}, "GET", nativeDefaults},
        {"native keeps the caller's agent and drops keep-alive",
         Client::Native,
         [](auto& o) { o.extraHeaders = "user-agent: x\r\nConnection: keep-alive"; },
         "GET",
         {"User-Agent: x", "Accept: text/html, application/xhtml+xml, */*", "Accept-Encoding: gbk, GB2312",
          "Accept-Language: zh-cn", "Cache-Control: no-cache"}},
        {"native POST with cookies", Client::Native,
         [](auto& o) {
             o.method = HttpMethod::Post;
             o.bodyText = "q";
             o.cookies = "a=1; b=2";
         },
         "POST", with(nativeDefaults, {form, "Content-Length: 1", "Cookie: a=1; b=2"})},
        {"native bare",
         Client::Native,
         [](auto& o) {
             o.completeHeaders = false;
             o.extraHeaders = "x-a: 1\r\nConnection: close";
         },
         "GET",
         {"X-A: 1", "Connection: close"}},
        {"internet defaults",
         Client::Internet,
         [](auto&) {},
         "GET",
         {sAgent, "Accept: */*", "Referer: {url}", "Accept-Language: zh-cn"}},
        {"internet agent from the caller's line, keep-alive kept",
         Client::Internet,
         [](auto& o) { o.extraHeaders = "User-Agent: X\r\nConnection: keep-alive"; },
         "GET",
         {"User-Agent: X", "Connection: keep-alive", "Accept: */*", "Referer: {url}", "Accept-Language: zh-cn"}},
        {"internet cookies with and without their prefix",
         Client::Internet,
         [](auto& o) {
             o.cookies = "Cookie: a=1";
             o.completeHeaders = false;
         },
         "GET",
         {sAgent, "Cookie: a=1"}},
        {"internet POST",
         Client::Internet,
         [](auto& o) {
             o.method = HttpMethod::Post;
             o.bodyText = "k=v";
             o.cookies = "a=1; b=2";
         },
         "POST",
         {sAgent, "Accept: */*", "Referer: {url}", "Accept-Language: zh-cn", form, "Cookie: a=1; b=2",
          "Content-Length: 3"}},
        {"internet GET sends no body",
         Client::Internet,
         [](auto& o) {
             o.bodyText = "dropped";
             o.completeHeaders = false;
         },
         "GET",
         {sAgent}},
    };

    for (const HeaderCase& c : cases) {
        SCOPED_TRACE(c.name);
        HttpRequestOptions o = options("/echo");
        c.setup(o);
        const HttpResult result = sendWith(c.client, o);
        EXPECT_TRUE(result.transportOk()) << result.error;
        EXPECT_EQ(result.body, "ok");
        const Received received = server_.last();
        EXPECT_EQ(received.method, c.method);
        std::vector<std::string> expected{host()};
        for (std::string line : c.expected) {
            const auto at = line.find("{url}");
            if (at != std::string::npos) line.replace(at, 5, o.url);
            expected.push_back(line);
        }
        EXPECT_EQ(received.headers, sorted(expected));
    }
}

TEST_F(ClientTest, NothingFromTheTextsIsInjectedIntoTheRequest) {
    for (Client client : kAllClients) {
        SCOPED_TRACE(clientName(client));
        server_.clearRequests();

        HttpRequestOptions bad = options("/echo");
        bad.url += "\r\nX-Injected: 1";
        HttpResult refused = sendWith(client, bad);
        EXPECT_FALSE(refused.transportOk());
        EXPECT_TRUE(refused.body.empty());
        EXPECT_TRUE(server_.requests().empty());
        // A refused address is a failed exchange like any other: the scriptable client still
        // merges the cookies it was given.
        bad.cookies = "a=1; b=2";
        refused = sendWith(client, bad);
        if (client == Client::Scriptable) {
            EXPECT_EQ(refused.receivedCookies, "a=1; b=2");
        }

        HttpRequestOptions spaced = options("/echo?q=a b");
        EXPECT_EQ(sendWith(client, spaced).body, "ok");
        EXPECT_EQ(server_.last().target, "/echo?q=a%20b");

        // A bare line feed inside a line would end it early on the wire: the line is left out.
        HttpRequestOptions lines = options("/echo");
        lines.completeHeaders = false;
        lines.extraHeaders = "X-A: 1\nX-Evil: 2\r\nX-B: 3\r\nX-C: 4\r";
        EXPECT_EQ(sendWith(client, lines).body, "ok");
        const auto headers = server_.last().headers;
        for (const std::string& line : headers) {
            EXPECT_EQ(line.find("X-Evil"), std::string::npos);
            EXPECT_NE(line.rfind("X-A", 0), 0u) << line;
            EXPECT_NE(line.rfind("X-C", 0), 0u) << line;
        }
        EXPECT_NE(std::find(headers.begin(), headers.end(), "X-B: 3"), headers.end());
    }
}

// ---------------------------------------------------------------------------------------------
// Redirects, status and the header block.

TEST_F(ClientTest, RedirectsFollowedOrReturnedWithTheirPage) {
    for (Client client : kAllClients) {
        SCOPED_TRACE(clientName(client));
        HttpRequestOptions stay = options("/redirect");
        stay.noRedirect = true;
        const HttpResult page = sendWith(client, stay);
        EXPECT_TRUE(page.transportOk()) << page.error;
        EXPECT_EQ(page.body, kRedirectPage);
        EXPECT_NE(page.responseHeaders.find("X-Hop: 1\r\n"), std::string::npos);

        const HttpResult followed = sendWith(client, options("/redirect"));
        EXPECT_TRUE(followed.transportOk()) << followed.error;
        EXPECT_EQ(followed.body, "final");
        // Only the last response's block is delivered.
        EXPECT_NE(followed.responseHeaders.find("X-Final: 1\r\n"), std::string::npos);
        EXPECT_EQ(followed.responseHeaders.find("X-Hop"), std::string::npos);

        const auto started = std::chrono::steady_clock::now();
        const HttpResult loop = sendWith(client, options("/loop"));
        EXPECT_FALSE(loop.transportOk());
        EXPECT_TRUE(loop.body.empty());
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    }
}

TEST_F(ClientTest, StatusReports) {
    HttpRequestOptions stay = options("/redirect");
    stay.noRedirect = true;

    const HttpResult scriptable = ScriptableHttpClient::send(stay);
    EXPECT_EQ(scriptable.statusCode, 302);
    // The request object's header text has no status line.
    EXPECT_EQ(scriptable.responseHeaders.rfind("HTTP/", 0), std::string::npos);
    EXPECT_EQ(ScriptableHttpClient::send(options("/missing")).statusCode, 404);
    EXPECT_EQ(ScriptableHttpClient::send(options("/missing")).body, "no such page");

    const HttpResult native = NativeHttpClient::send(stay);
    EXPECT_EQ(native.statusText, "302 Found");
    EXPECT_EQ(native.redirectLocation, server_.url("/target"));
    EXPECT_EQ(native.body, kRedirectPage);
    EXPECT_EQ(native.text, kRedirectPage);
    const HttpResult missing = NativeHttpClient::send(options("/missing"));
    EXPECT_EQ(missing.statusText, "404 Not Found");
    EXPECT_EQ(missing.text, "no such page");
    EXPECT_TRUE(missing.redirectLocation.empty());

    const HttpResult internet = InternetHttpClient::send(stay);
    EXPECT_EQ(internet.responseHeaders.rfind("HTTP/1.1 302 Found\r\n", 0), 0u);
    EXPECT_TRUE(internet.responseHeaders.ends_with("\r\n\r\n"));
    EXPECT_EQ(InternetHttpClient::send(options("/missing")).body, "no such page");
}

TEST_F(ClientTest, UnreachableHostAndBadUrlGiveNumberedMessages) {
    int closedPort = 0;
    {
        LoopbackServer gone;
        ASSERT_TRUE(gone.start());
        closedPort = gone.port();
    }
    const std::pair<std::string, std::string> cases[] = {
        {"http://127.0.0.1:" + std::to_string(closedPort) + "/", "711 发送请求失败!"},
        {"not a url", "701 解析URL地址失败!"},
        {"ftp://127.0.0.1/file", "701 解析URL地址失败!"},
        {"http://127.0.0.1/\r\nX: 1", "701 解析URL地址失败!"},
    };
    for (const auto& [url, message] : cases) {
        HttpRequestOptions o;
        o.url = url;
        o.receivedCookiesIn = "kept=1";
        const HttpResult result = NativeHttpClient::send(o);
        EXPECT_EQ(result.statusText, message) << url;
        EXPECT_TRUE(result.text.empty());
        EXPECT_FALSE(result.transportOk());
        EXPECT_EQ(result.receivedCookies, "kept=1");

        HttpRequestOptions other;
        other.url = url;
        other.cookies = "s=1";
        for (Client client : {Client::Scriptable, Client::Internet}) {
            const HttpResult failed = sendWith(client, other);
            EXPECT_FALSE(failed.transportOk()) << url;
            EXPECT_TRUE(failed.body.empty());
            EXPECT_EQ(failed.statusCode, 0);
            EXPECT_TRUE(failed.responseHeaders.empty());
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Proxy and credentials: the loopback server plays the proxy and sees the absolute target.

TEST(Proxy, RequestsAndCredentialsGoWhereEachClientSends) {
    LoopbackServer proxy;
    proxy.on("(.*)", [](const httplib::Request&, httplib::Response& res) { res.set_content("via", "text/plain"); });
    ASSERT_TRUE(proxy.start());
    const std::string proxyAddress = "127.0.0.1:" + std::to_string(proxy.port());
    const std::string basic = "Basic dTpw";  // u:p

    struct Case {
        const char* name;
        Client client;
        std::function<void(HttpRequestOptions&)> setup;
        std::string proxyAuthorization;  // empty: none expected
        std::string authorization;
    };
    const Case cases[] = {
        {"scriptable proxy credentials", Client::Scriptable,
         [](auto& o) {
             o.proxyUser = "u";
             o.proxyPassword = "p";
         },
         basic, ""},
        {"scriptable credentials for the server", Client::Scriptable,
         [](auto& o) {
             o.proxyUser = "u";
             o.proxyPassword = "p";
             o.credentialTarget = 0;
         },
         "", basic},
        {"scriptable other target", Client::Scriptable,
         [](auto& o) {
             o.proxyUser = "u";
             o.credentialTarget = 5;
         },
         "", ""},
        {"native proxy and server credentials", Client::Native,
         [](auto& o) {
             o.proxyUser = "u";
             o.proxyPassword = "p";
             o.serverUser = "u";
             o.serverPassword = "p";
         },
         basic, basic},
        {"native needs both user and password", Client::Native, [](auto& o) { o.proxyUser = "u"; }, "", ""},
        {"internet plain proxy", Client::Internet, [](auto&) {}, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpRequestOptions o;
        o.url = "http://vigilo.invalid/x?y=1";
        o.proxy = proxyAddress;
        c.setup(o);
        const HttpResult result = sendWith(c.client, o);
        EXPECT_TRUE(result.transportOk()) << result.error;
        EXPECT_EQ(result.body, "via");
        const Received received = proxy.last();
        EXPECT_EQ(received.target, "http://vigilo.invalid/x?y=1");
        auto value = [&](const std::string& name) {
            for (const std::string& line : received.headers) {
                if (line.rfind(name + ": ", 0) == 0) return line.substr(name.size() + 2);
            }
            return std::string();
        };
        EXPECT_EQ(value("Proxy-Authorization"), c.proxyAuthorization);
        EXPECT_EQ(value("Authorization"), c.authorization);
    }

    // Without a proxy the proxy credentials are not used at all.
    HttpRequestOptions direct;
    direct.url = proxy.url("/direct");
    direct.proxyUser = "u";
    direct.proxyPassword = "p";
    EXPECT_EQ(ScriptableHttpClient::send(direct).body, "via");
    EXPECT_EQ(proxy.last().target, "/direct");
    for (const std::string& line : proxy.last().headers) EXPECT_EQ(line.find("Authorization"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Cookies.

TEST_F(ClientTest, CookiesCollectedAndMerged) {
    struct Case {
        const char* name;
        Client client;
        std::string path;
        std::optional<std::string> sent;
        std::optional<bool> merge;
        std::string receivedIn;
        std::string expected;
    };
    const Case cases[] = {
        {"scriptable without cookies", Client::Scriptable, "/cookies", std::nullopt, std::nullopt, "", "a=1; b=2"},
        {"scriptable merge", Client::Scriptable, "/cookies", "b=9; d=4", std::nullopt, "", "a=1; b=2; d=4"},
        {"scriptable merge off", Client::Scriptable, "/cookies", "b=9; d=4", false, "", "a=1; b=2"},
        {"scriptable deleted", Client::Scriptable, "/deleted", "a=1; x=2", std::nullopt, "", "x=2"},
        {"native appends to the text passed in", Client::Native, "/cookies", std::nullopt, std::nullopt, "z=0",
         "z=0; a=1; b=2"},
        {"native merge", Client::Native, "/cookies", "b=9; d=4", std::nullopt, "", "a=1; b=2; d=4"},
        {"native deleted", Client::Native, "/deleted", "a=1", std::nullopt, "", ""},
        {"internet without cookies", Client::Internet, "/cookies", std::nullopt, std::nullopt, "", "a=1; b=2"},
        {"internet merge", Client::Internet, "/cookies", "b=9; d=4", std::nullopt, "", "a=1; b=2; d=4"},
        {"internet given but empty", Client::Internet, "/echo", "", std::nullopt, "", ""},
        {"internet nothing received keeps the sent ones", Client::Internet, "/echo", "s=1", std::nullopt, "", "s=1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpRequestOptions o = options(c.path);
        o.cookies = c.sent;
        o.autoMergeCookies = c.merge;
        o.receivedCookiesIn = c.receivedIn;
        const HttpResult result = sendWith(c.client, o);
        EXPECT_TRUE(result.transportOk()) << result.error;
        EXPECT_EQ(result.receivedCookies, c.expected);
    }
}

// ---------------------------------------------------------------------------------------------
// Failures: stalls, oversized answers, certificates.

TEST_F(ClientTest, StalledExchangesEndInAboutTheConfiguredTime) {
    ConfigGuard guard;
    NetConfig config = netConfig();
    config.stallSeconds = 1;
    setNetConfig(config);

    struct Case {
        Client client;
        std::string path;
        std::string statusText;  // native only
    };
    const Case cases[] = {
        {Client::Scriptable, "/stall", ""},        {Client::Native, "/stall", "712 服务器未响应!"},
        {Client::Internet, "/stall", ""},          {Client::Scriptable, "/stall-body", ""},
        {Client::Native, "/stall-body", "200 OK"}, {Client::Internet, "/stall-body", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(clientName(c.client)) + " " + c.path);
        HttpRequestOptions o = options(c.path);
        o.timeoutSeconds = 1;
        const auto started = std::chrono::steady_clock::now();
        const HttpResult result = sendWith(c.client, o);
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_FALSE(result.transportOk());
        EXPECT_GE(took, std::chrono::milliseconds(900));
        EXPECT_LT(took, std::chrono::seconds(6));
        if (c.client == Client::Native) {
            EXPECT_EQ(result.statusText, c.statusText);
        } else {
            EXPECT_TRUE(result.body.empty());
            EXPECT_EQ(result.statusCode, 0);
        }
    }
}

TEST_F(ClientTest, OversizedAnswersFailCleanly) {
    ConfigGuard guard;
    // The process-wide cap, or the exchange's own below it; announced or streamed.
    struct CapCase {
        const char* what;
        std::size_t processCap;
        std::optional<std::size_t> exchangeCap;
        const char* path;
    } caps[] = {
        {"process cap, announced length", 4096, std::nullopt, "/big"},
        {"process cap, streamed", 4096, std::nullopt, "/big-chunked"},
        {"exchange cap, announced length", std::size_t{64} << 20, 4096, "/big"},
        {"exchange cap, streamed", std::size_t{64} << 20, 4096, "/big-chunked"},
        {"an exchange cap never raises the process one", 4096, std::size_t{64} << 20, "/big"},
    };
    for (const auto& c : caps) {
        NetConfig config = netConfig();
        config.maxBodyBytes = c.processCap;
        setNetConfig(config);
        for (Client client : kAllClients) {
            SCOPED_TRACE(std::string(c.what) + " " + clientName(client));
            HttpRequestOptions o = options(c.path);
            o.maxBodyBytes = c.exchangeCap;
            const HttpResult big = sendWith(client, o);
            EXPECT_FALSE(big.transportOk());
            EXPECT_TRUE(big.body.empty());
            EXPECT_TRUE(big.text.empty());
            if (client == Client::Native) {
                EXPECT_EQ(big.statusText, "713 读取数据失败!");
            }
            o.maxBodyBytes = 5000;
            if (c.processCap >= 5000) {
                EXPECT_TRUE(sendWith(client, o).body == std::string(5000, 'x'));
            }
        }
    }
    EXPECT_EQ(net::answerBudget().held(), 0u);
    NetConfig config = netConfig();
    config.maxBodyBytes = 4096;
    setNetConfig(config);
    for (Client client : kAllClients) {
        SCOPED_TRACE(clientName(client));

        const HttpResult header = sendWith(client, options("/huge-header"));
        EXPECT_FALSE(header.transportOk());
        EXPECT_TRUE(header.body.empty());
        EXPECT_TRUE(header.receivedCookies.empty());
    }
}

// ---------------------------------------------------------------------------------------------
// The native client's body decoding.

TEST(NativeDecoding, DeclaredCharsetConvertsToUtf8) {
    const std::string zhongWen = "\xE4\xB8\xAD\xE6\x96\x87";  // two Chinese characters, UTF-8
    const std::string zhongWenGbk = "\xD6\xD0\xCE\xC4";
    const std::string padding(1100, ' ');
    struct Case {
        const char* name;
        std::string page;
        std::string expected;
    };
    const Case cases[] = {
        {"gbk", "<meta charset=\"gbk\">" + zhongWenGbk, "<meta charset=\"gbk\">" + zhongWen},
        {"gb2312", "<META http-equiv=\"Content-Type\" content=\"text/html; charset=gb2312\">" + zhongWenGbk,
         "<META http-equiv=\"Content-Type\" content=\"text/html; charset=gb2312\">" + zhongWen},
        {"GBK upper case", "<meta charset=GBK>" + zhongWenGbk, "<meta charset=GBK>" + zhongWen},
        {"utf-8", "<meta charset=\"utf-8\">" + zhongWen, "<meta charset=\"utf-8\">" + zhongWen},
        {"no declaration keeps the bytes", "<p>" + zhongWenGbk, "<p>" + zhongWenGbk},
        {"declaration after 1024 characters is ignored", padding + "<meta charset=\"gbk\">" + zhongWenGbk,
         padding + "<meta charset=\"gbk\">" + zhongWenGbk},
        {"unknown charset keeps the bytes", "<meta charset=\"x-nothing\">" + zhongWenGbk,
         "<meta charset=\"x-nothing\">" + zhongWenGbk},
        {"text ends at a zero byte", std::string("<p>ab\0cd", 8), "<p>ab"},
    };
    LoopbackServer server;
    std::string current;
    server.on("/page", [&](const httplib::Request&, httplib::Response& res) { res.set_content(current, "text/html"); });
    ASSERT_TRUE(server.start());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        current = c.page;
        HttpRequestOptions o;
        o.url = server.url("/page");
        const HttpResult result = NativeHttpClient::send(o);
        EXPECT_EQ(result.body, c.page);
        EXPECT_EQ(result.text, c.expected);
    }
}

// ---------------------------------------------------------------------------------------------
// Isolation: nothing of one exchange reaches the next, on one thread or many.

TEST_F(ClientTest, ExchangesShareNoHeadersOrCookies) {
    // A cookie set during a followed redirect travels on inside that exchange only.
    HttpRequestOptions first = options("/redirect-cookie");
    first.cookies = "session=1";
    first.extraHeaders = "X-Secret: 1";
    first.serverUser = "user";
    first.serverPassword = "pw";
    EXPECT_EQ(NativeHttpClient::send(first).body, "ok");
    const Received afterRedirect = server_.last();
    EXPECT_NE(std::find(afterRedirect.headers.begin(), afterRedirect.headers.end(), "X-Secret: 1"),
              afterRedirect.headers.end());

    for (Client client : kAllClients) {
        SCOPED_TRACE(clientName(client));
        EXPECT_EQ(sendWith(client, options("/echo")).body, "ok");
        for (const std::string& line : server_.last().headers) {
            EXPECT_EQ(line.find("Cookie"), std::string::npos) << line;
            EXPECT_EQ(line.find("X-Secret"), std::string::npos) << line;
            EXPECT_EQ(line.find("Authorization"), std::string::npos) << line;
        }
    }

    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 15; ++i) {
                const std::string id = std::to_string(t) + "-" + std::to_string(i);
                HttpRequestOptions o = options("/id");
                o.extraHeaders = "X-Id: " + id;
                const bool withCookie = (i % 2) == 0;
                if (withCookie) o.cookies = "c=" + id;
                const HttpResult result = sendWith(kAllClients[(t + i) % 3], o);
                if (result.body != id + "|" + (withCookie ? "c=" + id : std::string())) ++mismatches;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(ClientTest, ShareLinkResolvedWithoutFollowingTheRedirect) {
    EXPECT_EQ(resolveShareLink(server_.url("/redirect")), kRedirectPage);
    const auto headers = server_.last().headers;
    const std::string agent = "User-Agent: " + std::string(kDesktopAgent);
    EXPECT_NE(std::find(headers.begin(), headers.end(), agent), headers.end());
    EXPECT_EQ(server_.requests().size(), 1u);
}

// Many large answers at once: each waits for its share of the process-wide budget while the
// others are read, all arrive whole, the bytes held never pass the budget, and everything is
// given back once the answers have been read.
TEST_F(ClientTest, LargeAnswersAtOnceWaitForTheAnswerBudget) {
    ConfigGuard guard;
    NetConfig config = netConfig();
    config.answerBudgetBytes = std::size_t{1} << 20;  // room for one 900 KB answer at a time
    setNetConfig(config);
    net::answerBudget().resetPeak();
    const std::string expected(900 * 1024, 'L');
    constexpr int kExchanges = 6;
    std::vector<std::string> failures(kExchanges);
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < kExchanges; ++i)
            threads.emplace_back([&, i] {
                const HttpResult r = sendWith(kAllClients[i % 3], options("/large"));
                if (!r.transportOk())
                    failures[i] = r.error;
                else if (r.body != expected)
                    failures[i] = "body of " + std::to_string(r.body.size()) + " bytes";
                else if (net::answerBudget().held() < expected.size())
                    failures[i] = "answer read outside the budget";
            });
    }
    for (const std::string& failure : failures) EXPECT_EQ(failure, "");
    EXPECT_LE(net::answerBudget().peak(), config.answerBudgetBytes);
    EXPECT_EQ(net::answerBudget().held(), 0u);
}

// Every client's exchange takes its turn from the budget of the host it asks, so a cap or a
// refusal covers them all.
TEST_F(ClientTest, EveryClientsExchangeTakesATurnFromItsHostsBudget) {
    // The budget is the service's: the host with its port.
    const std::string host = net::budgetHost(server_.url("/echo"));
    const std::string otherHost = "budget-test.invalid";
    for (Client client : kAllClients) EXPECT_TRUE(sendWith(client, options("/echo")).transportOk());
    EXPECT_GE(net::requestBudget().observedPerMinute(host), 3);
    EXPECT_EQ(net::requestBudget().observedPerMinute(otherHost), 0);
}

}  // namespace
}  // namespace vigilo
