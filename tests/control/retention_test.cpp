// Old recordings and videos removed when the user asks for it: oldest first, each logged, and
// never a file this program did not write.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "app/context.h"
#include "control/retention.h"
#include "live/recorder.h"
#include "support/testdir.h"

namespace vigilo {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kNow = 1800000000;
constexpr std::int64_t kDay = 86400;

std::string bigEndian32(std::uint32_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

// The file type box and a movie header holding the comment, as our recorders' files begin.
std::string markedRecording(const std::string& roomId) {
    const std::string text = "vigilo:" + roomId;
    const std::string data =
        bigEndian32(static_cast<std::uint32_t>(16 + text.size())) + "data" + std::string(8, '\0') + text;
    return bigEndian32(16) + "ftypisom" + std::string("\0\0\2\0", 4) +
           bigEndian32(static_cast<std::uint32_t>(8 + data.size())) + "moov" + data + std::string(64, 'm');
}

void writeAged(const fs::path& path, const std::string& bytes, std::int64_t daysOld) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    const std::int64_t at = kNow - daysOld * kDay;
    struct utimbuf times {
        static_cast<time_t>(at), static_cast<time_t>(at)
    };
    ASSERT_EQ(::utime(path.c_str(), &times), 0) << path;
}

TEST(Retention, RemovesOnlyOurOldFilesOldestFirstWithALineEach) {
    vigilo::testing::TempDir dir;
    const Paths paths = Paths::forDirectory(dir.path());
    const fs::path rec = paths.collectionDir(), videos = paths.downloadsDir() / "甲";
    struct Case {
        fs::path file;
        std::string bytes;
        std::int64_t daysOld;
        bool removed;
    } cases[] = {
        {rec / "主播.mp4", markedRecording("7400000000000000001"), 40, true},
        {rec / "主播-2.mp4", markedRecording("7400000000000000001"), 29, false},  // younger
        {rec / "别人的.mp4",
         std::string("\0\0\0\x10"
                     "ftypisom\0\0\2\0",
                     16),
         90, false},  // no mark
        {rec / "note.txt", "x", 90, false},
        {videos / "7300000000000000001-旧.mp4", "FLV old", 50, true},
        {videos / "7300000000000000001-旧.json", "{}", 50, true},
        {videos / "7300000000000000001-旧.jpg", "\xFF\xD8\xFF", 1, true},  // goes with its video
        {videos / "7300000000000000002-新.mp4", "FLV new", 2, false},
        {videos / "7300000000000000002-新.json", "{}", 90, false},                     // stays with its video
        {videos / "holiday-old.mp4", "mine", 90, false},                               // not a name we give
        {paths.downloadsDir() / "7300000000000000003-top.mp4", "FLV", 90, false},      // not in an account folder
        {dir.path() / "主播.mp4", markedRecording("7400000000000000002"), 90, false},  // the data directory itself
    };
    for (const auto& c : cases) writeAged(c.file, c.bytes, c.daysOld);
    // A link to an old video elsewhere is neither removed nor followed.
    writeAged(dir.path() / "elsewhere" / "7300000000000000004-外.mp4", "FLV", 90);
    fs::create_symlink(dir.path() / "elsewhere" / "7300000000000000004-外.mp4", videos / "7300000000000000004-外.mp4");

    RecordingUserInterface ui;
    AppContext ctx(paths, Pacing{}, Endpoints{}, ui);
    Retention retention(ctx, std::nullopt,
                        [] { return std::chrono::system_clock::time_point(std::chrono::seconds(kNow)); });
    EXPECT_TRUE(retention.sweep().empty());  // off unless the days are set

    Retention keeping(
        ctx, 30.0, [] { return std::chrono::system_clock::time_point(std::chrono::seconds(kNow)); },
        std::chrono::hours(1));
    // Its first sweep runs at once on its own thread.
    ASSERT_TRUE([&] {
        for (int i = 0; i < 2000 && fs::exists(rec / "主播.mp4"); ++i) ::usleep(5000);
        return !fs::exists(rec / "主播.mp4");
    }());
    for (int i = 0; i < 2000 && ctx.log.text().find("主播.mp4") == std::string::npos; ++i) ::usleep(5000);
    for (const auto& c : cases) EXPECT_EQ(fs::exists(c.file), !c.removed) << c.file;
    EXPECT_TRUE(fs::exists(dir.path() / "elsewhere" / "7300000000000000004-外.mp4"));
    EXPECT_TRUE(fs::is_symlink(videos / "7300000000000000004-外.mp4"));

    const std::string log = ctx.log.text();
    const auto video = log.find("已删除超过30天的视频：下载/甲/7300000000000000001-旧.mp4（连同 .json、.jpg）");
    const auto recording = log.find("已删除超过30天的录像：download/主播.mp4");
    ASSERT_NE(video, std::string::npos) << log;
    ASSERT_NE(recording, std::string::npos) << log;
    EXPECT_LT(video, recording);                                                       // the older first
    EXPECT_EQ(log.find("删除", log.find('\n', recording)), std::string::npos) << log;  // nothing else
    EXPECT_TRUE(keeping.sweep().empty());  // a second sweep finds nothing more
}

TEST(Retention, TheDaysComeFromTheEnvironment) {
    struct Case {
        const char* value;
        std::optional<double> days;
        bool problem;
    } cases[] = {
        {nullptr, std::nullopt, false}, {"", std::nullopt, false},  {"30", 30.0, false},         {" 0.5 ", 0.5, false},
        {"0", std::nullopt, true},      {"-3", std::nullopt, true}, {"30d", std::nullopt, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        if (c.value)
            ::setenv("VIGILO_KEEP_DAYS", c.value, 1);
        else
            ::unsetenv("VIGILO_KEEP_DAYS");
        std::string problem;
        EXPECT_EQ(keepDaysFromEnvironment(&problem), c.days);
        EXPECT_EQ(!problem.empty(), c.problem) << problem;
    }
    ::unsetenv("VIGILO_KEEP_DAYS");
}

}  // namespace
}  // namespace vigilo
