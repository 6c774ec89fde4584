// Recordings end to end: the real ffmpeg records streams of the simulated service.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "control/controller.h"
#include "live/recorder.h"
#include "live_fixture.h"
#include "text/strings.h"
#include "text/timefmt.h"

namespace vigilo::livetest {
namespace {

TEST_F(LiveTest, ALiveRoomIsRecordedFromRegistrationAndCollectedByStop) {
    const std::string idA = "6854151890994039560", idB = "6854151890994039561";
    sim.addRoom(makeRoom(idA, "主播 A😀"));
    sim.addRoom(makeRoom(idB, "B/b"));
    const sim::StreamUrls streamA = sim.goLiveWithStream(idA);
    sim.goLiveWithStream(idB);
    ASSERT_FALSE(streamA.flv.empty());
    // An earlier collection already holds a recording of B's name.
    fs::create_directories(ctx->paths.collectionDir());
    writeBytes(ctx->paths.collectionDir() / "B_b.mp4", "earlier");

    live->registerRoom(sim.roomShareLink(idA));
    ASSERT_EQ(ctx->roomTable.rowCount(), 1);
    const std::string createTime = live->fetchRoomInfo(idA).subDocument("data.room['create_time']").toText();
    ASSERT_FALSE(createTime.empty());
    const std::vector<std::string> expected = {"主播 A😀", idA, idA, kLive, streamA.flv, formatTimestamp(createTime),
                                               kRecording};
    for (int c = 0; c < 7; ++c) EXPECT_EQ(cell(0, c), expected[static_cast<std::size_t>(c)]) << "column " << c;
    EXPECT_TRUE(cell(0, 7) == "0KB" || showsProgress(cell(0, 7))) << cell(0, 7);

    live->registerRoom(sim.roomShareLink(idB));
    ASSERT_EQ(ctx->roomTable.rowCount(), 2);
    EXPECT_EQ(live->runningRecorders(), 2);
    EXPECT_TRUE(eventually([&] { return ctx->status.text(1) == "直播录制中……"; }, 5s)) << ctx->status.text(1);

    // MPEG-TS packets on row 1's port while the file grows and the cells follow.
    const std::string packets = receiveDatagrams(1111, 64 * 1024, 10s);
    ASSERT_FALSE(packets.empty()) << "nothing arrived on udp 1111";
    EXPECT_TRUE(looksLikeTransportStream(packets)) << packets.size() << " bytes";

    ASSERT_TRUE(eventually([&] { return showsProgress(cell(0, 7)) && showsProgress(cell(1, 7)); }, 15s))
        << cell(0, 7) << " / " << cell(1, 7);
    const std::string size1 = cell(0, 7), duration1 = cell(0, 8);
    const auto file1 = fileSize(dir.path() / "主播 A😀.mp4");
    EXPECT_GT(file1, 0u);
    ASSERT_TRUE(eventually([&] { return cell(0, 8) != duration1; }, 5s));
    ASSERT_TRUE(eventually([&] { return fileSize(dir.path() / "主播 A😀.mp4") > file1; }, 5s));
    EXPECT_TRUE(eventually([&] { return textToNumber(cell(0, 7)) > textToNumber(size1); }, 10s)) << size1;

    const StopRecordingReport report = live->stopRecording();
    EXPECT_EQ(ctx->status.text(1), "直播监控停止");
    EXPECT_EQ(live->runningRecorders(), 0);
    EXPECT_TRUE(processesByNameInDirectory("ffmpeg", dir.path()).empty());
    // B's name was taken in the collection: its recording gets the next free one there.
    EXPECT_EQ(report.moved, (std::vector<std::string>{"B_b-2.mp4", "主播 A😀.mp4"}));
    EXPECT_TRUE(report.leftOver.empty());

    EXPECT_GT(probeDuration(ctx->paths.collectionDir() / "主播 A😀.mp4"), 1.0);
    EXPECT_EQ(readBytes(ctx->paths.collectionDir() / "B_b.mp4"), "earlier");
    EXPECT_GT(probeDuration(ctx->paths.collectionDir() / "B_b-2.mp4"), 1.0);
    EXPECT_TRUE(recordingFilesIn(dir.path()).empty());

    // The owners are still live: the rows say so, and that their recording was stopped, with
    // their last figures.
    for (int row = 0; row < 2; ++row) {
        EXPECT_TRUE(waitForCell(row, 6, kStopped, 2s)) << cell(row, 6);
        EXPECT_EQ(cell(row, 3), kLive);
        EXPECT_TRUE(showsProgress(cell(row, 7))) << cell(row, 7);
    }
}

TEST_F(LiveTest, AnOfflineRoomIsWatchedAndRecordedWhenItsOwnerGoesLiveElsewhere) {
    const std::string id = "7000000000000000111", liveId = "7000000000000000222";
    sim.addRoom(makeRoom(id, "C"));
    live->registerRoom(sim.roomShareLink(id));
    ASSERT_EQ(ctx->roomTable.rowCount(), 1);
    EXPECT_EQ(cell(0, 0), "C");
    EXPECT_EQ(cell(0, 1), id);
    EXPECT_EQ(cell(0, 2), "");
    EXPECT_EQ(cell(0, 3), kOffline);
    EXPECT_EQ(cell(0, 4), "");
    EXPECT_EQ(cell(0, 6), kWaiting);
    EXPECT_EQ(cell(0, 7), "0KB");
    EXPECT_EQ(cell(0, 8), "0");
    EXPECT_EQ(live->runningRecorders(), 0);

    live->startSupervisor();
    ASSERT_TRUE(waitForCell(0, 6, kWatching, 3s)) << cell(0, 6);
    EXPECT_EQ(cell(0, 3), kOffline);

    const sim::StreamUrls stream = sim.goLiveWithStream(id, liveId);
    ASSERT_TRUE(waitForCell(0, 3, kLive, 5s)) << cell(0, 3);
    EXPECT_EQ(cell(0, 1), id);
    EXPECT_EQ(cell(0, 2), liveId);
    EXPECT_EQ(cell(0, 4), stream.hls);  // a poll always takes the HLS address
    EXPECT_EQ(cell(0, 6), kRecording);
    const auto recorders = live->recorders();
    ASSERT_EQ(recorders.size(), 1u);
    EXPECT_EQ(recorders[0].row, 1);
    EXPECT_EQ(recorders[0].fileName, "C.mp4");
    ASSERT_TRUE(eventually([&] { return showsProgress(cell(0, 7)) && textToNumber(cell(0, 8)) >= 2; }, 20s))
        << cell(0, 7) << " " << cell(0, 8);

    live->stopRecording();
    EXPECT_GT(probeDuration(ctx->paths.collectionDir() / "C.mp4"), 0.5);
    // Nothing is polled or recorded any more.
    const std::size_t polls = sim.requestCount(sim::kRoom);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(sim.requestCount(sim::kRoom), polls);
    EXPECT_EQ(live->runningRecorders(), 0);
    EXPECT_EQ(cell(0, 3), kLive);
    EXPECT_EQ(cell(0, 6), kStopped);
}

TEST_F(LiveTest, AKilledRecorderLeavesAPlayableFileAndTheRoomIsRecordedAgain) {
    const std::string id = "7000000000000000333";
    sim.addRoom(makeRoom(id, "D"));
    sim.goLiveWithStream(id);
    EventLog events(ctx->events);
    live->startSupervisor();
    live->registerRoom(sim.roomShareLink(id));
    ASSERT_TRUE(eventually([&] { return textToNumber(cell(0, 8)) >= 2; }, 20s)) << cell(0, 8);
    const auto first = live->recorders();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_GT(first[0].processId, 0);
    ASSERT_EQ(::kill(first[0].processId, SIGKILL), 0);

    // The room is still live: it is polled again and a new recording starts in a new file.
    ASSERT_TRUE(eventually(
        [&] {
            const auto now = live->recorders();
            return now.size() == 1 && now[0].fileName == "D-2.mp4";
        },
        10s));
    EXPECT_GT(probeDuration(dir.path() / "D.mp4"), 1.0);
    const auto ended = events.of(EventType::RecordingEnded);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].field("file"), "D.mp4");
    EXPECT_EQ(ended[0].field("reason"), "failed");
    EXPECT_FALSE(ended[0].field("duration").empty());
    // Stopped only once its first fragment is on disk, however slow the machine.
    ASSERT_TRUE(eventually([&] { return probeDuration(dir.path() / "D-2.mp4") > 0; }, 30s));
    live->stopRecording();
    EXPECT_GT(probeDuration(ctx->paths.collectionDir() / "D.mp4"), 1.0);
    EXPECT_GT(probeDuration(ctx->paths.collectionDir() / "D-2.mp4"), 0);
}

TEST_F(LiveTest, AStalledStreamEndsItsRecorderAndTheNextShowGetsANewFile) {
    const std::string id = "7000000000000000444";
    sim.addRoom(makeRoom(id, "E"));
    const sim::StreamUrls stream = sim.goLiveWithStream(id);
    EventLog events(ctx->events);
    live->startSupervisor();
    live->registerRoom(sim.roomShareLink(id));
    ASSERT_TRUE(eventually([&] { return showsProgress(cell(0, 7)); }, 20s)) << cell(0, 7);

    // The show is over for the service, but the stream connection stays open and silent.
    sim.editRoom(id, [](sim::Room& room) { room.liveRoomId.clear(); });
    sim.stallStream(stream.name);
    const auto stalledAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] { return live->runningRecorders() == 0; }, 45s));
    const auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - stalledAt);
    std::cout << "recorder ended " << took.count() << " s after the stall\n";
    EXPECT_GE(took.count(), 10);
    const auto ended = events.of(EventType::RecordingEnded);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].field("reason"), "stalled") << ctx->log.text();

    ASSERT_TRUE(waitForCell(0, 3, kOffline, 3s)) << cell(0, 3);
    EXPECT_TRUE(waitForCell(0, 6, kWatching, 3s)) << cell(0, 6);
    EXPECT_TRUE(showsProgress(cell(0, 7))) << cell(0, 7);
    EXPECT_GT(probeDuration(dir.path() / "E.mp4"), 1.0);

    sim.goLiveWithStream(id);
    ASSERT_TRUE(waitForCell(0, 3, kLive, 5s)) << cell(0, 3);
    const auto recorders = live->recorders();
    ASSERT_EQ(recorders.size(), 1u);
    EXPECT_EQ(recorders[0].fileName, "E-2.mp4");
    ASSERT_TRUE(eventually([&] { return probeDuration(dir.path() / "E-2.mp4") > 0; }, 30s));
    live->stopRecording();
    EXPECT_GT(probeDuration(ctx->paths.collectionDir() / "E.mp4"), 1.0);
    EXPECT_GT(probeDuration(ctx->paths.collectionDir() / "E-2.mp4"), 0);
}

TEST_F(LiveTest, StopAlsoEndsRecordersOfAnEarlierRunButNoOtherFfmpeg) {
    const std::string id = "7000000000000000555";
    sim.addRoom(makeRoom(id, "G"));
    const sim::StreamUrls stream = sim.goLiveWithStream(id);
    TempDir elsewhere;
    const auto record = [&](const fs::path& cwd, const std::string& name, RunControl& control) {
        return std::thread([&control, cwd, name, url = stream.flv] {
            runProgram({"ffmpeg", recorderArguments(url, 19999, "./" + name, "7000000000000000999"), cwd, true}, {},
                       &control);
        });
    };
    RunControl earlier, unrelated;
    std::thread t1 = record(dir.path(), "earlier.mp4", earlier);
    std::thread t2 = record(elsewhere.path(), "other.mp4", unrelated);
    ASSERT_TRUE(eventually(
        [&] { return fileSize(dir.path() / "earlier.mp4") > 0 && fileSize(elsewhere.path() / "other.mp4") > 0; }, 20s));

    const StopRecordingReport report = live->stopRecording();
    EXPECT_TRUE(earlier.finished());
    EXPECT_FALSE(unrelated.finished());
    EXPECT_EQ(report.moved, std::vector<std::string>{"earlier.mp4"});
    EXPECT_GT(probeDuration(ctx->paths.collectionDir() / "earlier.mp4"), 0);

    unrelated.sendKeys("q");
    EXPECT_TRUE(unrelated.waitFinished(10s));
    t1.join();
    t2.join();
    EXPECT_GT(probeDuration(elsewhere.path() / "other.mp4"), 0);
}

// An ffmpeg recording a room's show into the data directory as a killed run of the program
// leaves it; the thread is its parent, as the program was.
std::thread startEarlierRecorder(const std::string& stream, const fs::path& dir, const std::string& file,
                                 const std::string& roomId, RunControl& control) {
    return std::thread([stream, dir, file, roomId, &control] {
        runProgram({"ffmpeg", recorderArguments(stream, recorderPort(1), "./" + file, roomId), dir, true}, {},
                   &control);
    });
}

// After a SIGKILL of the program its recorders go on; the next run takes them over instead
// of recording each show a second time.
TEST_F(LiveTest, ARecorderLeftByAnEarlierRunIsTakenOverNotDoubled) {
    const std::string id = "7000000000000000777";
    sim.addRoom(makeRoom(id, "H"));
    RunControl earlier;
    std::thread left = startEarlierRecorder(sim.goLiveWithStream(id).flv, dir.path(), "H.mp4", id, earlier);
    ASSERT_TRUE(eventually([&] { return fileSize(dir.path() / "H.mp4") > 0; }, 20s));

    live->registerRoom(sim.roomShareLink(id));
    ASSERT_EQ(ctx->roomTable.rowCount(), 1);
    EXPECT_EQ(cell(0, 3), kLive);
    EXPECT_EQ(cell(0, 6), kRecording);
    const std::vector<RecorderInfo> running = live->recorders();
    ASSERT_EQ(running.size(), 1u);
    EXPECT_TRUE(running[0].fromEarlierRun);
    EXPECT_EQ(running[0].processId, earlier.processId());
    EXPECT_EQ(running[0].fileName, "H.mp4");
    EXPECT_TRUE(eventually([&] { return ctx->log.text().find("继续录制：H.mp4") != std::string::npos; }, 5s))
        << ctx->log.text();
    // Its progress shows as the file grows, and how long it has recorded, by the file's fragments.
    EXPECT_TRUE(eventually([&] { return showsProgress(cell(0, 7)); }, 15s)) << cell(0, 7);
    EXPECT_TRUE(eventually([&] { return cell(0, 8) != "0" && !cell(0, 8).empty(); }, 15s)) << cell(0, 8);
    // A pass over the row leaves it alone: the room has its recorder.
    live->pollRoom(1);
    EXPECT_EQ(live->runningRecorders(), 1);

    // The show ends: the earlier recorder finishes its file and the row tells so.
    sim.endShow(id);
    EXPECT_TRUE(earlier.waitFinished(30s));
    left.join();
    EXPECT_TRUE(waitForCell(0, 3, kOffline, 10s)) << cell(0, 3);
    EXPECT_TRUE(eventually([&] { return live->runningRecorders() == 0; }, 10s));
    EXPECT_EQ(recordingFilesIn(dir.path()), std::vector<std::string>{"H.mp4"});
    EXPECT_GT(probeDuration(dir.path() / "H.mp4"), 1.0);
}

// A recorder taken over from an earlier run that dies soon after (a stall it met before the
// restart, a crash) has still recorded for a while: its room is polled again soon, as after a
// recorder of ours, not only at the next pass.
TEST_F(LiveTest, ARoomWhoseTakenOverRecorderDiesIsRecordedAgainSoon) {
    Pacing pacing;
    pacing.passInterval = std::chrono::hours(1);
    pacing.recorderRepoll = 3s;
    usePacing(pacing);
    const std::string id = "7000000000000000778";
    sim.addRoom(makeRoom(id, "J"));
    RunControl earlier;
    std::thread left = startEarlierRecorder(sim.goLiveWithStream(id).flv, dir.path(), "J.mp4", id, earlier);
    // It has run for longer than the quick poll's bound when the program starts.
    ASSERT_TRUE(eventually([&] { return processAge(earlier.processId()).value_or(0ms) > 4s; }, 20s));
    ASSERT_TRUE(eventually([&] { return fileSize(dir.path() / "J.mp4") > 0; }, 20s));

    live->registerRoom(sim.roomShareLink(id));
    live->startSupervisor();
    const std::vector<RecorderInfo> taken = live->recorders();
    ASSERT_EQ(taken.size(), 1u);
    ASSERT_TRUE(taken[0].fromEarlierRun);
    earlier.sendSignal(SIGKILL);
    EXPECT_TRUE(earlier.waitFinished(30s));
    left.join();

    // The show goes on and is recorded again, by a recorder of ours, long before the next pass.
    ASSERT_TRUE(eventually(
        [&] {
            const auto now = live->recorders();
            return now.size() == 1 && !now[0].fromEarlierRun;
        },
        30s));
    // The row is written just after the recorder is listed.
    EXPECT_TRUE(eventually([&] { return cell(0, 6) == kRecording; }, 10s)) << cell(0, 6);
    ASSERT_TRUE(eventually([&] { return showsProgress(cell(0, 7)); }, 20s)) << cell(0, 7);
    live->stopRecording();
    const std::vector<std::string> files = recordingFilesIn(ctx->paths.collectionDir());
    ASSERT_EQ(files.size(), 2u);
    for (const std::string& file : files) EXPECT_GT(probeDuration(ctx->paths.collectionDir() / file), 0) << file;
}

// Run by the next test in a process of its own: records a room and exits mid-recording.
TEST(LiveChild, DISABLED_RecordsUntilTheProgramExits) {
    // Told through its own command line: the parent's environment is not touched while its
    // simulator's threads start processes.
    std::string home, endpoint, link;
    for (const std::string& argument : processArguments(::getpid())) {
        for (auto [name, value] :
             {std::pair{"--live-child-dir=", &home}, std::pair{"--live-child-endpoint=", &endpoint},
              std::pair{"--live-child-link=", &link}})
            if (startsWith(argument, name)) *value = argument.substr(std::string_view(name).size());
    }
    if (home.empty() || endpoint.empty() || link.empty()) GTEST_SKIP();
    RecordingUserInterface ui;
    Endpoints endpoints;
    endpoints.account = endpoints.live = endpoint;
    AppContext ctx(Paths::forDirectory(home), Pacing{}, endpoints, ui);
    Controller controller(ctx);
    controller.live().registerRoom(link);
    ASSERT_TRUE(eventually([&] { return showsProgress(ctx.roomTable.cell(0, 7)); }, 20s));
    std::cout << "recording " << controller.live().recorders().at(0).processId << std::endl;
    // Closed as the window closes it.
    controller.closeProgram();
}

TEST_F(LiveTest, ARecordingOutlivesTheProgram) {
    // Orphans of our children become ours, so the recorder's end can be seen.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const std::string id = "7000000000000000666";
    sim.addRoom(makeRoom(id, "F"));
    const sim::StreamUrls stream = sim.goLiveWithStream(id);

    RunControl control;
    RunResult child;
    std::thread runner([&] {
        child = runProgram(
            {fs::read_symlink("/proc/self/exe").string(),
             {"--gtest_also_run_disabled_tests", "--gtest_filter=LiveChild.DISABLED_RecordsUntilTheProgramExits",
              "--live-child-dir=" + dir.path().string(), "--live-child-endpoint=" + sim.baseUrl(),
              "--live-child-link=" + sim.roomShareLink(id)},
             {},
             true},
            {}, &control);
    });
    const auto spawned = std::chrono::steady_clock::now();
    const bool ended = control.waitFinished(60s);
    // Closing does not wait for the recording.
    EXPECT_LT(std::chrono::steady_clock::now() - spawned, 20s);
    if (!ended) control.sendSignal(SIGKILL);
    runner.join();
    ASSERT_TRUE(ended);
    ASSERT_EQ(child.exitCode, 0) << child.collectedOutput;
    ASSERT_NE(child.collectedOutput.find("recording "), std::string::npos) << child.collectedOutput;

    // The program is gone; its recorder goes on.
    const auto left = processesByNameInDirectory("ffmpeg", dir.path());
    ASSERT_EQ(left.size(), 1u);
    const pid_t recorder = left[0];
    const auto before = fileSize(dir.path() / "F.mp4");
    ASSERT_TRUE(eventually([&] { return fileSize(dir.path() / "F.mp4") > before; }, 5s));
    EXPECT_TRUE(processAlive(recorder));

    // The show ends: ffmpeg finishes the file and exits normally.
    sim.endStream(stream.name);
    int status = -1;
    ASSERT_TRUE(eventually([&] { return ::waitpid(recorder, &status, WNOHANG) == recorder; }, 30s));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_GT(probeDuration(dir.path() / "F.mp4"), 1.0);
}

}  // namespace
}  // namespace vigilo::livetest
