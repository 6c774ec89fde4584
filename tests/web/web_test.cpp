// The web page's server through HTTP, against the simulated service: every action, the token,
// the Host check, the headers that keep other sites out, recordings by id with ranges, and the
// service's hostile texts coming back as text.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "control/controller.h"
#include "net/politeness.h"
#include "sim/simulator.h"
#include "sim/tls_cert.h"
#include "sim/ui_loop.h"
#include "support/fixtures.h"
#include "support/sim_support.h"
#include "support/testdir.h"
#include "web/recordings.h"
#include "web/server.h"
#include "web/token.h"

namespace vigilo::web {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using vigilo::testing::makeAccount;
using vigilo::testing::makeRoom;

std::string encodeQuery(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c)) {
            out += static_cast<char>(c);
        } else {
            char buffer[4];
            std::snprintf(buffer, sizeof buffer, "%%%02X", c);
            out += buffer;
        }
    }
    return out;
}

WebConfig loopback() {
    WebConfig config;
    config.address = "127.0.0.1";
    return config;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound = 20s) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return condition();
}

using sim::UiLoop;

class WebTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.start());
        Endpoints endpoints;
        endpoints.account = sim.baseUrl();
        endpoints.live = sim.baseUrl();
        ctx = std::make_unique<AppContext>(Paths::forDirectory(dir.path()), Pacing{}.scaled(0.01), endpoints, ui);
        ctx->markStarted();
        controller = std::make_unique<Controller>(*ctx);
    }

    void TearDown() override {
        server.reset();
        loop.reset();
        controller.reset();
        ctx.reset();
        sim.stop();
    }

    void startServer(WebConfig config = {}) {
        config.address = "127.0.0.1";
        config.port = 0;
        config.failureDelay = 1ms;
        config.maxFailureDelay = 2ms;
        config.hostNames.push_back("vigilo.example");
        loop = std::make_unique<UiLoop>();
        server = std::make_unique<WebServer>(
            *controller, [this](std::function<void()> call) { loop->post(std::move(call)); }, config);
        std::string error;
        ASSERT_TRUE(server->start(error)) << error;
        token = testing::readBytes(dir.path() / "web-token");
        while (!token.empty() && token.back() == '\n') token.pop_back();
    }

    httplib::Client client() {
        httplib::Client c("127.0.0.1", server->port());
        c.set_read_timeout(20s);
        return c;
    }
    httplib::Headers auth(httplib::Headers extra = {}) {
        extra.emplace("Authorization", "Bearer " + token);
        return extra;
    }
    json getJson(const std::string& path) {
        auto res = client().Get(path.c_str(), auth());
        EXPECT_TRUE(res);
        if (!res) return json();
        EXPECT_EQ(res->status, 200) << path << ": " << res->body;
        return json::parse(res->body, nullptr, false);
    }
    int send(const std::string& method, const std::string& path, const json& body = json::object(),
             std::string* answer = nullptr) {
        auto c = client();
        const std::string text = body.dump();
        httplib::Result res = method == "POST"  ? c.Post(path.c_str(), auth(), text, "application/json")
                              : method == "PUT" ? c.Put(path.c_str(), auth(), text, "application/json")
                                                : c.Delete(path.c_str(), auth());
        if (!res) return -1;
        if (answer) *answer = res->body;
        return res->status;
    }
    std::string cell(const char* table, int row, int column) {
        const json t = getJson(std::string("/api/tables/") + table);
        if (!t.contains("rows") || row >= static_cast<int>(t["rows"].size())) return "";
        return t["rows"][row][column].get<std::string>();
    }
    int rows(const char* table) {
        const json t = getJson(std::string("/api/tables/") + table);
        return t.contains("rows") ? static_cast<int>(t["rows"].size()) : -1;
    }

    testing::TempDir dir;
    sim::Simulator sim;
    RecordingUserInterface ui;
    std::unique_ptr<AppContext> ctx;
    std::unique_ptr<Controller> controller;
    std::unique_ptr<UiLoop> loop;
    std::unique_ptr<WebServer> server;
    std::string token;
};

TEST_F(WebTest, TokenIsMadeOnceWithMode0600AndKeptAcrossStarts) {
    const fs::path file = dir.path() / "web-token";
    std::string error;
    const auto first = loadOrCreateToken(file, error);
    ASSERT_TRUE(first) << error;
    EXPECT_EQ(first->size(), 64u);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(loadOrCreateToken(file, error), first);

    // A copy others could read is narrowed; a file with no usable token gets a new one.
    ::chmod(file.c_str(), 0644);
    EXPECT_EQ(loadOrCreateToken(file, error), first);
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    testing::writeBytes(file, "short\n");
    const auto second = loadOrCreateToken(file, error);
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_EQ(second->size(), 64u);
}

TEST_F(WebTest, EveryApiRequestNeedsTheTokenAndWrongTriesAreCounted) {
    startServer();
    struct Case {
        const char* what;
        httplib::Headers headers;
        int status;
    };
    const Case cases[] = {
        {"no header", {}, 401},
        {"empty bearer", {{"Authorization", "Bearer "}}, 401},
        {"wrong token", {{"Authorization", "Bearer " + std::string(64, 'a')}}, 401},
        {"token as basic", {{"Authorization", "Basic " + token}}, 401},
        {"token with a byte more", {{"Authorization", "Bearer " + token + "0"}}, 401},
        {"right token", {{"Authorization", "Bearer " + token}}, 200},
    };
    for (const char* path : {"/api/state", "/api/tables", "/api/log", "/metrics", "/api/recordings", "/api/links"}) {
        for (const auto& c : cases) {
            auto res = client().Get(path, c.headers);
            ASSERT_TRUE(res) << path << " " << c.what;
            EXPECT_EQ(res->status, c.status) << path << " " << c.what;
            if (c.status == 401) {
                EXPECT_EQ(res->get_header_value("WWW-Authenticate"), "Bearer");
            }
        }
    }
    // Well past the free tries: still refused, answered slowly, and the right token still opens.
    EXPECT_EQ(client().Post("/api/works/start", "{}", "application/json")->status, 401);
    EXPECT_EQ(server->authFailures(), 31u);
    const json metrics = json::object();
    auto res = client().Get("/metrics", auth());
    ASSERT_TRUE(res);
    EXPECT_NE(res->body.find("vigilo_web_auth_failures_total 31"), std::string::npos) << res->body;
    // The page's own files need no token: the login form is on them.
    for (const char* path : {"/", "/index.html", "/app.js", "/style.css"})
        EXPECT_EQ(client().Get(path)->status, 200) << path;
}

TEST_F(WebTest, OnlyConfiguredHostNamesAreAnswered) {
    startServer();
    const std::string port = std::to_string(server->port());
    const std::pair<std::string, int> cases[] = {
        {"127.0.0.1:" + port, 200},      {"localhost:" + port, 200},   {"LOCALHOST", 200},
        {"[::1]:" + port, 200},          {"vigilo.example", 200},      {"evil.example:" + port, 421},
        {"127.0.0.1.evil.example", 421}, {"vigilo.example.evil", 421}, {"", 421},
    };
    for (const auto& [host, status] : cases) {
        // A raw request, so the Host header is exactly what the case says.
        const auto raw = test::rawExchange(server->port(),
                                           "GET /api/state HTTP/1.1\r\nHost: " + host + "\r\nAuthorization: Bearer " +
                                               token + "\r\nConnection: close\r\n\r\n",
                                           10s);
        test::Reply reply;
        ASSERT_TRUE(test::parseReply(raw.bytes, reply)) << host;
        EXPECT_EQ(reply.status, status) << "Host: " << host;
    }
}

TEST_F(WebTest, NoCrossOriginAccessAndAStrictPolicyOnEveryAnswer) {
    startServer();
    auto c = client();
    // A preflight gets nothing, so a page elsewhere cannot send the token header.
    auto preflight = c.Options("/api/works/start", {{"Origin", "https://evil.example"},
                                                    {"Access-Control-Request-Method", "POST"},
                                                    {"Access-Control-Request-Headers", "authorization"}});
    ASSERT_TRUE(preflight);
    EXPECT_EQ(preflight->status, 405);
    EXPECT_FALSE(preflight->has_header("Access-Control-Allow-Origin"));
    auto crossSite = c.Get("/api/state", auth({{"Sec-Fetch-Site", "cross-site"}}));
    EXPECT_EQ(crossSite->status, 403);
    // A link elsewhere may open the page itself, which holds nothing.
    EXPECT_EQ(c.Get("/", {{"Sec-Fetch-Site", "cross-site"}})->status, 200);
    // State changes only through POST, PUT and DELETE.
    EXPECT_EQ(c.Get("/api/works/start", auth())->status, 404);
    EXPECT_EQ(c.Get("/api/live/stop-recording", auth())->status, 404);
    for (const char* path : {"/", "/app.js", "/api/state"}) {
        auto res = c.Get(path, auth({{"Origin", "https://evil.example"}}));
        ASSERT_TRUE(res);
        EXPECT_FALSE(res->has_header("Access-Control-Allow-Origin")) << path;
        const std::string csp = res->get_header_value("Content-Security-Policy");
        EXPECT_NE(csp.find("script-src 'self'"), std::string::npos) << path;
        EXPECT_EQ(csp.find("unsafe-inline"), std::string::npos) << path;
        EXPECT_NE(csp.find("frame-ancestors 'none'"), std::string::npos) << path;
        EXPECT_EQ(res->get_header_value("X-Content-Type-Options"), "nosniff") << path;
    }
    // The page has no inline script, and its script writes no markup.
    const std::string html = c.Get("/")->body;
    EXPECT_NE(html.find("<script src=\"/app.js\""), std::string::npos);
    EXPECT_EQ(html.find("<script>"), std::string::npos);
    EXPECT_EQ(html.find(" on"), html.find(" on") == std::string::npos ? std::string::npos : html.find(" on"));
    const std::string js = c.Get("/app.js")->body;
    for (const char* banned : {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write", "eval("})
        EXPECT_EQ(js.find(banned), std::string::npos) << banned;
}

TEST_F(WebTest, EveryActionRunsOnTheUiThroughTheControllerAndShowsInTheTables) {
    sim.addAccount(makeAccount("01", "第一个"));
    sim.addAccount(makeAccount("02", "第二个"));
    sim.addRoom(makeRoom("7100000000000000001", "房主一"));
    const bool live = sim::Simulator::ffmpegAvailable();
    if (live) sim.goLiveWithStream("7100000000000000001");
    startServer();
    const std::string link1 = sim.accountShareLink(makeAccount("01", "").secUid);
    const std::string link2 = sim.accountShareLink(makeAccount("02", "").secUid);

    // Malformed actions are refused before they reach the program.
    EXPECT_EQ(send("POST", "/api/accounts", {{"mode", "multi"}}), 400);
    EXPECT_EQ(send("POST", "/api/accounts", {{"links", link1}, {"mode", "all"}}), 400);
    EXPECT_EQ(send("PUT", "/api/live/period", {{"minutes", 7}}), 400);
    EXPECT_EQ(send("PUT", "/api/live/period", {{"minutes", "10"}}), 400);
    EXPECT_EQ(send("PUT", "/api/rooms/123/notify-only", {{"on", "yes"}}), 400);
    auto c = client();
    EXPECT_EQ(c.Post("/api/rooms", auth(), "links=x", "application/x-www-form-urlencoded")->status, 415);
    EXPECT_EQ(c.Post("/api/rooms", auth(), "[1,2]", "application/json")->status, 400);

    // 多项查询 fills the table from every line; 单项加入 adds the last line.
    EXPECT_EQ(send("POST", "/api/accounts", {{"links", link1}, {"mode", "multi"}}), 200);
    ASSERT_TRUE(waitUntil([&] { return cell("accounts", 0, acol::Nickname) == "第一个"; }));
    EXPECT_EQ(send("POST", "/api/accounts", {{"links", link1 + "\n" + link2}, {"mode", "single"}}), 200);
    ASSERT_TRUE(waitUntil([&] { return rows("accounts") == 2 && cell("accounts", 1, acol::Nickname) == "第二个"; }));
    EXPECT_EQ(getJson("/api/links")["accounts"], link1 + "\r\n" + link2);

    // 开始监控 / 停止监控, refused when the window's button would be off, run on the UI thread.
    std::mutex statusMutex;
    std::set<std::thread::id> statusThreads;
    const int observer = ctx->status.addObserver([&](int, const std::string&) {
        std::lock_guard lock(statusMutex);
        statusThreads.insert(std::this_thread::get_id());
    });
    EXPECT_EQ(send("POST", "/api/works/start"), 200);
    EXPECT_TRUE(getJson("/api/state")["worksRunning"].get<bool>());
    EXPECT_EQ(send("POST", "/api/works/start"), 409);
    EXPECT_EQ(send("POST", "/api/works/stop"), 200);
    EXPECT_FALSE(getJson("/api/state")["worksRunning"].get<bool>());
    ctx->status.removeObserver(observer);
    EXPECT_EQ(statusThreads, std::set<std::thread::id>{loop->id()});
    const std::string log = getJson("/api/log")["text"];
    EXPECT_NE(log.find("：监控开始"), std::string::npos) << log;
    EXPECT_NE(log.find("：监控停止"), std::string::npos) << log;

    // A row is deleted only while it still holds the account the page showed.
    EXPECT_EQ(send("DELETE", "/api/accounts/0?key=" + encodeQuery(link2)), 409);
    EXPECT_EQ(send("DELETE", "/api/accounts/5?key=x"), 404);
    EXPECT_EQ(send("DELETE", "/api/accounts/0?key=" + encodeQuery(link1)), 200);
    EXPECT_EQ(rows("accounts"), 1);
    EXPECT_EQ(cell("accounts", 0, acol::Nickname), "第二个");

    // Rooms, the period, alert-only, 停止录制 and 开始录制.
    EXPECT_EQ(send("POST", "/api/rooms", {{"links", sim.roomShareLink("7100000000000000001")}}), 200);
    ASSERT_TRUE(waitUntil([&] { return cell("rooms", 0, rcol::Owner) == "房主一"; }));
    EXPECT_EQ(send("PUT", "/api/live/period", {{"minutes", 10}}), 200);
    EXPECT_EQ(ctx->settings.livePeriodMinutes(), 10);
    EXPECT_EQ(getJson("/api/state")["livePeriodMinutes"], 10);
    EXPECT_EQ(send("PUT", "/api/rooms/7100000000000000001/notify-only", {{"on", true}}), 200);
    EXPECT_TRUE(ctx->settings.notifyOnly("7100000000000000001"));
    EXPECT_EQ(getJson("/api/state")["notifyOnlyRooms"], json::array({"7100000000000000001"}));
    EXPECT_EQ(send("PUT", "/api/rooms/7100000000000000001/notify-only", {{"on", false}}), 200);
    EXPECT_FALSE(ctx->settings.notifyOnly("7100000000000000001"));
    // 停止录制 ends the recording and the row says so; 开始录制 records the live room again.
    if (!live) GTEST_SKIP() << "no ffmpeg: the recording actions are not tried";
    ASSERT_TRUE(waitUntil([&] { return cell("rooms", 0, rcol::RecordStatus) == "正在录制"; }));
    EXPECT_EQ(send("POST", "/api/live/stop-recording"), 200);
    ASSERT_TRUE(waitUntil([&] { return cell("rooms", 0, rcol::RecordStatus) == "已停止录制"; }));
    EXPECT_EQ(send("POST", "/api/live/start-recording"), 200);
    ASSERT_TRUE(waitUntil([&] { return cell("rooms", 0, rcol::RecordStatus) == "正在录制"; }));
    EXPECT_EQ(ctx->settings.livePeriodMinutes(), 10);
    controller->live().stopRecording();
}

TEST_F(WebTest, ActionsWaitForTheUiThreadAndFailCleanlyWhenItIsGone) {
    startServer();
    // The UI thread is gone: calls handed to it are never run, the request ends with 503.
    loop.reset();
    loop = std::make_unique<UiLoop>();  // a loop the server does not know, for TearDown
    WebConfig config = loopback();
    config.uiBound = 300ms;
    auto stuck = std::make_unique<WebServer>(
        *controller, [](std::function<void()>) {}, config);
    server.reset();
    server = std::move(stuck);
    std::string error;
    ASSERT_TRUE(server->start(error)) << error;
    std::string answer;
    EXPECT_EQ(send("POST", "/api/works/stop", json::object(), &answer), 503) << answer;
    EXPECT_FALSE(ctx->worksStop);
}

TEST_F(WebTest, HostileServiceTextsComeBackAsText) {
    const std::string hostile[] = {
        "<img src=x onerror=alert(1)>",
        "</script><script>alert(2)</script>",
        std::string("bell\x07 esc\x1b[31m nul-less \x01\x1f end"),
        "\"quoted\" & 'apos' \\ back",
    };
    for (int i = 0; i < 4; ++i) sim.addAccount(makeAccount("1" + std::to_string(i), hostile[i]));
    startServer();
    std::string links;
    for (int i = 0; i < 4; ++i) links += sim.accountShareLink(makeAccount("1" + std::to_string(i), "").secUid) + "\n";
    ASSERT_EQ(send("POST", "/api/accounts", {{"links", links}, {"mode", "multi"}}), 200);
    ASSERT_TRUE(waitUntil([&] {
        const json t = getJson("/api/tables/accounts");
        if (t["rows"].size() != 4) return false;
        for (const auto& row : t["rows"])
            if (row[acol::Nickname].get<std::string>().empty()) return false;
        return true;
    }));
    for (const char* path : {"/api/tables/accounts", "/api/snapshot"}) {
        auto res = client().Get(path, auth());
        ASSERT_TRUE(res);
        EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
        EXPECT_EQ(res->get_header_value("X-Content-Type-Options"), "nosniff");
        // No raw control character: every one is escaped in the JSON text.
        for (unsigned char ch : res->body) EXPECT_GE(ch, 0x20) << path;
    }
    std::multiset<std::string> names;
    const json table = getJson("/api/tables/accounts");
    for (const auto& row : table["rows"]) names.insert(row[acol::Nickname].get<std::string>());
    for (const auto& name : hostile) EXPECT_EQ(names.count(name), 1u) << name;
}

TEST_F(WebTest, TheEventStreamStartsWithASnapshotAndCarriesEveryChange) {
    startServer();
    ctx->appendLog("before the stream\r\n");
    std::mutex mutex;
    std::string received;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        auto c = client();
        c.Get("/api/events", auth(), [&](const char* data, size_t n) {
            std::lock_guard lock(mutex);
            received.append(data, n);
            return !stop.load();
        });
    });
    auto has = [&](const std::string& needle) {
        std::lock_guard lock(mutex);
        return received.find(needle) != std::string::npos;
    };
    ASSERT_TRUE(waitUntil([&] { return has("event: snapshot\n"); }));
    EXPECT_TRUE(has("before the stream"));
    const int row = ctx->accountTable.appendRow();
    ctx->accountTable.setCell(row, acol::Nickname, "<b>新</b>\n");
    ctx->appendLog("after\r\n");
    ctx->setStatus(StatusBar::Monitor::Works, "状态<i>");
    ASSERT_TRUE(waitUntil([&] { return has("event: status\n"); }));
    EXPECT_TRUE(has(R"("kind":"append")"));
    EXPECT_TRUE(has(R"("text":"<b>新</b>\n")"));
    EXPECT_TRUE(has(R"("text":"after\r\n")"));
    // Stopping the server ends the stream.
    server->stop();
    stop = true;
    reader.join();
}

TEST_F(WebTest, RecordingsAreServedByIdWithRangesAndNothingElse) {
    startServer();
    const fs::path collected = dir.path() / "download";
    fs::create_directories(collected);
    std::string bytes;
    for (int i = 0; i < 100000; ++i) bytes += static_cast<char>('a' + i % 26);
    testing::writeBytes(collected / "主播.mp4", bytes);
    testing::writeBytes(dir.path() / "留下.mp4", "left");
    testing::writeBytes(dir.path() / "notes.txt", "not a recording");
    fs::create_symlink("/etc/passwd", collected / "passwd.mp4");

    const json list = getJson("/api/recordings")["recordings"];
    ASSERT_EQ(list.size(), 2u) << list.dump();
    std::string id;
    for (const auto& r : list) {
        if (r["name"] == "主播.mp4") {
            id = r["id"];
            EXPECT_EQ(r["place"], "collected");
            EXPECT_EQ(r["size"], 100000);
        } else {
            EXPECT_EQ(r["name"], "留下.mp4");
            EXPECT_EQ(r["place"], "left");
        }
    }
    ASSERT_FALSE(id.empty());

    auto c = client();
    EXPECT_EQ(c.Get(("/media/" + id).c_str())->status, 403);              // no ticket
    EXPECT_EQ(c.Get(("/media/" + id + "?t=0123").c_str())->status, 403);  // made-up ticket
    EXPECT_EQ(c.Post("/api/recordings/ffff/ticket", auth(), "", "application/json")->status, 404);
    auto ticket = c.Post(("/api/recordings/" + id + "/ticket").c_str(), auth(), "", "application/json");
    ASSERT_TRUE(ticket);
    ASSERT_EQ(ticket->status, 200) << ticket->body;
    const std::string url = json::parse(ticket->body)["url"];
    const std::string download = json::parse(ticket->body)["download"];

    auto whole = c.Get(url.c_str());
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->status, 200);
    EXPECT_EQ(whole->body, bytes);
    EXPECT_EQ(whole->get_header_value("Content-Type"), "video/mp4");
    struct Range {
        std::string header;
        int status;
        std::string contentRange;
        std::string body;
    };
    const Range ranges[] = {
        {"bytes=10-19", 206, "bytes 10-19/100000", bytes.substr(10, 10)},
        {"bytes=99990-", 206, "bytes 99990-99999/100000", bytes.substr(99990)},
        {"bytes=-5", 206, "bytes 99995-99999/100000", bytes.substr(99995)},
        {"bytes=200000-200010", 416, "", ""},
    };
    for (const auto& r : ranges) {
        auto res = c.Get(url.c_str(), {{"Range", r.header}});
        ASSERT_TRUE(res) << r.header;
        EXPECT_EQ(res->status, r.status) << r.header;
        if (r.status != 206) continue;
        EXPECT_EQ(res->get_header_value("Content-Range"), r.contentRange) << r.header;
        EXPECT_EQ(res->body, r.body) << r.header;
    }
    auto attachment = c.Get(download.c_str());
    ASSERT_TRUE(attachment);
    EXPECT_NE(attachment->get_header_value("Content-Disposition").find("attachment"), std::string::npos);

    // The ticket opens its own recording only, and no path reaches past the listing.
    const std::string other = list[0]["id"] == id ? list[1]["id"] : list[0]["id"];
    const std::string query = url.substr(url.find('?'));
    EXPECT_EQ(c.Get(("/media/" + other + query).c_str())->status, 403);
    for (const std::string& path :
         std::vector<std::string>{"/media/../../etc/passwd", "/media/%2e%2e%2fetc%2fpasswd", "/download/主播.mp4",
                                  "/media/" + id + "/../notes.txt" + query})
        EXPECT_NE(c.Get(path.c_str())->status, 200) << path;
}

TEST_F(WebTest, Mp4DurationFromFragmentsOrTheMovieHeaderAndNothingFromGarbage) {
    const fs::path file = dir.path() / "clip.mp4";
    const auto made =
        test::runCommand({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=64x64:rate=10", "-t", "2", "-c:v",
                          "libx264", "-g", "5", "-movflags", "+frag_keyframe+default_base_moof", "-y", file.string()},
                         60s);
    if (!made.ran || made.exitCode != 0) GTEST_SKIP() << "ffmpeg could not make a clip";
    const auto duration = mp4Duration(file);
    ASSERT_TRUE(duration) << made.output;
    EXPECT_NEAR(*duration, 2.0, 0.2);

    // A recording cut by a kill: the whole fragments count, the cut one does not.
    const std::string whole = testing::readBytes(file);
    testing::writeBytes(dir.path() / "cut.mp4", whole.substr(0, whole.size() * 3 / 4));
    const auto cut = mp4Duration(dir.path() / "cut.mp4");
    ASSERT_TRUE(cut);
    EXPECT_GT(*cut, 0.0);
    EXPECT_LT(*cut, *duration);

    for (const std::string& garbage : {std::string(), std::string("not an mp4 at all"), std::string(1000, '\xff'),
                                       std::string("\0\0\0\x08moov", 8) + std::string("\xff\xff\xff\xff", 4)}) {
        testing::writeBytes(dir.path() / "bad.mp4", garbage);
        EXPECT_FALSE(mp4Duration(dir.path() / "bad.mp4").value_or(0) > 0);
    }
}

// 发送测试通知 from the page: the receivers are read when the button is pressed, and what each
// answered reaches the log the page shows.
TEST_F(WebTest, TheTestNotificationGoesToEachReceiverAndItsAnswerToTheLog) {
    startServer();
    EXPECT_EQ(send("POST", "/api/notify/test"), 200);
    ASSERT_TRUE(waitUntil([&] {
        return getJson("/api/log")["text"].get<std::string>().find("：测试通知：未设置接收方") != std::string::npos;
    }));
    ::setenv("VIGILO_ON_EVENT", "true", 1);
    const int status = send("POST", "/api/notify/test");
    ::unsetenv("VIGILO_ON_EVENT");
    EXPECT_EQ(status, 200);
    ASSERT_TRUE(waitUntil([&] {
        return getJson("/api/log")["text"].get<std::string>().find(
                   "：测试通知 事件命令（VIGILO_ON_EVENT）：已送达（退出码 0") != std::string::npos;
    })) << getJson("/api/log")["text"];
}

TEST_F(WebTest, MetricsTellTheProgramsFiguresAndTakeOtherSources) {
    loop = std::make_unique<UiLoop>();
    server = std::make_unique<WebServer>(
        *controller, [this](std::function<void()> call) { loop->post(std::move(call)); }, loopback());
    server->addMetricsSource([] { return "vigilo_service_refusals_total 3"; });
    std::string error;
    ASSERT_TRUE(server->start(error)) << error;
    token = testing::readBytes(dir.path() / "web-token");
    token.pop_back();
    ctx->accountTable.appendRow();
    auto res = client().Get("/metrics", auth());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->get_header_value("Content-Type").find("text/plain"), std::string::npos);
    for (const char* line :
         {"vigilo_accounts 1\n", "vigilo_account_polls_total 0\n", "vigilo_room_check_failures_total 0\n",
          "vigilo_rooms 0\n", "vigilo_recordings_running 0\n", "vigilo_downloads_pending 0\n",
          "vigilo_downloads_saved_total 0\n", "# TYPE vigilo_disk_free_bytes gauge\n",
          "vigilo_service_refusals_total 3\n"})
        EXPECT_NE(res->body.find(line), std::string::npos) << line << "\n" << res->body;
}

// A host that refuses shows in the state, the metrics, the status bar and the log until it
// answers normally again.
TEST_F(WebTest, AHostThatRefusesShowsInTheStateAndTheMetricsUntilItRecovers) {
    startServer();
    const std::string host = "web-test.invalid:8081";
    auto entry = [&]() -> std::optional<json> {
        const json throttled = getJson("/api/state")["throttled"];
        if (throttled.is_array())
            for (const json& item : throttled)
                if (item.value("host", "") == host) return item;
        return std::nullopt;
    };
    EXPECT_EQ(entry(), std::nullopt);

    net::requestBudget().report(host, net::AnswerSignal::Refused, {}, "HTTP 403");
    const auto refusing = entry();
    ASSERT_TRUE(refusing);
    EXPECT_EQ((*refusing)["perMinute"].get<double>(), net::kFloorPerMinute);
    const auto metrics = client().Get("/metrics", auth());
    ASSERT_TRUE(metrics);
    for (const std::string& line : {"vigilo_service_refusing{host=\"" + host + "\"} 1\n",
                                    "vigilo_service_refusals_total{host=\"" + host + "\"} 1\n",
                                    std::string("# TYPE vigilo_service_allowed_per_minute gauge\n")})
        EXPECT_NE(metrics->body.find(line), std::string::npos) << line << "\n" << metrics->body;
    EXPECT_NE(ctx->status.text(1).find("服务限流：" + host + "，每分钟 6 次"), std::string::npos)
        << ctx->status.text(1);
    EXPECT_NE(ctx->log.text().find("服务限流，放慢查询：" + host + "，每分钟 6 次\r\n"), std::string::npos);

    // Good answers end it once the host has gone a (scaled) minute without refusing.
    ASSERT_TRUE(waitUntil([&] {
        net::requestBudget().report(host, net::AnswerSignal::Good);
        return !entry();
    }));
    EXPECT_EQ(ctx->status.text(1).find("服务限流"), std::string::npos) << ctx->status.text(1);
    EXPECT_NE(ctx->log.text().find("服务恢复正常：" + host + "\r\n"), std::string::npos);
}

TEST_F(WebTest, ServesHttpsWithTheGivenCertificateAndRefusesAnUnusableOne) {
    const std::string cert = (dir.path() / "web.crt").string(), key = (dir.path() / "web.key").string();
    ASSERT_TRUE(sim::writeSelfSignedCertificate(cert, key));
    WebConfig config = loopback();
    config.certFile = cert;
    config.keyFile = key;
    loop = std::make_unique<UiLoop>();
    server = std::make_unique<WebServer>(
        *controller, [this](std::function<void()> call) { loop->post(std::move(call)); }, config);
    std::string error;
    ASSERT_TRUE(server->start(error)) << error;
    EXPECT_EQ(server->url().rfind("https://127.0.0.1:", 0), 0u) << server->url();
    token = testing::readBytes(dir.path() / "web-token");
    token.pop_back();
    httplib::SSLClient tls("127.0.0.1", server->port());
    tls.enable_server_certificate_verification(false);
    auto res = tls.Get("/api/state", auth());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(tls.Get("/api/state")->status, 401);
    // Plain HTTP gets no answer from it.
    EXPECT_FALSE(client().Get("/api/state", auth()));

    WebConfig broken = loopback();
    broken.certFile = key;  // a key where the certificate should be
    broken.keyFile = cert;
    WebServer refused(
        *controller, [](std::function<void()>) {}, broken);
    EXPECT_FALSE(refused.start(error));
    EXPECT_NE(error.find("certificate"), std::string::npos) << error;
}

TEST_F(WebTest, TheHubsCopyFollowsTheTablesAndALaggingReaderIsToldToStartAgain) {
    const int before = ctx->roomTable.appendRow();
    ctx->roomTable.setCell(before, rcol::Owner, "已有");
    Hub hub(*ctx);
    hub.addReader();
    std::uint64_t seq = 0;
    const json first = hub.snapshot(&seq);
    EXPECT_EQ(first["rooms"]["rows"][0][rcol::Owner], "已有");

    // Writers on other threads while a reader reads: the copy ends equal to the table.
    std::uint64_t after = seq;
    bool lost = false;
    std::string messages;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done && !lost) messages += hub.waitMessages(after, lost, 10ms);
    });
    {
        std::vector<std::jthread> writers;
        for (int w = 0; w < 4; ++w) {
            writers.emplace_back([this, w] {
                for (int i = 0; i < 200; ++i) {
                    const int row = ctx->accountTable.appendRow();
                    ctx->accountTable.setCell(row, acol::Nickname, std::to_string(w) + "-" + std::to_string(i));
                    if (i % 3 == 0) ctx->accountTable.deleteRow(0);
                }
            });
        }
    }
    done = true;
    reader.join();
    ASSERT_FALSE(lost);
    const json accounts = hub.tableJson(0);
    ASSERT_EQ(accounts["rows"].size(), static_cast<std::size_t>(ctx->accountTable.rowCount()));
    for (int r = 0; r < ctx->accountTable.rowCount(); ++r)
        EXPECT_EQ(accounts["rows"][r][acol::Nickname], ctx->accountTable.cell(r, acol::Nickname));
    EXPECT_NE(messages.find("event: table\ndata: "), std::string::npos);

    // More changes than the backlog keeps: the reader is told it lost track.
    for (std::size_t i = 0; i < Hub::kBacklog + 10; ++i)
        ctx->roomTable.setCell(before, rcol::RecordSize, std::to_string(i));
    hub.waitMessages(after, lost, 10ms);
    EXPECT_TRUE(lost);
    hub.removeReader();
}

TEST(WebAddress, ParsesPortsAndAddressesAndRefusesTheRest) {
    struct Case {
        std::string text;
        bool ok;
        std::string address;
        int port;
    };
    const Case cases[] = {
        {"8080", true, "127.0.0.1", 8080},
        {"0.0.0.0:80", true, "0.0.0.0", 80},
        {"[::1]:9000", true, "::1", 9000},
        {"localhost:1", true, "localhost", 1},
        {"", false, "", 0},
        {"http://x:80", false, "", 0},
        {"8080x", false, "", 0},
        {"70000", false, "", 0},
        {"::1:80", false, "", 0},
        {"a b:80", false, "", 0},
        {"[::1]80", false, "", 0},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto config = parseWebAddress(c.text, error);
        EXPECT_EQ(config.has_value(), c.ok) << c.text;
        if (!config) {
            EXPECT_FALSE(error.empty()) << c.text;
            continue;
        }
        EXPECT_EQ(config->address, c.address) << c.text;
        EXPECT_EQ(config->port, c.port) << c.text;
    }
}

}  // namespace
}  // namespace vigilo::web
