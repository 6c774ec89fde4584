// Generated live streams: playable as FLV and HLS, stallable, endable, and no generator left
// behind.
#include <dirent.h>
#include <unistd.h>
#include <fstream>
#include <thread>

#include "sim_fixture.h"

namespace vigilo::sim::testing {
namespace {

using namespace std::chrono_literals;

// Children of this process that are still alive (zombies count: they were not reaped).
int childProcesses() {
    int n = 0;
    DIR* d = ::opendir("/proc");
    if (!d) return -1;
    std::string self = std::to_string(::getpid());
    while (dirent* e = ::readdir(d)) {
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string pid, comm, state, ppid;
        if (stat >> pid >> comm >> state >> ppid && ppid == self) ++n;
    }
    ::closedir(d);
    return n;
}

class LiveTest : public SimTest {
protected:
    void SetUp() override {
        if (!Simulator::ffmpegAvailable()) GTEST_SKIP() << "ffmpeg is not installed";
        SimTest::SetUp();
    }
};

TEST_F(LiveTest, FlvStreamPlaysStallsAndEnds) {
    StreamUrls urls = sim.createStream();
    ASSERT_FALSE(urls.name.empty());
    EXPECT_EQ(urls.flv, sim.baseUrl() + "/stage/" + urls.name + ".flv");

    auto streams = test::probeStreams(urls.flv, 30s);
    EXPECT_NE(std::find(streams.begin(), streams.end(), "video"), streams.end());
    EXPECT_NE(std::find(streams.begin(), streams.end(), "audio"), streams.end());

    // A viewer reads a growing chunked answer; the end of the show completes it.
    test::RawReply viewer;
    std::thread watch(
        [&] { viewer = test::rawExchange(sim.port(), test::getRequest(local(urls.flv)), 30s, 64u << 20); });
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (sim.streamViewers(urls.name) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    std::this_thread::sleep_for(1500ms);
    sim.endStream(urls.name);
    watch.join();
    EXPECT_TRUE(viewer.closed);
    test::Reply reply;
    ASSERT_TRUE(test::parseReply(viewer.bytes, reply));
    EXPECT_EQ(reply.header("Content-Type"), "video/x-flv");
    EXPECT_EQ(reply.header("Transfer-Encoding"), "chunked");
    EXPECT_TRUE(reply.complete);
    EXPECT_EQ(reply.body.rfind("FLV", 0), 0u);
    EXPECT_GT(reply.body.size(), 10000u);
    EXPECT_EQ(sim.streamViewers(urls.name), 0);
    EXPECT_EQ(get(local(urls.flv)).status, 404);  // gone after the show

    // A stalled stream accepts the connection and sends nothing.
    StreamUrls stalled = sim.createStream("stall-me");
    sim.stallStream(stalled.name);
    test::RawReply silent = test::rawExchange(sim.port(), test::getRequest(local(stalled.flv)), 1s);
    EXPECT_TRUE(silent.connected);
    EXPECT_TRUE(silent.timedOut);
    EXPECT_TRUE(silent.bytes.empty());
}

TEST_F(LiveTest, StallMidStreamThenStopLeavesNoProcess) {
    int before = childProcesses();
    StreamUrls urls = sim.createStream();
    std::atomic<size_t> received{0};
    std::vector<std::thread> viewers;
    for (int i = 0; i < 2; ++i) {
        viewers.emplace_back([&, target = local(urls.flv)] {
            test::RawReply r = test::rawExchange(sim.port(), test::getRequest(target), 60s, 64u << 20);
            received += r.bytes.size();
            EXPECT_FALSE(r.timedOut);  // the stop closed it
        });
    }
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (sim.streamViewers(urls.name) < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    ASSERT_EQ(sim.streamViewers(urls.name), 2);
    EXPECT_GE(childProcesses(), before + 2);

    sim.stallStream(urls.name);
    std::this_thread::sleep_for(500ms);
    size_t connections = sim.openConnections();
    EXPECT_EQ(connections, 2u);

    auto start = std::chrono::steady_clock::now();
    sim.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    for (auto& v : viewers) v.join();
    EXPECT_EQ(childProcesses(), before);
}

TEST_F(LiveTest, HlsPlaylistPlaysAndEndsWithItsEndMarker) {
    StreamUrls urls = sim.createStream();
    EXPECT_EQ(urls.hls, sim.baseUrl() + "/stage/" + urls.name + ".m3u8");
    test::Reply playlist = get(local(urls.hls));
    ASSERT_EQ(playlist.status, 200);
    EXPECT_EQ(playlist.header("Content-Type"), "application/vnd.apple.mpegurl");
    EXPECT_EQ(playlist.body.rfind("#EXTM3U", 0), 0u);
    EXPECT_EQ(playlist.body.find("#EXT-X-ENDLIST"), std::string::npos);

    auto streams = test::probeStreams(urls.hls, 30s);
    EXPECT_NE(std::find(streams.begin(), streams.end(), "video"), streams.end());

    sim.endStream(urls.name);
    test::Reply last = get(local(urls.hls));
    EXPECT_NE(last.body.find("#EXT-X-ENDLIST"), std::string::npos) << last.body;
    EXPECT_EQ(get("/stage/" + urls.name + "-../x.ts").status, 404);
}

TEST_F(LiveTest, RoomGoesLiveWithAStreamAndTheShowEndsIt) {
    StreamUrls urls = sim.goLiveWithStream(kRoomId);
    ASSERT_FALSE(urls.name.empty());
    auto room = getJson(roomPath())["data"]["room"];
    EXPECT_EQ(room["status"], 2);
    EXPECT_EQ(room["stream_url"]["rtmp_pull_url"], urls.flv);
    EXPECT_EQ(room["stream_url"]["hls_pull_url"], urls.hls);

    sim.endShow(kRoomId);
    EXPECT_EQ(get(local(urls.flv)).status, 404);
    EXPECT_TRUE(sim.goLiveWithStream("no-such-room").name.empty());
}

}  // namespace
}  // namespace vigilo::sim::testing
