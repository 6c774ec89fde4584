// Which listed stream a room is recorded from, by the quality chosen for it.
#include <string>

#include "live/roomanswer.h"
#include "live_fixture.h"
#include "text/strings.h"

namespace vigilo::livetest {
namespace {

// An answer as the service sends it, with the two listings given as JSON objects.
std::string answerText(const std::string& resolution, const std::string& flvMap, const std::string& hlsMap) {
    return R"({"data":{"room":{"create_time":1700000000,"owner":{"nickname":"主播",)"
           R"("own_room":{"room_ids_str":["7400000000000000001"]}},"stream_url":{"default_resolution":")" +
           resolution + R"(","rtmp_pull_url":"http://h/own.flv","hls_pull_url":"http://h/own.m3u8","flv_pull_url":)" +
           flvMap + R"(,"hls_pull_url_map":)" + hlsMap + "}}}}";
}

TEST(StreamChoice, AQualityTakesItsListedStreamElseTheNextLowerElseTheAnswersOwnRule) {
    const std::string all = R"({"ORIGIN":"http://h/o.m3u8","FULL_HD1":"http://h/f.m3u8","HD1":"http://h/h.m3u8",)"
                            R"("SD1":"http://h/s.m3u8","SD2":"http://h/t.m3u8"})";
    const std::string noOrigin = R"({"FULL_HD1":"http://h/f.m3u8","HD1":"http://h/h.m3u8","SD2":"http://h/t.m3u8"})";
    const std::string flvs = R"({"FULL_HD1":"http://h/f.flv","SD1":"http://h/s.flv"})";
    // Keys the service may add, values of another type and empty addresses are no qualities.
    const std::string odd = R"({"UHD9":"http://h/u.m3u8","HD1":7,"SD1":"","SD2":["http://h/t.m3u8"]})";
    struct Case {
        const char* name;
        std::string resolution, flvMap, hlsMap;
        RecordQuality quality;
        bool registration;
        const char* url;
        bool audioOnly;
    };
    const Case cases[] = {
        {"default at a poll", "HD1", flvs, all, RecordQuality::Default, false, "http://h/own.m3u8", false},
        {"default at registration, HD1", "HD1", flvs, all, RecordQuality::Default, true, "http://h/own.flv", false},
        {"default at registration, SD1", "SD1", flvs, all, RecordQuality::Default, true, "http://h/own.m3u8", false},
        {"origin listed", "SD1", "{}", all, RecordQuality::Origin, false, "http://h/o.m3u8", false},
        {"origin missing: the best listed", "SD1", "{}", noOrigin, RecordQuality::Origin, false, "http://h/f.m3u8",
         false},
        {"high listed", "SD1", "{}", all, RecordQuality::High, false, "http://h/h.m3u8", false},
        {"standard missing: next lower", "SD1", "{}", noOrigin, RecordQuality::Standard, false, "http://h/t.m3u8",
         false},
        {"smooth listed", "SD1", "{}", all, RecordQuality::Smooth, false, "http://h/t.m3u8", false},
        {"registration of HD1 looks in the FLV listing", "HD1", flvs, all, RecordQuality::High, true, "http://h/s.flv",
         false},
        {"registration of SD1 looks in the HLS listing", "SD1", flvs, all, RecordQuality::High, true, "http://h/h.m3u8",
         false},
        {"nothing at or below: the answer's rule", "HD1", flvs, noOrigin, RecordQuality::Smooth, true,
         "http://h/own.flv", false},
        {"no listing at all", "SD1", "{}", "{}", RecordQuality::Origin, false, "http://h/own.m3u8", false},
        {"a listing that is no object", "SD1", "{}", R"(["http://h/x.m3u8"])", RecordQuality::Origin, false,
         "http://h/own.m3u8", false},
        {"odd members are skipped", "SD1", "{}", odd, RecordQuality::High, false, "http://h/own.m3u8", false},
        {"audio only: the answer's stream without its picture", "HD1", flvs, all, RecordQuality::AudioOnly, true,
         "http://h/own.flv", true},
        {"audio only at a poll", "HD1", flvs, all, RecordQuality::AudioOnly, false, "http://h/own.m3u8", true},
    };
    for (const Case& c : cases) {
        const RoomAnswer answer = parseRoomAnswer(answerText(c.resolution, c.flvMap, c.hlsMap));
        ASSERT_TRUE(answer.ownerLive()) << c.name;
        const StreamChoice choice = chooseStream(answer, c.quality, c.registration);
        EXPECT_EQ(choice.url, c.url) << c.name;
        EXPECT_EQ(choice.audioOnly, c.audioOnly) << c.name;
    }
}

TEST(StreamChoice, QualityWordsReadBackAndUnknownOnesAreRefused) {
    for (const RecordQuality quality : kAllQualities) EXPECT_EQ(qualityOfWord(qualityWord(quality)), quality);
    EXPECT_FALSE(qualityOfWord("HD1"));
    EXPECT_FALSE(qualityOfWord(""));
}

// The listed stream of the room's quality is what ffmpeg reads; an audio-only recording keeps
// the sound and no picture.
TEST_F(LiveTest, EachRoomIsRecordedInItsOwnQualityOrTheNextLowerListed) {
    sim::Room standard = makeRoom("7310000000000000001", "standard");
    standard.defaultResolution = "SD1";
    standard.qualities = {"ORIGIN", "HD1", "SD2"};  // no SD1: the next lower is SD2
    standard.taggedQualities = true;
    sim::Room sound = makeRoom("7310000000000000002", "sound");
    sound.defaultResolution = "SD1";
    sound.taggedQualities = true;
    sim.addRoom(standard);
    sim.addRoom(sound);
    ASSERT_FALSE(sim.goLiveWithStream(standard.roomId).hls.empty());
    ASSERT_FALSE(sim.goLiveWithStream(sound.roomId).hls.empty());
    ctx->settings.setQuality(RecordQuality::Standard);
    ctx->settings.setRoomQuality(sound.roomId, RecordQuality::AudioOnly);

    live->registerRoom(sim.roomShareLink(standard.roomId));
    live->registerRoom(sim.roomShareLink(sound.roomId));
    ASSERT_EQ(ctx->roomTable.rowCount(), 2);
    EXPECT_TRUE(endsWith(cell(0, 4), ".m3u8?quality=SD2")) << cell(0, 4);
    // The sound of the answer's own stream, whichever quality the listing offers.
    EXPECT_TRUE(endsWith(cell(1, 4), ".m3u8")) << cell(1, 4);

    const fs::path standardFile = dir.path() / "standard.mp4";
    const fs::path soundFile = dir.path() / "sound.mp4";
    ASSERT_TRUE(eventually([&] { return probeDuration(standardFile) >= 2 && probeDuration(soundFile) >= 2; }, 60s))
        << probeDuration(standardFile) << " " << probeDuration(soundFile) << " " << cell(0, 6) << " " << cell(1, 6)
        << ctx->log.text();
    bool askedForSd2 = false;
    for (const sim::RequestRecord& r : sim.requests(sim::kStream))
        if (r.param("quality") == "SD2") askedForSd2 = true;
    EXPECT_TRUE(askedForSd2);
    live->stopRecording();

    const auto streamsOf = [](const fs::path& file) {
        const RunResult result =
            runProgram({"ffprobe",
                        {"-v", "error", "-show_entries", "stream=codec_type", "-of", "csv=p=0", file.string()},
                        {},
                        true});
        return result.collectedOutput;
    };
    const fs::path collected = ctx->paths.collectionDir();
    EXPECT_NE(streamsOf(collected / "standard.mp4").find("video"), std::string::npos);
    const std::string soundStreams = streamsOf(collected / "sound.mp4");
    EXPECT_NE(soundStreams.find("audio"), std::string::npos) << soundStreams;
    EXPECT_EQ(soundStreams.find("video"), std::string::npos) << soundStreams;
    EXPECT_GE(probeDuration(collected / "sound.mp4"), 2);
}

}  // namespace
}  // namespace vigilo::livetest
