#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "app/settings.h"
#include "support/testdir.h"

namespace vigilo {
namespace {

TEST(Settings, ValuesSurviveARestartAndBadFilesGiveDefaults) {
    testing::TempDir dir;
    const auto file = dir.path() / "settings.json";
    {
        Settings settings(file);
        EXPECT_FALSE(settings.load());
        EXPECT_EQ(settings.livePeriodMinutes(), 5);
        settings.setLivePeriodMinutes(30);
        settings.setNotifyOnly("6854151890994039560", true);
        settings.setNotifyOnly("1", true);
        settings.setNotifyOnly("1", false);
    }
    Settings again(file);
    ASSERT_TRUE(again.load());
    EXPECT_EQ(again.livePeriodMinutes(), 30);
    EXPECT_TRUE(again.notifyOnly("6854151890994039560"));
    EXPECT_FALSE(again.notifyOnly("1"));

    const struct {
        std::string text;
        int period;
        std::size_t rooms;
    } cases[] = {
        {"", 5, 0},
        {"not json", 5, 0},
        {"[1,2]", 5, 0},
        {R"({"livePeriodMinutes":0})", 0, 0},
        {R"({"livePeriodMinutes":7,"notifyOnlyRooms":["a",3,"",null,"b"]})", 5, 2},
        {R"({"livePeriodMinutes":"10","unknown":{}})", 5, 0},
    };
    for (const auto& c : cases) {
        const SettingsValues values = parseSettings(c.text);
        EXPECT_EQ(values.livePeriodMinutes, c.period) << c.text;
        EXPECT_EQ(values.notifyOnlyRooms.size(), c.rooms) << c.text;
    }
}

// The program's quality and split, and each room's own quality, outlive a restart; a word or a
// number the program does not know reads as the default, never as a failed file.
TEST(Settings, QualitiesAndSplitSurviveARestart) {
    testing::TempDir dir;
    const auto file = dir.path() / "settings.json";
    {
        Settings settings(file);
        settings.setQuality(RecordQuality::Origin);
        settings.setRoomQuality("7400000000000000001", RecordQuality::AudioOnly);
        settings.setRoomQuality("7400000000000000002", RecordQuality::Smooth);
        settings.setRoomQuality("7400000000000000002", std::nullopt);
        settings.setSplitMinutes(30);
    }
    Settings again(file);
    ASSERT_TRUE(again.load());
    EXPECT_EQ(again.quality(), RecordQuality::Origin);
    EXPECT_EQ(again.qualityFor("7400000000000000001"), RecordQuality::AudioOnly);
    EXPECT_EQ(again.qualityFor("7400000000000000002"), RecordQuality::Origin);
    EXPECT_FALSE(again.roomQuality("7400000000000000002"));
    EXPECT_EQ(again.splitMinutes(), 30);

    const struct {
        std::string text;
        RecordQuality quality;
        std::size_t rooms;
        int split;
    } cases[] = {
        {"{}", RecordQuality::Default, 0, 0},
        {R"({"quality":"sd","roomQualities":{"1":"audio","2":"8k","3":5,"":"hd"},"splitMinutes":60})",
         RecordQuality::Standard, 1, 60},
        {R"({"quality":"ultra","splitMinutes":-5})", RecordQuality::Default, 0, 0},
        {R"({"quality":3,"roomQualities":["hd"],"splitMinutes":100000})", RecordQuality::Default, 0, 0},
    };
    for (const auto& c : cases) {
        const SettingsValues values = parseSettings(c.text);
        EXPECT_EQ(values.quality, c.quality) << c.text;
        EXPECT_EQ(values.roomQualities.size(), c.rooms) << c.text;
        EXPECT_EQ(values.splitMinutes, c.split) << c.text;
    }
}

TEST(Settings, AnUnreadableFileIsMovedAsideNotOverwritten) {
    testing::TempDir dir;
    const auto file = dir.path() / "settings.json";
    std::ofstream(file, std::ios::binary) << "{\"livePeriodMinutes\":30,";
    Settings settings(file);
    EXPECT_FALSE(settings.load());
    const std::string moved = settings.movedAside();
    ASSERT_EQ(moved.rfind("settings.json.broken-", 0), 0u) << moved;
    std::ifstream in(dir.path() / moved, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
              "{\"livePeriodMinutes\":30,");
    // The next save writes a new file beside the kept one.
    settings.setLivePeriodMinutes(10);
    Settings again(file);
    ASSERT_TRUE(again.load());
    EXPECT_EQ(again.livePeriodMinutes(), 10);
    EXPECT_EQ(again.movedAside(), "");
    EXPECT_TRUE(std::filesystem::exists(dir.path() / moved));
}

}  // namespace
}  // namespace vigilo
