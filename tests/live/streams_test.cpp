// Every kind of stream a show can send is recorded by the real ffmpeg into a file that plays,
// also when the recorder is killed mid-show.
#include <signal.h>

#include "live_fixture.h"
#include "text/strings.h"

namespace vigilo::livetest {
namespace {

std::string withoutLineEnds(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

// Whether ffmpeg decodes one second of the file, from `seek` on, without a single error.
bool decodesOneSecond(const fs::path& file, const std::vector<std::string>& seek) {
    std::vector<std::string> args = {"-nostdin", "-v", "error"};
    args.insert(args.end(), seek.begin(), seek.end());
    args.insert(args.end(), {"-i", file.string(), "-t", "1", "-f", "null", "-"});
    const RunResult result = runProgram({"ffmpeg", args, {}, true});
    return result.started && result.exitCode == 0 && withoutLineEnds(result.collectedOutput).empty();
}

// The codec of the file's first stream of a kind ("a" or "v"); "" when it has none.
std::string codecOf(const fs::path& file, const std::string& kind) {
    const RunResult result = runProgram({"ffprobe",
                                         {"-v", "error", "-select_streams", kind + ":0", "-show_entries",
                                          "stream=codec_name", "-of", "default=nw=1:nk=1", file.string()},
                                         {},
                                         true});
    return withoutLineEnds(result.collectedOutput);
}

TEST_F(LiveTest, EveryCopyableStreamIsRecordedPlayablyEvenWhenItsRecorderIsKilled) {
    struct Case {
        const char* nickname;
        sim::StreamAudio audio;
        bool hls;           // recorded from the playlist (a resolution other than HD1)
        const char* codec;  // the audio codec the file must carry
    };
    const Case cases[] = {
        {"aac-flv", sim::StreamAudio::Aac, false, "aac"}, {"mp3-flv", sim::StreamAudio::Mp3, false, "mp3"},
        {"aac-hls", sim::StreamAudio::Aac, true, "aac"},  {"silent-flv", sim::StreamAudio::None, false, ""},
        {"silent-hls", sim::StreamAudio::None, true, ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string id = "730000000000000000" + std::to_string(++n);
        sim::Room room = makeRoom(id, c.nickname);
        if (c.hls) room.defaultResolution = "SD1";
        sim.addRoom(room);
        ASSERT_FALSE(sim.goLiveWithStream(id, "", c.audio).flv.empty());
        live->registerRoom(sim.roomShareLink(id));
    }
    ASSERT_EQ(ctx->roomTable.rowCount(), n);
    for (int row = 0; row < n; ++row) {
        EXPECT_EQ(cell(row, 0), cases[row].nickname);
        EXPECT_EQ(cell(row, 6), kRecording) << cases[row].nickname;
        EXPECT_EQ(endsWith(cell(row, 4), ".m3u8"), cases[row].hls) << cell(row, 4);
    }

    // Killed once each file holds a few seconds: nothing is finished on the way out.
    for (const Case& c : cases) {
        const fs::path file = dir.path() / (std::string(c.nickname) + ".mp4");
        ASSERT_TRUE(eventually([&] { return probeDuration(file) >= 3; }, 90s)) << c.nickname << ": " << ctx->log.text();
    }
    for (const RecorderInfo& r : live->recorders()) ASSERT_EQ(::kill(r.processId, SIGKILL), 0) << r.nickname;
    ASSERT_TRUE(eventually([&] { return live->runningRecorders() == 0; }, 20s));

    for (int row = 0; row < n; ++row) {
        const Case& c = cases[row];
        const fs::path file = dir.path() / (std::string(c.nickname) + ".mp4");
        EXPECT_GE(probeDuration(file), 3) << c.nickname;
        EXPECT_EQ(codecOf(file, "v"), "h264") << c.nickname;
        EXPECT_EQ(codecOf(file, "a"), c.codec) << c.nickname;
        EXPECT_TRUE(decodesOneSecond(file, {"-ss", "0"})) << c.nickname << ": first second";
        EXPECT_TRUE(decodesOneSecond(file, {"-sseof", "-1"})) << c.nickname << ": last second";
        // A recorder that died is not a stopped one: the room is waiting to be polled again.
        EXPECT_EQ(cell(row, 3), kOffline) << c.nickname;
        EXPECT_EQ(cell(row, 6), kWaiting) << c.nickname;
    }
}

}  // namespace
}  // namespace vigilo::livetest
