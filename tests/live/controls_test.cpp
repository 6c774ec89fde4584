// What the live page's controls do to the rooms: stop and resume, the pass period, the order of
// the rows, rooms that only alert, and the room page.
#include <mutex>
#include <thread>

#include "control/controller.h"
#include "live/recorder.h"
#include "live_fixture.h"
#include "text/strings.h"

namespace vigilo::livetest {
namespace {

bool recordsFile(const LiveMonitor& live, int row, const std::string& file) {
    for (const RecorderInfo& r : live.recorders())
        if (r.row == row && r.fileName == file) return true;
    return false;
}

TEST_F(LiveTest, StopKeepsWhatWasSeenAndStartRecordsEveryLiveRoomAgain) {
    const std::string idA = "7400000000000000001", idB = "7400000000000000002";
    sim.addRoom(makeRoom(idA, "A"));
    sim.addRoom(makeRoom(idB, "B"));
    sim.goLiveWithStream(idA);
    EventLog events(ctx->events);
    live->registerRoom(sim.roomShareLink(idA));
    live->registerRoom(sim.roomShareLink(idB));
    live->startSupervisor();
    ASSERT_TRUE(waitForCell(1, 6, kWatching, 5s)) << cell(1, 6);
    ASSERT_TRUE(eventually([&] { return probeDuration(dir.path() / "A.mp4") > 0; }, 30s));

    live->stopRecording();
    EXPECT_EQ(ctx->status.text(1), "直播监控停止");
    // A is still live and was recorded until the stop; B keeps what it showed.
    EXPECT_EQ(cell(0, 3), kLive);
    EXPECT_EQ(cell(0, 6), kStopped);
    EXPECT_EQ(cell(1, 3), kOffline);
    EXPECT_EQ(cell(1, 6), kWatching);
    const auto ended = events.of(EventType::RecordingEnded);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].field("nickname"), "A");
    EXPECT_EQ(ended[0].field("roomId"), idA);
    EXPECT_EQ(ended[0].field("file"), "A.mp4");
    EXPECT_EQ(ended[0].field("reason"), "stopped");

    // B goes live while nothing polls; "开始录制" finds it and takes A up again (its first file
    // went into the collection folder, so the name is free).
    const sim::StreamUrls streamB = sim.goLiveWithStream(idB);
    live->resumeRecording();
    ASSERT_TRUE(eventually([&] { return recordsFile(*live, 1, "A.mp4") && recordsFile(*live, 2, "B.mp4"); }, 10s));
    EXPECT_TRUE(waitForCell(0, 6, kRecording, 5s)) << cell(0, 6);
    EXPECT_TRUE(waitForCell(1, 3, kLive, 5s)) << cell(1, 3);
    EXPECT_EQ(cell(1, 4), streamB.hls);
    EXPECT_TRUE(waitForCell(1, 6, kRecording, 5s)) << cell(1, 6);
    ASSERT_TRUE(eventually([&] { return events.of(EventType::RecordingStarted).size() == 3; }, 5s));
    const auto wentLive = events.of(EventType::RoomLive);
    ASSERT_EQ(wentLive.size(), 2u);  // A at registration, B when found; A's resume is no new show
    EXPECT_EQ(wentLive[1].field("nickname"), "B");
    EXPECT_EQ(wentLive[1].field("roomId"), idB);
    EXPECT_EQ(wentLive[1].field("stream"), streamB.hls);
    EXPECT_FALSE(wentLive[1].field("startTime").empty());
}

TEST_F(LiveTest, ThePeriodPausesAndResumesThePassesAndIsKept) {
    const std::string id = "7400000000000000003";
    sim.addRoom(makeRoom(id, "C"));
    live->registerRoom(sim.roomShareLink(id));
    EXPECT_EQ(live->period(), 5);
    live->setPeriod(0);
    live->startSupervisor();
    sim.goLiveWithStream(id);
    // Several pass intervals go by without a poll.
    const std::size_t polls = sim.requestCount(sim::kRoom);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(sim.requestCount(sim::kRoom), polls);
    EXPECT_EQ(cell(0, 6), kWaiting);

    live->setPeriod(10);
    ASSERT_TRUE(waitForCell(0, 6, kRecording, 10s)) << cell(0, 6);
    EXPECT_TRUE(recordsFile(*live, 1, "C.mp4"));

    // The choice outlives the run.
    Settings kept(ctx->paths.dataDir / "settings.json");
    ASSERT_TRUE(kept.load());
    EXPECT_EQ(kept.livePeriodMinutes(), 10);
}

TEST_F(LiveTest, RowsFollowTheLinkListWhateverOrderTheLookUpsFinishIn) {
    const std::string ids[] = {"7400000000000000011", "7400000000000000012", "7400000000000000013"};
    for (const std::string& id : ids) sim.addRoom(makeRoom(id, "R" + id.substr(18)));
    // The last links are looked up first; the third is no room link at all.
    RowOrder order;
    std::thread fourth([&] { live->registerRoom(sim.roomShareLink(ids[2]), &order, 4); });
    std::thread third([&] { live->registerRoom(sim.baseUrl() + "/nothing/", &order, 3); });
    std::thread second([&] { live->registerRoom(sim.roomShareLink(ids[1]), &order, 2); });
    ASSERT_TRUE(sim.waitForRequests(sim::kRoom, 2, 10s));
    third.join();
    live->registerRoom(sim.roomShareLink(ids[0]), &order, 1);
    second.join();
    fourth.join();
    ASSERT_EQ(ctx->roomTable.rowCount(), 3);
    for (int row = 0; row < 3; ++row) EXPECT_EQ(cell(row, 1), ids[row]) << "row " << row;
}

// A share link the service failed to answer is no wrong link: no message, and each pass tries
// it again until its room has its row and is recorded, even when it is the only link. A
// redirect that came without its page still leads to its room.
TEST_F(LiveTest, ARoomLinkTheServiceFailedToAnswerIsTriedAgainUntilItHasItsRow) {
    const std::string id = "7400000000000000041";
    sim.addRoom(makeRoom(id, "迟到的主播"));
    sim.goLiveWithStream(id);
    const std::string link = sim.roomShareLink(id);
    ctx->started = true;
    Controller controller(*ctx);
    const struct {
        sim::Fault fault;
        bool triedAgain;
    } cases[] = {{sim::Fault::Http500, true}, {sim::Fault::ResetMidBody, true}, {sim::Fault::EmptyBody, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.fault));
        const std::size_t logBefore = ctx->log.text().size();
        sim.setFault(sim::kShare, c.fault, 1);
        controller.addRooms(link);
        ASSERT_TRUE(eventually([&] { return ctx->roomTable.rowCount() == 1 && cell(0, 6) == kRecording; }, 30s))
            << ctx->roomTable.rowCount();
        const bool logged =
            ctx->log.text().find("直播间链接暂时无法打开，稍后重试：" + link, logBefore) != std::string::npos;
        EXPECT_EQ(logged, c.triedAgain) << ctx->log.text().substr(logBefore);
        EXPECT_EQ(cell(0, 0), "迟到的主播");
        EXPECT_EQ(cell(0, 1), id);
        EXPECT_TRUE(eventually([&] { return controller.live().runningRecorders() == 1; }, 10s));
        EXPECT_FALSE(controller.live().hasUnansweredLinks());
        // Something recorded before the stop.
        EXPECT_TRUE(eventually([&] { return showsProgress(cell(0, 7)); }, 20s)) << cell(0, 7);
        controller.live().stopRecording();
        EXPECT_EQ(cell(0, 6), kStopped);
    }
    EXPECT_TRUE(ui.messages().empty());
    // Each show's recording plays, moved into download/ or, its name taken there, left in place.
    std::vector<fs::path> kept;
    for (const fs::path& folder : {ctx->paths.collectionDir(), dir.path()})
        for (const std::string& file : recordingFilesIn(folder)) kept.push_back(folder / file);
    EXPECT_EQ(kept.size(), 3u);
    for (const fs::path& file : kept) EXPECT_GT(probeDuration(file), 0) << file;
}

TEST_F(LiveTest, ARoomThatOnlyAlertsIsWatchedAndNeverRecorded) {
    const std::string id = "7400000000000000021";
    sim.addRoom(makeRoom(id, "N"));
    const sim::StreamUrls stream = sim.goLiveWithStream(id);
    ctx->settings.setNotifyOnly(id, true);
    EventLog events(ctx->events);
    live->registerRoom(sim.roomShareLink(id));
    EXPECT_EQ(cell(0, 3), kLive);
    EXPECT_EQ(cell(0, 6), kNotifyOnly);
    EXPECT_EQ(cell(0, 4), stream.flv);
    EXPECT_EQ(live->runningRecorders(), 0);

    // The passes keep asking; the row stays live, unrecorded, announced once.
    live->startSupervisor();
    const std::size_t polls = sim.requestCount(sim::kRoom);
    ASSERT_TRUE(sim.waitForRequests(sim::kRoom, polls + 4, 10s));
    EXPECT_EQ(cell(0, 3), kLive);
    EXPECT_EQ(cell(0, 6), kNotifyOnly);
    EXPECT_EQ(live->runningRecorders(), 0);
    const auto wentLive = events.of(EventType::RoomLive);
    ASSERT_EQ(wentLive.size(), 1u);
    EXPECT_EQ(wentLive[0].field("roomId"), id);
    EXPECT_TRUE(events.of(EventType::RecordingStarted).empty());

    sim.endShow(id);
    EXPECT_TRUE(waitForCell(0, 3, kOffline, 5s)) << cell(0, 3);
    EXPECT_EQ(cell(0, 6), kWatching);
    EXPECT_TRUE(recordingFilesIn(dir.path()).empty());
}

TEST_F(LiveTest, ViewRoomOpensTheSelectedRoomsPage) {
    Controller controller(*ctx);
    const auto row = [&](const std::vector<std::string>& cells) {
        const int r = ctx->roomTable.appendRow();
        for (std::size_t c = 0; c < cells.size(); ++c) ctx->roomTable.setCell(r, static_cast<int>(c), cells[c]);
    };
    row({"live", "7400000000000000031", "7400000000000000032", kLive});
    row({"offline", "7400000000000000033", "", kOffline});
    row({"hostile", "1/../../x?y", "", kOffline});
    struct Case {
        int selected;
        std::string page;  // "" : nothing opens
    };
    const Case cases[] = {{-1, ""},
                          {0, sim.baseUrl() + "/webcast/reflow/7400000000000000032"},
                          {1, sim.baseUrl() + "/webcast/reflow/7400000000000000033"},
                          {2, ""}};
    for (const Case& c : cases) {
        const std::size_t before = ui.openedUrls().size();
        ctx->roomTable.setSelectedRow(c.selected);
        controller.viewLiveRoom();
        const auto opened = ui.openedUrls();
        if (c.page.empty()) {
            EXPECT_EQ(opened.size(), before) << "row " << c.selected;
        } else {
            ASSERT_EQ(opened.size(), before + 1) << "row " << c.selected;
            EXPECT_EQ(opened.back(), c.page);
        }
    }
    EXPECT_TRUE(ui.messages().empty());
}

}  // namespace
}  // namespace vigilo::livetest
