#include "update/updater.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <zlib.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/guard.h"
#include "control/startup.h"
#include "fixture.h"
#include "net/http.h"
#include "sim/simulator.h"
#include "sim/tls_cert.h"
#include "support/environment.h"
#include "support/loopback.h"
#include "sys/stop.h"

namespace vigilo {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(UpdateProgress, BarRoundsLabelFloors) {
    struct Case {
        std::int64_t total, received;
        int bar;
        std::string label;
    };
    const Case cases[] = {
        {1000, 996, 100, "下载进度：99%"},  // 99.6
        {1000, 994, 99, "下载进度：99%"},  {1000, 0, 0, "下载进度：0%"},        {1000, 1000, 100, "下载进度：100%"},
        {3, 1, 33, "下载进度：33%"},       {1000, 1500, 100, "下载进度：100%"},  // more than announced
        {0, 20480, -1, "下载进度：20KB"},                                        // no Content-Length: indeterminate
    };
    for (const auto& c : cases) {
        const UpdateProgress progress = updateProgress(c.total, c.received);
        EXPECT_EQ(progress.bar, c.bar) << c.total << "/" << c.received;
        EXPECT_EQ(progress.label, c.label) << c.total << "/" << c.received;
    }
}

// Sets the certificate switch for one test and puts the old settings back.
class InsecureTls {
public:
    explicit InsecureTls(bool on) : saved_(netConfig()) {
        NetConfig config = saved_;
        config.insecureTls = on;
        setNetConfig(config);
    }
    ~InsecureTls() { setNetConfig(saved_); }
    InsecureTls(const InsecureTls&) = delete;
    InsecureTls& operator=(const InsecureTls&) = delete;

private:
    NetConfig saved_;
};

class UpdaterTest : public ::testing::Test, public testing::ContextFixture {
protected:
    // The local servers speak plain http, which the updater takes only with this switch on.
    InsecureTls insecure{true};
    testing::LoopbackServer server;
    Updater updater{*ctx, startUpdateBuild};

    void SetUp() override { ASSERT_TRUE(server.start()); }

    // A build as the share serves it; chunked: without a length, in pieces.
    static testing::LoopbackServer::Route scriptRoute(std::string body, bool chunked = false) {
        testing::LoopbackServer::Route route;
        route.body = std::move(body);
        route.contentType = "application/octet-stream";
        route.announceLength = !chunked;
        route.pieceBytes = chunked ? 4000 : 0;
        return route;
    }

    // Names in the program directory: nothing is to be left there by a refused answer.
    std::vector<std::string> filesLeft() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.path())) names.push_back(entry.path().filename().string());
        return names;
    }
};

std::string gzipped(const std::string& bytes) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    std::string out(deflateBound(&stream, bytes.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return rc == Z_STREAM_END ? out : std::string();
}

// The start of this test program's own file with another machine number in it.
std::string elfOfAnotherMachine() {
    std::string head = testing::readBytes("/proc/self/exe").substr(0, 4096);
    if (head.size() < 20) return {};
    head[18] = static_cast<char>(head[18] ^ 0x7f);  // a byte of e_machine
    return head;
}

// The update is a script that records that it ran; it is downloaded with progress, made
// executable and started.
TEST_F(UpdaterTest, DownloadsWithProgressAndStartsTheUpdate) {
    const fs::path marker = dir.path() / "ran.txt";
    std::string script = "#!/bin/sh\necho ran > '" + marker.string() + "'\n";
    script += "# " + std::string(30000, 'p') + "\n";  // several chunks
    for (bool chunked : {false, true}) {
        testing::writeBytes(ctx->paths.updateFile(), "stale partial file from an earlier try");
        server.route("/vgmon", scriptRoute(script, chunked));
        std::vector<UpdateProgress> seen;
        const DownloadResult result =
            updater.runUpdate(server.url("/vgmon"), [&](const UpdateProgress& p) { seen.push_back(p); });
        ASSERT_EQ(result.code, 0) << result.error;
        EXPECT_EQ(testing::readBytes(ctx->paths.updateFile()), script);
        EXPECT_EQ(::access(ctx->paths.updateFile().c_str(), X_OK), 0);
        ASSERT_FALSE(seen.empty());
        if (chunked) {
            for (const auto& p : seen) EXPECT_EQ(p.bar, -1);
        } else {
            EXPECT_EQ(seen.back().bar, 100);
            EXPECT_EQ(seen.back().label, "下载进度：100%");
            for (size_t i = 1; i < seen.size(); ++i) EXPECT_GE(seen[i].bar, seen[i - 1].bar);
        }
    }
    EXPECT_TRUE(ui.messages().empty());

    ASSERT_TRUE(updater.launch());
    for (int i = 0; i < 3000 && testing::readBytes(marker) != "ran\n"; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(testing::readBytes(marker), "ran\n");
}

// An error page is never taken for the build: the failure is shown and nothing is left to run.
TEST_F(UpdaterTest, FailuresShowTheirMessageAndLeaveNothingToStart) {
    struct Case {
        std::string url;
        std::string message;  // "" when any failure text will do
    };
    server.route("/gone", 404, "<html>missing</html>", "", "text/html");
    server.route("/broken", 500, "oops");
    const Case cases[] = {
        {server.url("/gone"), ""},
        {server.url("/broken"), ""},
        {"http://127.0.0.1:9/vgmon", "地址失效，请进入官网下载最新版本"},
    };
    size_t shown = 0;
    for (const auto& c : cases) {
        testing::writeBytes(ctx->paths.updateFile(), "old");
        const DownloadResult result = updater.runUpdate(c.url, {});
        EXPECT_EQ(result.code, -1) << c.url;
        EXPECT_FALSE(fs::exists(ctx->paths.updateFile())) << c.url;
        const auto messages = ui.messages();
        ASSERT_EQ(messages.size(), shown + 1) << c.url;
        EXPECT_FALSE(messages.back().text.empty()) << c.url;
        // Each failure names its cause below the message.
        EXPECT_NE(messages.back().text.find("\n原因："), std::string::npos) << messages.back().text;
        if (!c.message.empty()) {
            EXPECT_EQ(messages.back().text.substr(0, messages.back().text.find('\n')), c.message) << c.url;
            EXPECT_EQ(messages.back().icon, MessageIcon::Information) << c.url;
        }
        shown = messages.size();
    }
    EXPECT_FALSE(updater.running());
}

TEST_F(UpdaterTest, ASecondPressWhileDownloadingIsIgnored) {
    server.route("/vgmon", scriptRoute("#!/bin/sh\n" + std::string(200000, '#'), true));
    std::promise<void> firstChunk, release;
    std::shared_future<void> released = release.get_future().share();
    bool signalled = false;
    std::promise<DownloadResult> finished;
    ASSERT_TRUE(updater.startUpdate(
        server.url("/vgmon"),
        [&](const UpdateProgress&) {
            if (!signalled) {
                signalled = true;
                firstChunk.set_value();
                released.wait();
            }
        },
        [&](const DownloadResult& result) { finished.set_value(result); }));
    ASSERT_EQ(firstChunk.get_future().wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(updater.running());
    EXPECT_FALSE(updater.startUpdate(server.url("/vgmon"), {}, {}));
    EXPECT_EQ(updater.runUpdate(server.url("/vgmon"), {}).code, -1);
    release.set_value();
    auto result = finished.get_future();
    ASSERT_EQ(result.wait_for(60s), std::future_status::ready);
    EXPECT_EQ(result.get().code, 0);
    EXPECT_TRUE(ctx->threads.waitIdle(30s));
    EXPECT_FALSE(updater.running());
}

// The update path closes the main window before the updater's button is pressed, which asks
// every worker of the program to stop. The download is the updater's own and runs to its end;
// only the updater's own end stops it, and then nothing is said.
TEST_F(UpdaterTest, RunsAfterTheProgramsWorkersWereStoppedAndStopsWithTheUpdater) {
    const std::string script = "#!/bin/sh\n# " + std::string(100000, 'p') + "\n";
    server.route("/vgmon", scriptRoute(script, true));
    ctx->threads.requestStop();
    std::promise<DownloadResult> finished;
    ASSERT_TRUE(updater.startUpdate(server.url("/vgmon"), {}, [&](const DownloadResult& r) { finished.set_value(r); }));
    auto result = finished.get_future();
    ASSERT_EQ(result.wait_for(60s), std::future_status::ready);
    const DownloadResult done = result.get();
    EXPECT_EQ(done.code, 0) << done.message << " " << done.error;
    EXPECT_EQ(testing::readBytes(ctx->paths.updateFile()), script);
    EXPECT_TRUE(ui.messages().empty());

    // A download the updater's end cuts short says nothing and leaves nothing.
    std::promise<void> firstChunk;
    bool signalled = false;
    std::promise<DownloadResult> cut;
    {
        Updater leaving(*ctx, startUpdateBuild);
        ASSERT_TRUE(leaving.startUpdate(
            server.url("/vgmon"),
            [&](const UpdateProgress&) {
                if (std::exchange(signalled, true)) return;
                firstChunk.set_value();
                // Holds the transfer until the updater's end asks it to stop.
                for (int i = 0; i < 3000 && !stopRequested(); ++i) std::this_thread::sleep_for(10ms);
            },
            [&](const DownloadResult& r) { cut.set_value(r); }));
        ASSERT_EQ(firstChunk.get_future().wait_for(30s), std::future_status::ready);
    }
    auto cutResult = cut.get_future();
    ASSERT_EQ(cutResult.wait_for(0s), std::future_status::ready);
    const DownloadResult stopped = cutResult.get();
    EXPECT_EQ(stopped.code, -1);
    EXPECT_TRUE(stopped.message.empty()) << stopped.message;
    EXPECT_FALSE(fs::exists(ctx->paths.updateFile()));
    EXPECT_TRUE(ui.messages().empty());
}

// What a hostile or broken service answers is refused, said, and leaves no file behind: not
// under the update's name, not half-written beside it.
TEST_F(UpdaterTest, HostileAnswersAreRefusedAndLeaveNothing) {
    sim::Simulator sim;
    ASSERT_TRUE(sim.start());
    const std::string zeros(2u << 20, '\0');
    sim.setResponse(
        "/update/gzip",
        {200, "", {{"Content-Type", "application/octet-stream"}, {"Content-Encoding", "gzip"}}, gzipped(zeros)});
    const std::string foreign = elfOfAnotherMachine();
    ASSERT_FALSE(foreign.empty());
    sim.setResponse("/update/foreign", {200, "", {{"Content-Type", "application/octet-stream"}}, foreign});
    sim.setResponse("/update/pe",
                    {200, "", {{"Content-Type", "application/octet-stream"}}, "MZ\x90\x00" + std::string(1000, 'x')});
    sim.setResponse("/update/empty", {200, "", {{"Content-Type", "application/octet-stream"}}, ""});
    // More than the limit (4096 bytes here) either announced or only sent.
    server.route("/unannounced", scriptRoute("#!/bin/sh\n" + std::string(20000, '#'), true));

    struct Case {
        const char* name;
        std::string url;
        bool insecure;
        sim::Fault fault;
        std::string_view message;
    };
    const Case cases[] = {
        {"plain http", sim.updateUrl(), false, sim::Fault::None, kUpdateNotHttps},
        {"gzip of 2 MB of zeros", sim.baseUrl() + "/update/gzip", true, sim::Fault::None, kUpdateNotProgram},
        {"ELF of another machine", sim.baseUrl() + "/update/foreign", true, sim::Fault::None, kUpdateNotProgram},
        {"Windows program", sim.baseUrl() + "/update/pe", true, sim::Fault::None, kUpdateNotProgram},
        {"empty 200", sim.baseUrl() + "/update/empty", true, sim::Fault::None, kUpdateEmpty},
        {"empty body fault", sim.updateUrl(), true, sim::Fault::EmptyBody, kUpdateEmpty},
        {"200 MB announced", sim.updateUrl(), true, sim::Fault::Huge, kUpdateTooLarge},
        {"20 kB without a length", server.url("/unannounced"), true, sim::Fault::None, kUpdateTooLarge},
        {"cut off halfway", sim.updateUrl(), true, sim::Fault::ResetMidBody, "读文件出错!"},
    };
    sim.setUpdateFile("#!/bin/sh\nexit 0\n" + std::string(8000, '#'));
    Updater limited(*ctx, startUpdateBuild, 4096);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InsecureTls tls(c.insecure);
        sim.clearFaults();
        sim.clearRequests();
        if (c.fault != sim::Fault::None) sim.setFault(sim::kUpdate, c.fault);
        // The cut-off answer fits the default limit; the others meet the small one.
        Updater& used = c.fault == sim::Fault::ResetMidBody ? updater : limited;
        testing::writeBytes(ctx->paths.updateFile(), "an earlier download");
        const size_t shown = ui.messages().size();
        const DownloadResult result = used.runUpdate(c.url, {});
        EXPECT_EQ(result.code, -1);
        EXPECT_EQ(result.message, c.message);
        const auto messages = ui.messages();
        ASSERT_EQ(messages.size(), shown + 1);
        // A refusal says what it refused; a broken download adds its cause.
        if (isUpdateRefusal(c.message)) {
            EXPECT_EQ(messages.back().text, c.message);
        } else {
            EXPECT_EQ(messages.back().text.rfind(std::string(c.message) + "\n原因：", 0), 0u) << messages.back().text;
        }
        EXPECT_TRUE(filesLeft().empty()) << filesLeft().front();
        for (const auto& request : sim.requests()) EXPECT_EQ(request.header("Accept-Encoding"), "");
    }
    // Plain http is not even asked.
    sim.clearRequests();
    {
        InsecureTls tls(false);
        EXPECT_EQ(updater.runUpdate(sim.updateUrl(), {}).code, -1);
    }
    EXPECT_TRUE(sim.requests(sim::kUpdate).empty());
}

// The whole way over https: the certificate is checked unless switched off, the build arrives
// byte for byte, and it runs.
TEST_F(UpdaterTest, OverHttpsTheBuildArrivesAndRuns) {
    ASSERT_TRUE(sim::writeSelfSignedCertificate((dir.path() / "cert.pem").string(), (dir.path() / "key.pem").string()));
    sim::Simulator sim;
    ASSERT_TRUE(sim.start(0, (dir.path() / "cert.pem").string(), (dir.path() / "key.pem").string()));
    fs::remove(dir.path() / "cert.pem");
    fs::remove(dir.path() / "key.pem");
    ASSERT_EQ(sim.updateUrl().rfind("https://", 0), 0u);
    const fs::path marker = dir.path() / "ran.txt";
    const std::string script = "#!/bin/sh\necho ran > '" + marker.string() + "'\n# " + std::string(50000, 'p') + "\n";
    sim.setUpdateFile(script);

    {
        // Nobody vouches for the simulator's certificate.
        InsecureTls tls(false);
        const DownloadResult refused = updater.runUpdate(sim.updateUrl(), {});
        EXPECT_EQ(refused.code, -1);
        EXPECT_EQ(refused.message, "地址失效，请进入官网下载最新版本");
        EXPECT_TRUE(filesLeft().empty());
    }
    std::vector<UpdateProgress> seen;
    const DownloadResult result =
        updater.runUpdate(sim.updateUrl(), [&](const UpdateProgress& p) { seen.push_back(p); });
    ASSERT_EQ(result.code, 0) << result.error;
    EXPECT_EQ(testing::readBytes(ctx->paths.updateFile()), script);
    EXPECT_EQ(::access(ctx->paths.updateFile().c_str(), X_OK), 0);
    EXPECT_EQ(filesLeft(), std::vector<std::string>{ctx->paths.updateFile().filename().string()});
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().label, "下载进度：100%");
    const auto requests = sim.requests(sim::kUpdate);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().header("Accept-Encoding"), "");

    std::string why;
    ASSERT_TRUE(updater.launch(&why)) << why;
    for (int i = 0; i < 3000 && testing::readBytes(marker) != "ran\n"; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(testing::readBytes(marker), "ran\n");
}

// A build that does not start leaves this copy running as the one instance, and says why.
TEST_F(UpdaterTest, AFailedStartTakesTheMarkBack) {
    testing::TempDir runtime;
    const testing::ScopedEnv marker("XDG_RUNTIME_DIR", runtime.path().string());
    ASSERT_TRUE(holdSingleInstance());
    // Another holder is seen through a second open of the marker, as another copy sees it.
    auto heldElsewhere = [&] {
        const int fd = ::open((runtime.path() / instanceName()).c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return false;
        const bool busy = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        ::close(fd);
        return busy;
    };
    EXPECT_TRUE(heldElsewhere());

    // Passes every check, yet its interpreter does not exist.
    server.route("/vgmon", scriptRoute("#!/nonexistent/interpreter\n"));
    ASSERT_EQ(updater.runUpdate(server.url("/vgmon"), {}).code, 0);
    std::string why;
    EXPECT_FALSE(updater.launch(&why));
    EXPECT_FALSE(why.empty());
    EXPECT_TRUE(heldElsewhere());

    Updater noStarter(*ctx, [](const std::string&, std::string* reason) {
        *reason = "refused";
        return false;
    });
    EXPECT_FALSE(noStarter.launch(&why));
    EXPECT_EQ(why, "refused");
    EXPECT_TRUE(heldElsewhere());

    releaseSingleInstance();
}

}  // namespace
}  // namespace vigilo
