// A long show cut into parts by the one running recorder: no frame lost between two parts,
// each part a playable file of the room, each collected under the owner's next free name.
#include <cstdlib>

#include "live/collect.h"
#include "live_fixture.h"
#include "sim/live_source.h"
#include "text/strings.h"

namespace vigilo::livetest {
namespace {

std::string probe(const fs::path& file, const std::vector<std::string>& what) {
    std::vector<std::string> args = {"-v", "error"};
    args.insert(args.end(), what.begin(), what.end());
    args.insert(args.end(), {"-of", "default=nw=1:nk=1", file.string()});
    return runProgram({"ffprobe", args, {}, true}).collectedOutput;
}

std::vector<std::string> splitText(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t from = 0;
    while (from <= text.size()) {
        const std::size_t at = std::min(text.find(separator, from), text.size());
        pieces.push_back(text.substr(from, at - from));
        from = at + 1;
    }
    return pieces;
}

int videoFrames(const fs::path& file) {
    return std::atoi(
        probe(file, {"-select_streams", "v:0", "-count_packets", "-show_entries", "stream=nb_read_packets"}).c_str());
}

TEST_F(LiveTest, ASplitShowBecomesWholePartsThatAddUpToItAndAreEachCollected) {
    // A whole show of 150 frames (6 s, a key frame every second), sent at once.
    const RunResult made = runProgram({"ffmpeg",
                                       {"-nostdin",
                                        "-v",
                                        "error",
                                        "-f",
                                        "lavfi",
                                        "-i",
                                        "testsrc=size=160x120:rate=25",
                                        "-f",
                                        "lavfi",
                                        "-i",
                                        "sine=sample_rate=44100",
                                        "-t",
                                        "6",
                                        "-c:v",
                                        sim::LiveSource::videoEncoder("ffmpeg", true),
                                        "-g",
                                        "25",
                                        "-pix_fmt",
                                        "yuv420p",
                                        "-c:a",
                                        "aac",
                                        "-f",
                                        "flv",
                                        "show.flv"},
                                       dir.path(),
                                       true});
    ASSERT_EQ(made.exitCode, 0) << made.collectedOutput;
    ASSERT_EQ(videoFrames(dir.path() / "show.flv"), 150);
    sim.setResponse("/replay/show.flv",
                    {200, "", {{"Content-Type", "video/x-flv"}}, readBytes(dir.path() / "show.flv")});
    fs::remove(dir.path() / "show.flv");

    const std::string id = "7320000000000000001";
    sim.addRoom(makeRoom(id, "分%段"));
    sim.goLive(id, sim.baseUrl() + "/replay/show.flv");
    // An earlier collection holds a recording of the same name: the parts come after it.
    fs::create_directories(ctx->paths.collectionDir());
    writeBytes(ctx->paths.collectionDir() / "分%段.mp4", "earlier");
    EventLog events(ctx->events);
    live->setSplitSeconds(2);
    live->registerRoom(sim.roomShareLink(id));

    ASSERT_TRUE(eventually([&] { return !events.of(EventType::RecordingEnded).empty(); }, 30s)) << ctx->log.text();
    const Event ended = events.of(EventType::RecordingEnded).front();
    const std::vector<std::string> parts = splitText(ended.field("files"), '\n');
    ASSERT_EQ(parts.size(), 3u) << ended.field("files");
    EXPECT_EQ(ended.field("file"), parts.front());
    EXPECT_EQ(ended.field("reason"), "ended");
    // The name's reservation is gone once the parts hold the show.
    EXPECT_FALSE(fs::exists(dir.path() / "分%段.mp4"));

    // Every frame is in one part or the next, and the parts add up to the show.
    int frames = 0;
    double seconds = 0;
    for (const std::string& part : parts) {
        EXPECT_EQ(recordingMarkOf(dir.path() / part), id) << part;
        frames += videoFrames(dir.path() / part);
        seconds +=
            std::atof(probe(dir.path() / part, {"-select_streams", "v:0", "-show_entries", "stream=duration"}).c_str());
    }
    EXPECT_EQ(frames, 150);
    EXPECT_NEAR(seconds, 6.0, 0.081);

    const StopRecordingReport report = live->stopRecording();
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < parts.size(); ++i) expected.push_back("分%段-" + std::to_string(i + 2) + ".mp4");
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> moved = report.moved;
    std::sort(moved.begin(), moved.end());
    EXPECT_EQ(moved, expected);
    EXPECT_TRUE(report.leftOver.empty());
    EXPECT_EQ(readBytes(ctx->paths.collectionDir() / "分%段.mp4"), "earlier");
    // In their order: the second part of the show is the "-3" one, and each plays on its own.
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const fs::path file = ctx->paths.collectionDir() / ("分%段-" + std::to_string(i + 2) + ".mp4");
        EXPECT_NEAR(probeDuration(file), 2, 0.2) << file;
        const RunResult decoded =
            runProgram({"ffmpeg", {"-nostdin", "-v", "error", "-i", file.string(), "-f", "null", "-"}, {}, true});
        EXPECT_EQ(decoded.exitCode, 0) << file << decoded.collectedOutput;
    }
}

}  // namespace
}  // namespace vigilo::livetest
