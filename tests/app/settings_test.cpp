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

    const struct { std::string text; int period; std::size_t rooms; } cases[] = {
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

TEST(Settings, AnUnreadableFileIsMovedAsideNotOverwritten) {
    testing::TempDir dir;
    const auto file = dir.path() / "settings.json";
    std::ofstream(file, std::ios::binary) << "{\"livePeriodMinutes\":30,";
    Settings settings(file);
    EXPECT_FALSE(settings.load());
    const std::string moved = settings.movedAside();
    ASSERT_EQ(moved.rfind("settings.json.broken-", 0), 0u) << moved;
    std::ifstream in(dir.path() / moved, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), "{\"livePeriodMinutes\":30,");
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
