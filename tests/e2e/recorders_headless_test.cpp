// The real `vigilo --headless` beside other ffmpeg jobs and across a kill: it stops and takes
// over only its own recorders, each by its room.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "child.h"
#include "control/startup.h"
#include "headless_fixture.h"
#include "live/recorder.h"
#include "sim/simulator.h"

namespace vigilo::e2e {
namespace {

using std::chrono::seconds;

std::uintmax_t sizeOf(const fs::path& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    return ec ? 0 : size;
}

class HeadlessRecorders : public HeadlessFixture {
protected:
    void SetUp() override {
        HeadlessFixture::SetUp();
        ASSERT_TRUE(sim::Simulator::ffmpegAvailable());
        sim_.setNotice("版本号【" + ownVersion() + "】\r\n运营状态【运营中】\r\n公告栏【】\r\n更新软件地址【】\r\n");
    }

    void TearDown() override {
        // Nothing of ours outlives the test.
        for (const RunningRecorder& left : recordersInDirectory({"ffmpeg"}, home_)) ::kill(left.pid, SIGKILL);
        HeadlessFixture::TearDown();
    }

    std::map<std::string, std::string> recordersByFile() {
        std::map<std::string, std::string> rooms;
        for (const RunningRecorder& r : recordersInDirectory({"ffmpeg"}, home_))
            rooms[r.command.outputFile.substr(2)] = r.command.roomId;
        return rooms;
    }
};

// A user's own ffmpeg job in the data directory, and the user's own .mp4 files there, are not
// the program's: --duration stops and collects only its own recording.
TEST_F(HeadlessRecorders, AForeignFfmpegJobAndTheUsersFilesSurviveTheStop) {
    const std::string roomId = "7200000000000000101";
    sim_.addRoom(testRoom(roomId, "主播"));
    sim_.goLiveWithStream(roomId);
    writeBytes(home_ / "holiday.mp4", "my holiday");
    writeBytes(home_ / "empty.mp4", "");
    Child job({"/bin/sh", "-c",
               "cd \"$0\" && exec ffmpeg -nostdin -hide_banner -loglevel error -re -f lavfi -i "
               "testsrc=size=64x48:rate=10 -c:v mpeg4 -flush_packets 1 -f matroska user.mkv",
               home_.string()},
              childEnvironment({}));
    ASSERT_TRUE(waitUntil([&] { return sizeOf(home_ / "user.mkv") > 0; }, seconds(20))) << job.out() << job.err();

    writeBytes(dir_ / "rooms.txt", sim_.roomShareLink(roomId) + "\n");
    Child vigilo(args({"--rooms", (dir_ / "rooms.txt").string(), "--duration", "8"}), env());
    ASSERT_TRUE(vigilo.waitOut("event recording_started", seconds(20))) << vigilo.out() << vigilo.err();
    ASSERT_EQ(vigilo.waitExit(seconds(60)), 0) << vigilo.out() << vigilo.err();
    EXPECT_NE(vigilo.out().find("recording saved: " + (home_ / "download" / "主播.mp4").string()), std::string::npos)
        << vigilo.out();

    // The job runs on and its file grows; the user's files are where they were, as they were.
    EXPECT_FALSE(job.waitExit(std::chrono::milliseconds(0)));
    const auto atExit = sizeOf(home_ / "user.mkv");
    EXPECT_TRUE(waitUntil([&] { return sizeOf(home_ / "user.mkv") > atExit; }, seconds(10)));
    EXPECT_EQ(readBytes(home_ / "holiday.mp4"), "my holiday");
    EXPECT_TRUE(fs::exists(home_ / "empty.mp4"));
    EXPECT_FALSE(fs::exists(home_ / "download" / "holiday.mp4"));
    job.signal(SIGINT);
    EXPECT_TRUE(job.waitExit(seconds(10)));
}

// Two owners whose names give the same file name: after a kill, each room takes over its own
// recorder (known by its mark), so each show is recorded once, by the recorder of its room.
TEST_F(HeadlessRecorders, RoomsWhoseNamesCollideKeepTheirOwnRecordersAcrossAKill) {
    const std::string idA = "7200000000000000111", idB = "7200000000000000122";
    sim_.addRoom(testRoom(idA, "a/b"));
    sim_.addRoom(testRoom(idB, "a_b"));
    sim_.goLiveWithStream(idA);
    sim_.goLiveWithStream(idB);
    writeBytes(dir_ / "rooms.txt", sim_.roomShareLink(idA) + "\n" + sim_.roomShareLink(idB) + "\n");
    const auto run = args({"--rooms", (dir_ / "rooms.txt").string()});

    std::map<std::string, std::string> before;
    {
        Child first(run, env());
        ASSERT_TRUE(waitUntil(
            [&] {
                before = recordersByFile();
                return before.size() == 2 && sizeOf(home_ / "a_b.mp4") > 0 && sizeOf(home_ / "a_b-2.mp4") > 0;
            },
            seconds(30)))
            << first.out() << first.err();
        first.signal(SIGKILL);
        ASSERT_TRUE(first.waitExit(seconds(10)));
    }
    // Whichever claimed its name first: one file each.
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(before.count("a_b.mp4") + before.count("a_b-2.mp4"), 2u);
    EXPECT_EQ((std::set<std::string>{before["a_b.mp4"], before["a_b-2.mp4"]}), (std::set<std::string>{idA, idB}));
    std::set<pid_t> pids;
    for (const RunningRecorder& r : recordersInDirectory({"ffmpeg"}, home_)) pids.insert(r.pid);
    ASSERT_EQ(pids.size(), 2u);

    Child second(args({"--rooms", (dir_ / "rooms.txt").string(), "--duration", "6"}), env());
    ASSERT_TRUE(second.waitOut("继续录制：a_b-2.mp4", seconds(20))) << second.out() << second.err();
    // Still the same two recorders, no third.
    std::set<pid_t> now;
    for (const RunningRecorder& r : recordersInDirectory({"ffmpeg"}, home_)) now.insert(r.pid);
    EXPECT_EQ(now, pids);
    ASSERT_EQ(second.waitExit(seconds(60)), 0) << second.out() << second.err();
    const std::string out = second.out();
    EXPECT_NE(out.find("继续录制：a_b.mp4"), std::string::npos) << out;
    // The shows were announced by the first run.
    EXPECT_EQ(out.find("event room_live"), std::string::npos) << out;
    EXPECT_EQ(out.find("event recording_started"), std::string::npos) << out;
    EXPECT_TRUE(recordersInDirectory({"ffmpeg"}, home_).empty());

    // Each recording, collected, carries the mark of the room whose recorder wrote it.
    std::map<std::string, std::string> collected;
    for (const std::string& name : recordingFilesIn(home_ / "download"))
        collected[name] = recordingMarkOf(home_ / "download" / name).value_or("");
    EXPECT_EQ(collected, before);
    for (const auto& [name, room] : collected)
        EXPECT_GT(probeDuration(home_ / "download" / name).value_or(0), 1.0) << name;
    EXPECT_TRUE(recordingFilesIn(home_).empty());
}

}  // namespace
}  // namespace vigilo::e2e
