// The report of a show: its arithmetic as a table, the record of open shows across a restart,
// and one show through the simulated service and real ffmpeg with a broken stream and a restart.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <string>
#include <vector>

#include "live/showreport.h"
#include "live_fixture.h"

namespace vigilo {
namespace {

struct Gap {
    GapKind kind;
    std::int64_t from;
    double seconds;
    bool operator==(const Gap&) const = default;
};

std::vector<Gap> gapsOf(const ShowSummary& s) {
    std::vector<Gap> out;
    for (const ShowGap& g : s.gaps) out.push_back({g.kind, g.from, g.seconds});
    return out;
}

TEST(ShowReport, TheArithmeticOfAShow) {
    struct Case {
        const char* name;
        ShowReport report;
        double onAir, recorded;
        std::vector<Gap> gaps;
    } cases[] = {
        {"recorded from its start to its end",
         {"k", "r", "l", "n", 1000, 1000, 1600, {{"a.mp4", 1000, 600, "ended"}}, {}},
         600,
         600,
         {}},
        {"a recorder's start-up is no gap",
         {"k", "r", "l", "n", 1000, 1000, 1600, {{"a.mp4", 1002, 598, "ended"}}, {}},
         600,
         598,
         {}},
        {"seen a while after it began: a late start",
         {"k", "r", "l", "n", 1000, 1100, 1700, {{"a.mp4", 1100, 600, "ended"}}, {}},
         700,
         600,
         {{GapKind::LateStart, 1000, 100}}},
        {"no start time: it runs from when it was seen",
         {"k", "r", "l", "n", 0, 1100, 1700, {{"a.mp4", 1100, 600, "ended"}}, {}},
         600,
         600,
         {}},
        {"a stall between two files",
         {"k", "r", "l", "n", 1000, 1000, 1600, {{"a.mp4", 1000, 300, "stalled"}, {"a-2.mp4", 1320, 280, "ended"}}, {}},
         600,
         580,
         {{GapKind::Stall, 1300, 20}}},
        {"a recorder that could not start",
         {"k", "r", "l", "n", 1000, 1000, 1660, {{"a.mp4", 1060, 600, "ended"}}, {{GapKind::RecorderFailure, 1001}}},
         660,
         600,
         {{GapKind::RecorderFailure, 1000, 60}}},
        {"a recorder that failed mid-show",
         {"k", "r", "l", "n", 1000, 1000, 1600, {{"a.mp4", 1000, 100, "failed"}, {"a-2.mp4", 1200, 400, "ended"}}, {}},
         600,
         500,
         {{GapKind::RecorderFailure, 1100, 100}}},
        {"a restart that lost time",
         {"k",
          "r",
          "l",
          "n",
          1000,
          1000,
          1560,
          {{"a.mp4", 1000, 200, ""}, {"a-2.mp4", 1260, 300, "ended"}},
          {{GapKind::Restart, 1250}}},
         560,
         500,
         {{GapKind::Restart, 1200, 60}}},
        {"a restart the recorder went on through",
         {"k", "r", "l", "n", 1000, 1000, 1600, {{"a.mp4", 1000, 600, "ended"}}, {{GapKind::Restart, 1300}}},
         600,
         600,
         {{GapKind::Restart, 1300, 0}}},
        {"stopped by the user, still live at a later pass",
         {"k", "r", "l", "n", 1000, 1000, 1500, {{"a.mp4", 1000, 100, "stopped"}}, {}},
         500,
         100,
         {{GapKind::Stopped, 1100, 400}}},
        {"never recorded",
         {"k", "r", "l", "n", 1000, 1000, 1300, {}, {{GapKind::RecorderFailure, 1000}}},
         300,
         0,
         {{GapKind::RecorderFailure, 1000, 300}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ShowSummary s = summarizeShow(c.report);
        EXPECT_DOUBLE_EQ(s.onAirSeconds, c.onAir);
        EXPECT_DOUBLE_EQ(s.recordedSeconds, c.recorded);
        EXPECT_DOUBLE_EQ(s.share, c.onAir > 0 ? std::min(1.0, c.recorded / c.onAir) : 0);
        EXPECT_EQ(gapsOf(s), c.gaps);
        double total = 0;
        for (const Gap& g : c.gaps) total += g.seconds;
        EXPECT_DOUBLE_EQ(s.gapSeconds, total);
    }
    EXPECT_EQ(clockText(3723.4), "01:02:03");
    ShowSummary words;
    words.gaps = {{GapKind::LateStart, 0, 60}, {GapKind::Stall, 0, 20}};
    EXPECT_EQ(gapsText(words), "开播后才录 00:01:00、断流 00:00:20");
}

TEST(ShowReport, OpenShowsOutliveARestartAndANewShowEndsTheOldOne) {
    livetest::TempDir dir;
    const fs::path file = dir.path() / "show-reports.json";
    {
        ShowReports reports(file);
        EXPECT_FALSE(reports.liveSeen("room", "live@1000", "主播", "live", 1000, 1010));
        reports.recordingStarted("room", "live@1000", "主播.mp4", 1011);
        reports.recordingEnded("room", "主播.mp4", 50, "stalled", 1061);
        reports.recorderFailed("room", "live@1000", 1070);
    }
    ShowReports again(file);
    ASSERT_EQ(again.load(2000), "");
    const auto open = again.open("room");
    ASSERT_TRUE(open);
    EXPECT_EQ(open->nickname, "主播");
    EXPECT_EQ(open->startedAt, 1000);
    ASSERT_EQ(open->files.size(), 1u);
    EXPECT_EQ(open->files[0].end, "stalled");
    EXPECT_DOUBLE_EQ(open->files[0].seconds, 50);
    ASSERT_EQ(open->marks.size(), 2u);
    EXPECT_EQ(open->marks[1].kind, GapKind::Restart);
    EXPECT_EQ(open->marks[1].at, 2000);

    // The same room live in another show: the first one is over.
    const auto over = again.liveSeen("room", "live2@3000", "主播", "live2", 3000, 3005);
    ASSERT_TRUE(over);
    EXPECT_EQ(over->key, "live@1000");
    EXPECT_EQ(again.open("room")->key, "live2@3000");
    EXPECT_TRUE(again.finish("room"));
    EXPECT_FALSE(again.finish("room"));

    // A record that cannot be read is kept aside, not overwritten.
    std::ofstream(file, std::ios::binary | std::ios::trunc) << "{\"shows\":[{\"roomId\":5,\"key\":[]}]}";
    ShowReports broken(file);
    EXPECT_NE(broken.load(4000), "");
    bool aside = false;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        aside = aside || entry.path().filename().string().rfind("show-reports.json.broken-", 0) == 0;
    EXPECT_TRUE(aside);
}

}  // namespace
}  // namespace vigilo

namespace vigilo::livetest {
namespace {

// A show recorded in three files: it began before the room was registered, its stream broke
// once while the room stayed live, and the program was killed (its recorder with it) and
// started again. The report gives the three gaps, and the files' durations as recorded.
TEST_F(LiveTest, TheReportOfAShowGivesItsGapsAndFiles) {
    const std::string id = "7000000000000000888";
    sim.addRoom(makeRoom(id, "R"));
    const sim::StreamUrls first = sim.goLiveWithStream(id);
    const std::int64_t began =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count() -
        30;
    sim.editRoom(id, [&](sim::Room& room) { room.createTime = began; });
    live->startSupervisor();
    live->registerRoom(sim.roomShareLink(id));
    ASSERT_TRUE(eventually([&] { return probeDuration(dir.path() / "R.mp4") > 1.0; }, 20s));

    // The stream breaks; the room answers nothing for a few seconds, then names a new stream.
    const sim::StreamUrls second = sim.createStream();
    sim.setFault(sim::kRoom, sim::Fault::Http500);
    sim.endStream(first.name);
    ASSERT_TRUE(eventually([&] { return live->runningRecorders() == 0; }, 20s));
    std::this_thread::sleep_for(4s);
    sim.editRoom(id, [&](sim::Room& room) {
        room.rtmpPullUrl = second.flv;
        room.hlsPullUrl = second.hls;
    });
    sim.clearFaults();
    ASSERT_TRUE(eventually([&] { return probeDuration(dir.path() / "R-2.mp4") > 1.0; }, 20s));

    // The program dies and its recorder with it; it comes back a few seconds later.
    const auto running = live->recorders();
    ASSERT_EQ(running.size(), 1u);
    ASSERT_GT(running[0].processId, 0);
    live.reset();
    ::kill(running[0].processId, SIGKILL);
    std::this_thread::sleep_for(4s);
    usePacing(Pacing{}.scaled(0.001));
    EventLog events(ctx->events);
    live->startSupervisor();
    live->registerRoom(sim.roomShareLink(id));
    ASSERT_TRUE(eventually([&] { return probeDuration(dir.path() / "R-3.mp4") > 1.0; }, 20s));

    sim.endShow(id);
    sim.endStream(second.name);
    ASSERT_TRUE(eventually([&] { return !events.of(EventType::ShowEnded).empty(); }, 30s)) << ctx->log.text();
    const Event report = events.of(EventType::ShowEnded)[0];
    EXPECT_EQ(report.field("nickname"), "R");
    EXPECT_EQ(report.field("roomId"), id);
    EXPECT_EQ(report.field("files"), "R.mp4、R-2.mp4、R-3.mp4");
    EXPECT_EQ(report.field("gaps"), "3") << report.field("gapList");
    const std::string gaps = report.field("gapList");
    const auto late = gaps.find("开播后才录"), stall = gaps.find("断流"), restart = gaps.find("程序重启");
    ASSERT_TRUE(late != std::string::npos && stall != std::string::npos && restart != std::string::npos) << gaps;
    EXPECT_LT(late, stall);
    EXPECT_LT(stall, restart);
    double recorded = 0;
    for (const char* name : {"R.mp4", "R-2.mp4", "R-3.mp4"}) recorded += probeDuration(dir.path() / name);
    EXPECT_NEAR(std::stod(report.field("recordedSeconds")), recorded, 1.5);
    const double onAir = std::stod(report.field("onAirSeconds"));
    EXPECT_GE(onAir, recorded + 30 + 4 + 4 - 3);  // the late start and both gaps, give or take start-ups
    EXPECT_GE(std::stod(report.field("gapSeconds")), 30 + 4 + 4 - 3);
    EXPECT_NE(ctx->log.text().find("直播结束：R，直播 "), std::string::npos) << ctx->log.text();
    // The row keeps it, for its tooltip and the web page.
    EXPECT_TRUE(eventually([&] { return cell(0, rcol::ShowReport).find("间断 3 次") != std::string::npos; }, 5s))
        << cell(0, rcol::ShowReport);
    // Over: nothing of it is left open for the next run.
    ShowReports after(dir.path() / "show-reports.json");
    EXPECT_EQ(after.load(0), "");
    EXPECT_FALSE(after.open(id));
}

}  // namespace
}  // namespace vigilo::livetest
