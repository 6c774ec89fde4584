// The live monitor without a real recorder: links that are not rooms, the supervisor's
// passes, refused and stubborn recorders, and the player script.
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <thread>

#include "live/recorder.h"
#include "live_fixture.h"
#include "support/environment.h"
#include "sys/spawn.h"
#include "text/strings.h"

namespace vigilo::livetest {
namespace {

using testing::ScopedEnv;

void appendRow(TableStore& table, const std::vector<std::string>& cells) {
    const int row = table.appendRow();
    for (std::size_t c = 0; c < cells.size(); ++c) table.setCell(row, static_cast<int>(c), cells[c]);
}

// Each state shows its two texts, a stopped recording keeps the live status it had, and a row
// read back from its texts (a row the monitor has no record of) is the room that wrote them.
TEST(RoomStates, RowTextsShowTheStateAndReadBackToIt) {
    struct Case {
        RoomState state;
        bool wasOnAir;
        const char* live;
        const char* record;
        bool onAir;
        bool polled;
    };
    const Case cases[] = {
        {RoomState::Offline, true, kOfflineWord, kWaitingWord, false, true},
        {RoomState::Watching, false, kOfflineWord, kWatchingWord, false, true},
        {RoomState::Recording, false, kLiveWord, kRecordingWord, true, false},
        {RoomState::RecordingStopped, true, kLiveWord, kStoppedWord, true, true},
        {RoomState::RecordingStopped, false, kOfflineWord, kStoppedWord, false, true},
        {RoomState::LiveNotRecorded, false, kLiveWord, kNotifyOnlyWord, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.record) + (c.wasOnAir ? " from live" : " from offline"));
        TableStore table("RoomTable", roomColumns());
        table.appendRow();
        Room room{"7400000000000000001", "7400000000000000002", "主播"};
        setRoomState(table, 0, room, c.wasOnAir ? RoomState::Recording : RoomState::Offline);
        setRoomState(table, 0, room, c.state);
        EXPECT_EQ(table.cell(0, rcol::LiveStatus), c.live);
        EXPECT_EQ(table.cell(0, rcol::RecordStatus), c.record);
        EXPECT_EQ(room.onAir, c.onAir);
        EXPECT_EQ(polledRoom(room), c.polled);

        table.setCell(0, rcol::Owner, room.nickname);
        table.setCell(0, rcol::RoomId, room.roomId);
        table.setCell(0, rcol::LatestRoomId, room.latestId);
        const Room read = roomFromCells(table, 0);
        EXPECT_EQ(read.state, c.state);
        EXPECT_EQ(read.onAir, c.onAir);
        EXPECT_EQ(read.roomId, room.roomId);
        EXPECT_EQ(read.latestId, room.latestId);
        EXPECT_EQ(read.nickname, room.nickname);
    }
}

TEST_F(LiveTest, LinksThatAreNotRoomsAddNoRow) {
    sim::Account account;
    account.uid = "73519046218";
    account.secUid = "MS4wLjABAAAAhome";
    account.nickname = "主页";
    sim.addAccount(account);

    live->registerRoom("");
    EXPECT_TRUE(ui.messages().empty());
    EXPECT_EQ(sim.requestCount(), 0u);

    for (const std::string& link :
         {sim.accountShareLink(account.secUid), std::string("   "), sim.baseUrl() + "/nothing/"}) {
        live->registerRoom(link);
        EXPECT_EQ(ctx->roomTable.rowCount(), 0) << link;
    }
    const auto messages = ui.messages();
    ASSERT_EQ(messages.size(), 3u);
    for (const auto& m : messages) {
        EXPECT_EQ(m.text, "请输入直播间分享链接，非主页链接");
        EXPECT_EQ(m.icon, MessageIcon::None);
    }
    EXPECT_EQ(sim.requestCount(sim::kRoom), 0u);
}

TEST_F(LiveTest, TheSupervisorQueuesExactlyTheOfflineRowsAndStopsPromptly) {
    for (const char* id : {"7100000000000000001", "7100000000000000002", "7100000000000000003"})
        sim.addRoom(makeRoom(id, std::string("R") + id[18]));
    appendRow(ctx->roomTable, {"R1", "7100000000000000001", "", kOffline, "", "", kWaiting, "0KB", "0"});
    appendRow(ctx->roomTable,
              {"X", "7100000000000000009", "7100000000000000009", kLive, "", "", kRecording, "1MB", "5.00"});
    appendRow(ctx->roomTable,
              {"R2", "7100000000000000002", "", kOffline + std::string(" "), "", "", kWaiting, "0KB", "0"});
    appendRow(ctx->roomTable, {"R3", "7100000000000000003", "", kOffline, "", "", kWaiting, "0KB", "0"});

    // Started twice: the first supervisor makes way for the second.
    live->startSupervisor();
    live->startSupervisor();
    ASSERT_TRUE(waitForCell(0, 6, kWatching, 3s));
    ASSERT_TRUE(waitForCell(3, 6, kWatching, 3s));
    EXPECT_EQ(cell(1, 6), kRecording);
    EXPECT_EQ(cell(2, 6), kWaiting);
    // Generous: the replaced supervisor ends at its next wake, late on a loaded machine.
    EXPECT_TRUE(eventually([&] { return ctx->threads.running() == 1; }, 15s)) << ctx->threads.running();

    ASSERT_TRUE(eventually([&] { return sim.requestCount(sim::kRoom) >= 6; }, 5s));
    std::set<std::string> polled;
    for (const auto& r : sim.requests(sim::kRoom)) polled.insert(r.param("room_id"));
    EXPECT_EQ(polled, (std::set<std::string>{"7100000000000000001", "7100000000000000003"}));

    // With the supervisor ended and the poll pool closed (its tasks awaited), nothing is left
    // that could poll: the count taken now is final.
    live->stopSupervisor();
    ASSERT_TRUE(eventually([&] { return ctx->threads.running() == 0; }, 15s));
    ctx->roomPollPool.close();
    const std::size_t polls = sim.requestCount(sim::kRoom);
    EXPECT_EQ(ctx->threads.running(), 0);
    EXPECT_EQ(sim.requestCount(sim::kRoom), polls);
}

TEST(LiveSupervisor, StopsDuringAPassPause) {
    TempDir dir;
    RecordingUserInterface ui;
    Pacing pacing;
    pacing.passInterval = std::chrono::hours(1);
    Endpoints endpoints;
    endpoints.live = endpoints.account = "http://127.0.0.1:9";
    AppContext ctx(Paths::forDirectory(dir.path()), pacing, endpoints, ui);
    LiveMonitor live(ctx);
    live.startSupervisor();
    ASSERT_TRUE(eventually([&] { return ctx.threads.running() == 1; }, 2s));
    std::this_thread::sleep_for(200ms);
    live.stopSupervisor();
    EXPECT_TRUE(eventually([&] { return ctx.threads.running() == 0; }, 1s));
    ctx.roomPollPool.close();
}

// A recorder that cannot start leaves its room live and saying so, and the log says why.
TEST_F(LiveTest, RefusedAndMissingRecordersLeaveTheRowLiveAndFailed) {
    appendRow(ctx->roomTable, {"nick", "1", "1", kLive, "file:///etc/passwd", "", kRecording, "0KB", "0"});
    appendRow(ctx->roomTable, {"nick2", "2", "2", kLive, "http://127.0.0.1:9/live.flv", "", kRecording, "0KB", "0"});
    live->startRecording("file:///etc/passwd", "nick", "1");
    EXPECT_EQ(cell(0, 3), kLive);
    EXPECT_EQ(cell(0, 6), kRecordFailedWord);
    EXPECT_NE(ctx->log.text().find("录制失败：nick（拒绝录制非网络直播源：file:///etc/passwd）"), std::string::npos)
        << ctx->log.text();
    {
        ScopedEnv ffmpeg("VIGILO_FFMPEG", "/nonexistent/ffmpeg");
        live->startRecording("http://127.0.0.1:9/live.flv", "nick2", "2");
    }
    EXPECT_EQ(cell(1, 3), kLive);
    EXPECT_EQ(cell(1, 6), kRecordFailedWord);
    EXPECT_NE(ctx->log.text().find("录制失败：nick2（/nonexistent/ffmpeg 不存在）"), std::string::npos)
        << ctx->log.text();
    EXPECT_TRUE(recordingFilesIn(dir.path()).empty());  // no reservation left behind
    EXPECT_EQ(live->runningRecorders(), 0);
}

// No ffmpeg: every pass tries the live room again, and the user hears of the show and of its
// failure once, with the reason once in the log; the next show is news again.
TEST_F(LiveTest, ARecorderThatCannotStartIsToldOncePerShowAndTriedAtEveryPass) {
    ScopedEnv ffmpeg("VIGILO_FFMPEG", "/nonexistent/ffmpeg");
    const std::string id = "7400000000000000051";
    sim.addRoom(makeRoom(id, "无录像机"));
    sim.goLiveWithStream(id);
    EventLog events(ctx->events);
    live->registerRoom(sim.roomShareLink(id));
    ASSERT_TRUE(waitForCell(0, 6, kRecordFailedWord, 5s)) << cell(0, 6);
    EXPECT_EQ(cell(0, 3), kLive);
    // Three passes more, each asking about the room and trying again.
    live->startSupervisor();
    const std::size_t asked = sim.requestCount(sim::kRoom);
    ASSERT_TRUE(sim.waitForRequests(sim::kRoom, asked + 6, 20s));
    live->stopSupervisor();
    EXPECT_TRUE(waitForCell(0, 6, kRecordFailedWord, 5s)) << cell(0, 6);
    EXPECT_EQ(cell(0, 3), kLive);
    EXPECT_EQ(events.of(EventType::RoomLive).size(), 1u);
    EXPECT_EQ(events.of(EventType::RecordingFailed).size(), 1u);
    EXPECT_TRUE(events.of(EventType::RecordingStarted).empty());
    EXPECT_TRUE(events.of(EventType::RecordingEnded).empty());
    const std::string log = ctx->log.text();
    const std::size_t first = log.find("录制失败：无录像机（/nonexistent/ffmpeg 不存在）");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("录制失败", first + 1), std::string::npos) << log;

    // Another show of the room: told again, once.
    sim.endShow(id);
    sim.goLiveWithStream(id, "7400000000000000052");
    live->startSupervisor();
    ASSERT_TRUE(eventually([&] { return events.of(EventType::RecordingFailed).size() == 2; }, 20s));
    const std::size_t now = sim.requestCount(sim::kRoom);
    ASSERT_TRUE(sim.waitForRequests(sim::kRoom, now + 4, 20s));
    EXPECT_EQ(events.of(EventType::RoomLive).size(), 2u);
    EXPECT_EQ(events.of(EventType::RecordingFailed).size(), 2u);
    EXPECT_EQ(cell(0, 2), "7400000000000000052");
    live->stopSupervisor();
    EXPECT_TRUE(waitForCell(0, 6, kRecordFailedWord, 5s)) << cell(0, 6);
}

TEST_F(LiveTest, AStubbornRecorderIsStoppedWithinBoundsAndItsRowGetsItsProgress) {
    // Ignores the quit key, SIGINT and SIGTERM, and reports progress.
    const fs::path fake = dir.path() / "bin" / "stubborn-ffmpeg";
    fs::create_directories(fake.parent_path());
    writeScript(fake,
                "trap '' INT TERM\n"
                "echo \"Output #1, mp4, to './fake.mp4':\"\n"
                "while :; do printf 'frame=  251 fps= 25 q=-1.0 size=    2048kB time=00:00:10.00 bitrate=1677.7kbits/s "
                "speed=1x    \\r'; sleep 0.1; done\n");
    ScopedEnv ffmpeg("VIGILO_FFMPEG", fake.string());
    live->setStopBounds({300ms, 300ms, 300ms, 3000ms, 500ms});
    appendRow(ctx->roomTable, {"nick", "1", "1", kLive, "http://127.0.0.1:9/x.flv", "", kRecording, "0KB", "0"});
    appendRow(ctx->roomTable, {"nick", "2", "", kOffline, "", "", kWaiting, "0KB", "0"});

    std::thread recording([&] { live->startRecording("http://127.0.0.1:9/x.flv", "nick", "1"); });
    ASSERT_TRUE(waitForCell(0, 7, "2MB", 5s)) << cell(0, 7);
    // Every row of that owner shows the figures.
    EXPECT_EQ(cell(0, 8), "10.00");
    EXPECT_EQ(cell(1, 7), "2MB");
    EXPECT_EQ(ctx->status.text(1), "直播录制中……");

    // A row never gets a second recorder while its recorder runs.
    live->startRecording("http://127.0.0.1:9/x.flv", "nick", "1");
    EXPECT_EQ(live->runningRecorders(), 1);

    const pid_t pid = live->recorders().at(0).processId;
    const auto started = std::chrono::steady_clock::now();
    live->stopRecording();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 6s);
    recording.join();
    EXPECT_FALSE(processAlive(pid));
    EXPECT_EQ(live->runningRecorders(), 0);
    EXPECT_EQ(ctx->status.text(1), "直播监控停止");
    EXPECT_EQ(cell(0, 3), kLive);
    EXPECT_EQ(cell(0, 6), kStopped);
    EXPECT_EQ(cell(0, 7), "2MB");
    // The other row of that owner had no recorder: it keeps its texts.
    EXPECT_EQ(cell(1, 3), kOffline);
    EXPECT_EQ(cell(1, 6), kWaiting);
}

// Stands in for ffmpeg: writes its output file, names it, and reports an hour and five seconds
// of progress until SIGINT (the quit key is not read: the stop's next step comes soon).
void writeStandInRecorder(const fs::path& path) {
    fs::create_directories(path.parent_path());
    writeScript(path,
                "for last; do :; done\n"
                "printf recorded > \"$last\"\n"
                "echo \"Output #1, mp4, to '$last':\"\n"
                "trap 'exit 0' INT TERM\n"
                "while :; do printf 'frame=    1 fps=1.0 q=-1.0 size=    2048kB time=01:00:05.00 "
                "bitrate=   4.6kbits/s speed=1x    \\r'; sleep 0.2; done\n");
}

// A room recorded and stopped three times: three files in download/, none replaced, and the
// user's own files in the data directory left as they are, whatever their names.
TEST_F(LiveTest, EveryRecordingOfARoomIsCollectedUnderAFreeNameAndNothingElseIs) {
    const fs::path standIn = dir.path() / "bin" / "ffmpeg";
    writeStandInRecorder(standIn);
    ScopedEnv ffmpeg("VIGILO_FFMPEG", standIn.string());
    live->setStopBounds({200ms, 2000ms, 2000ms, 2000ms, 500ms});
    const std::map<std::string, std::string> usersOwn = {
        {"holiday.mp4", "my holiday"}, {"empty.mp4", ""}, {"A-5.mp4", "not a recording of ours"}, {"B.MP4", "x"}};
    for (const auto& [name, bytes] : usersOwn) writeBytes(dir.path() / name, bytes);

    const std::string id = "7400000000000000061";
    sim.addRoom(makeRoom(id, "A"));
    sim.goLiveWithUrls(id, "http://127.0.0.1:9/a.flv", "http://127.0.0.1:9/a.m3u8");
    EventLog events(ctx->events);
    live->registerRoom(sim.roomShareLink(id));
    std::vector<std::string> collected;
    for (int show = 1; show <= 3; ++show) {
        SCOPED_TRACE(show);
        if (show > 1) live->resumeRecording();
        // An hour-long progress line keeps its hours.
        ASSERT_TRUE(eventually([&] { return live->runningRecorders() == 1 && cell(0, 8) == "01:00:05.00"; }, 10s))
            << cell(0, 8);
        EXPECT_EQ(cell(0, 7), "2MB");
        EXPECT_EQ(cell(0, 6), kRecording);
        const StopRecordingReport report = live->stopRecording();
        EXPECT_TRUE(report.leftOver.empty());
        collected.insert(collected.end(), report.moved.begin(), report.moved.end());
    }
    EXPECT_EQ(collected, (std::vector<std::string>{"A.mp4", "A-2.mp4", "A-3.mp4"}));
    for (const std::string& name : collected) EXPECT_EQ(readBytes(ctx->paths.collectionDir() / name), "recorded");
    EXPECT_EQ(recordingFilesIn(ctx->paths.collectionDir()).size(), 3u);
    for (const auto& [name, bytes] : usersOwn) EXPECT_EQ(readBytes(dir.path() / name), bytes) << name;
    EXPECT_EQ(recordingFilesIn(dir.path()).size(), usersOwn.size());

    // One show, recorded three times.
    EXPECT_EQ(events.of(EventType::RoomLive).size(), 1u);
    EXPECT_EQ(events.of(EventType::RecordingStarted).size(), 3u);
    const auto ended = events.of(EventType::RecordingEnded);
    ASSERT_EQ(ended.size(), 3u);
    for (const Event& e : ended) {
        EXPECT_EQ(e.field("duration"), "01:00:05.00");
        EXPECT_EQ(e.field("reason"), "stopped");
    }
}

// After a kill the next run takes the room's recorder over: the show is not announced again,
// and the row and the end of the recording tell how long it has recorded.
TEST_F(LiveTest, AShowTakenOverAfterARestartIsNotAnnouncedAgain) {
    const fs::path standIn = dir.path() / "bin" / "ffmpeg";
    writeStandInRecorder(standIn);
    ScopedEnv ffmpeg("VIGILO_FFMPEG", standIn.string());
    const std::string id = "7400000000000000071";
    sim.addRoom(makeRoom(id, "接管"));
    sim.goLiveWithUrls(id, "http://127.0.0.1:9/t.flv", "http://127.0.0.1:9/t.m3u8");
    EventLog events(ctx->events);
    live->registerRoom(sim.roomShareLink(id));
    ASSERT_TRUE(waitForCell(0, 8, "01:00:05.00", 10s)) << cell(0, 8);
    const pid_t recorder = live->recorders().at(0).processId;

    // The program is gone without a stop; its recorder goes on. A new run over the same data.
    live.reset();
    ctx->roomTable.deleteAll();
    live = std::make_unique<LiveMonitor>(*ctx);
    live->setStopBounds({200ms, 2000ms, 2000ms, 2000ms, 500ms});
    live->registerRoom(sim.roomShareLink(id));
    ASSERT_EQ(live->recorders().size(), 1u);
    EXPECT_TRUE(live->recorders()[0].fromEarlierRun);
    EXPECT_EQ(live->recorders()[0].processId, recorder);
    EXPECT_TRUE(eventually([&] { return cell(0, 8) != "0" && !cell(0, 8).empty(); }, 10s)) << cell(0, 8);
    EXPECT_EQ(events.of(EventType::RoomLive).size(), 1u);
    EXPECT_EQ(events.of(EventType::RecordingStarted).size(), 1u);

    live->stopRecording();
    EXPECT_FALSE(processAlive(recorder));
    const auto ended = events.of(EventType::RecordingEnded);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].field("reason"), "stopped");
    EXPECT_FALSE(ended[0].field("duration").empty());
    EXPECT_EQ(readBytes(ctx->paths.collectionDir() / "接管.mp4"), "recorded");
}

// A recorder of ours is a process of this user with our mark: the same recorder run by another
// user in the data directory is not stopped, the one of this user (left by an earlier run) is.
TEST_F(LiveTest, StopSignalsOnlyThisUsersMarkedRecorders) {
    if (::geteuid() != 0 || findExecutable("setpriv").empty()) GTEST_SKIP() << "needs root and setpriv";
    const fs::path standIn = dir.path() / "bin" / "ffmpeg";
    writeStandInRecorder(standIn);
    const auto everyoneEnters = fs::perms::group_exec | fs::perms::others_exec | fs::perms::others_read;
    for (const fs::path& p : {dir.path(), standIn.parent_path(), standIn})
        fs::permissions(p, everyoneEnters, fs::perm_options::add);
    ScopedEnv ffmpeg("VIGILO_FFMPEG", standIn.string());
    live->setStopBounds({200ms, 2000ms, 2000ms, 2000ms, 300ms});
    const std::vector<std::string> ours =
        recorderArguments("http://127.0.0.1:9/x.flv", 1111, "./x.mp4", "7400000000000000091");
    std::vector<std::string> asNobody = {"--reuid=65534", "--regid=65534", "--clear-groups", "--", standIn.string()};
    asNobody.insert(asNobody.end(), ours.begin(), ours.end());
    RunControl mine, theirs;
    std::thread a([&] { runProgram({standIn.string(), ours, dir.path(), true}, {}, &mine); });
    std::thread b([&] { runProgram({"setpriv", asNobody, dir.path(), true}, {}, &theirs); });
    ASSERT_TRUE(eventually([&] { return processesByNameInDirectory("ffmpeg", dir.path()).size() == 2; }, 10s));
    ASSERT_EQ(recordersInDirectory({"ffmpeg"}, dir.path()).size(), 1u);

    live->stopRecording();
    EXPECT_TRUE(mine.waitFinished(5s));
    EXPECT_FALSE(theirs.finished());
    theirs.sendSignal(SIGKILL);
    mine.sendSignal(SIGKILL);
    a.join();
    b.join();
}

// "停止录制" leaves the period buttons showing no passes; choosing a period starts them again.
TEST_F(LiveTest, AfterStopThePeriodShowsNoPassesAndChoosingOneResumesThem) {
    const std::string id = "7400000000000000081";
    sim.addRoom(makeRoom(id, "P"));
    live->registerRoom(sim.roomShareLink(id));
    live->startSupervisor();
    ASSERT_TRUE(waitForCell(0, 6, kWatching, 5s));
    EXPECT_EQ(live->shownPeriod(), 5);
    live->stopRecording();
    EXPECT_EQ(live->shownPeriod(), 0);
    EXPECT_EQ(live->period(), 5);  // the choice itself is kept for the next start
    const std::size_t polls = sim.requestCount(sim::kRoom);
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(sim.requestCount(sim::kRoom), polls);

    live->setPeriod(10);
    EXPECT_EQ(live->shownPeriod(), 10);
    ASSERT_TRUE(sim.waitForRequests(sim::kRoom, polls + 1, 10s));
    sim.goLiveWithUrls(id, "http://127.0.0.1:9/p.flv", "http://127.0.0.1:9/p.m3u8");
    EXPECT_TRUE(waitForCell(0, 3, kLive, 10s)) << cell(0, 3);
}

TEST(LiveRetry, ABrokenStreamIsTriedAgainByThePassesOnly) {
    TempDir dir;
    sim::Simulator sim;
    ASSERT_TRUE(sim.start());
    const std::string id = "7200000000000000001";
    sim.addRoom(makeRoom(id, "broken"));
    sim.goLiveWithUrls(id, sim.baseUrl() + "/stage/missing.flv", sim.baseUrl() + "/stage/missing.m3u8");
    RecordingUserInterface ui;
    Pacing pacing;
    pacing.passInterval = std::chrono::hours(1);
    pacing.recorderRepoll = 2s;      // ffmpeg gives up on a missing stream well before
    pacing.startJitter = Millis{0};  // the first pass at once, not inside the quiet spell below
    Endpoints endpoints;
    endpoints.live = endpoints.account = sim.baseUrl();
    AppContext ctx(Paths::forDirectory(dir.path()), pacing, endpoints, ui);
    {
        LiveMonitor live(ctx);
        live.registerRoom(sim.roomShareLink(id));
        live.startSupervisor();
        ASSERT_TRUE(eventually([&] { return ctx.roomTable.cell(0, 6) == kRecordFailedWord; }, 10s));
        EXPECT_EQ(ctx.roomTable.cell(0, 3), kLive);
        const std::size_t polls = sim.requestCount(sim::kRoom);
        std::this_thread::sleep_for(3500ms);
        EXPECT_EQ(sim.requestCount(sim::kRoom), polls);
        EXPECT_EQ(live.runningRecorders(), 0);
        EXPECT_TRUE(recordingFilesIn(dir.path()).empty());
        live.stopRecording();
    }
    sim.stop();
}

TEST(LivePlayer, ThePlayScriptStartsFfplayOnTheSelectedRowsPort) {
    TempDir dir;
    const fs::path bin = dir.path() / "bin";
    fs::create_directories(bin);
    const fs::path argsFile = dir.path() / "ffplay-args";
    writeScript(bin / "ffplay", "echo \"$@\" > \"" + argsFile.string() + ".tmp\"; mv \"" + argsFile.string() +
                                    ".tmp\" \"" + argsFile.string() + "\"\n");
    ScopedEnv path("PATH",
                   bin.string() + ":" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin"));

    RecordingUserInterface ui;
    Endpoints endpoints;
    endpoints.live = endpoints.account = "http://127.0.0.1:9";
    AppContext ctx(Paths::forDirectory(dir.path()), Pacing{}, endpoints, ui);
    LiveMonitor live(ctx);
    for (int i = 0; i < 100; ++i) ctx.roomTable.appendRow();

    struct Case {
        int selected;
        int port;
    };
    for (const Case& c : {Case{-1, 1110}, Case{0, 1111}, Case{11, 11112}, Case{99, 11200}}) {
        fs::remove(argsFile);
        ctx.roomTable.setSelectedRow(c.selected);
        live.playSelectedRow();
        const std::string address = "udp://127.0.0.1:" + std::to_string(c.port);
        EXPECT_EQ(readBytes(ctx.paths.playScript()), "#!/bin/sh\nffplay -x 360 -y 640 " + address + "\n");
        struct stat st {};
        ASSERT_EQ(::stat(ctx.paths.playScript().c_str(), &st), 0);
        EXPECT_NE(st.st_mode & S_IXUSR, 0u);
        ASSERT_TRUE(eventually([&] { return fs::exists(argsFile); }, 5s)) << c.selected;
        EXPECT_EQ(readBytes(argsFile), "-x 360 -y 640 " + address + "\n");
    }
    EXPECT_TRUE(ctx.threads.waitIdle(5s));
}

}  // namespace
}  // namespace vigilo::livetest
