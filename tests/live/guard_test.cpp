// The watch over running recorders: a disk running out of room stops them all cleanly and
// starts none until there is room again; a recorder whose file stops growing is stopped and its
// room polled again soon.
#include <atomic>

#include "live_fixture.h"
#include "net/http.h"
#include "text/strings.h"

namespace vigilo::livetest {
namespace {

constexpr const char* kNoSpace = "磁盘空间不足";

TEST_F(LiveTest, ADiskBelowItsFloorStopsEveryRecordingAndStartsNoneUntilThereIsRoom) {
    const std::int64_t floor = netConfig().minFreeBytes;
    std::atomic<std::int64_t> free{floor * 4};
    live->setFreeSpace([&](const fs::path&) { return free.load(); });
    EventLog events(ctx->events);
    const std::string id = "7330000000000000001";
    sim.addRoom(makeRoom(id, "disk"));
    ASSERT_FALSE(sim.goLiveWithStream(id).flv.empty());
    live->registerRoom(sim.roomShareLink(id));
    ASSERT_TRUE(eventually([&] { return probeDuration(dir.path() / "disk.mp4") >= 1; }, 30s)) << ctx->log.text();

    free = floor - 1;
    ASSERT_TRUE(eventually([&] { return live->runningRecorders() == 0; }, 30s));
    ASSERT_EQ(events.of(EventType::DiskLow).size(), 1u);
    EXPECT_EQ(events.of(EventType::DiskLow)[0].field("minMB"), std::to_string(floor >> 20));
    const auto ended = events.of(EventType::RecordingEnded);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].field("reason"), "disk_low");
    EXPECT_TRUE(waitForCell(0, 6, kNoSpace, 5s)) << cell(0, 6);
    EXPECT_EQ(cell(0, 3), kLive);
    // Finished, not cut: the file plays to its end.
    EXPECT_GE(probeDuration(dir.path() / "disk.mp4"), 1);
    EXPECT_NE(ctx->log.text().find("磁盘空间不足（剩余 "), std::string::npos) << ctx->log.text();
    EXPECT_TRUE(events.of(EventType::RecordingFailed).empty());

    // Still live, still no room: a poll starts nothing.
    live->pollRoom(1);
    EXPECT_EQ(live->runningRecorders(), 0);
    EXPECT_EQ(cell(0, 6), kNoSpace);

    free = floor * 4;
    ASSERT_TRUE(eventually([&] { return events.of(EventType::DiskOk).size() == 1; }, 10s));
    EXPECT_NE(ctx->log.text().find("磁盘空间已恢复（剩余 "), std::string::npos);
    live->pollRoom(1);
    EXPECT_EQ(live->runningRecorders(), 1);
    EXPECT_EQ(cell(0, 6), kRecording);
    EXPECT_EQ(events.of(EventType::DiskLow).size(), 1u);
}

TEST_F(LiveTest, ARecorderWhosePlaylistStopsMovingIsStoppedAndItsRoomRecordedAgainSoon) {
    Pacing pacing = Pacing{}.scaled(0.001);
    pacing.recorderStall = Millis(2000);
    pacing.recorderRepoll = Millis(1000);
    pacing.passInterval = Millis(600000);
    usePacing(pacing);
    // A muxer waiting on its input may not read the quit key: the policy goes on to signals.
    live->setStopBounds({Millis(1000), Millis(2000), Millis(2000), Millis(2000), Millis(2000)});
    sim::Room room = makeRoom("7330000000000000002", "frozen");
    room.defaultResolution = "SD1";  // recorded from the playlist
    sim.addRoom(room);
    const sim::StreamUrls stream = sim.goLiveWithStream(room.roomId);
    EventLog events(ctx->events);
    live->startSupervisor();
    live->registerRoom(sim.roomShareLink(room.roomId));
    ASSERT_TRUE(eventually([&] { return probeDuration(dir.path() / "frozen.mp4") >= 1; }, 30s)) << ctx->log.text();

    // The playlist is answered but never moves again: ffmpeg itself waits on it for good.
    sim.freezePlaylist(stream.name);
    ASSERT_TRUE(eventually([&] { return !events.of(EventType::RecordingEnded).empty(); }, 30s)) << ctx->log.text();
    sim.freezePlaylist(stream.name, false);
    const Event ended = events.of(EventType::RecordingEnded).front();
    EXPECT_EQ(ended.field("reason"), "stalled");
    EXPECT_NE(ctx->log.text().find("录制停滞：frozen.mp4（"), std::string::npos) << ctx->log.text();
    EXPECT_GE(probeDuration(dir.path() / "frozen.mp4"), 1);

    // Polled again within the re-poll time, not at the next pass ten minutes on.
    ASSERT_TRUE(eventually(
        [&] {
            const auto running = live->recorders();
            return running.size() == 1 && running[0].fileName == "frozen-2.mp4";
        },
        15s))
        << cell(0, 3) << " " << cell(0, 6) << " " << live->recorders().size() << ctx->log.text();
    EXPECT_TRUE(eventually([&] { return probeDuration(dir.path() / "frozen-2.mp4") > 0; }, 30s));
}

}  // namespace
}  // namespace vigilo::livetest
