// The record of announced shows: each show once, across restarts, bounded, and a damaged file
// kept aside rather than overwritten.
#include <gtest/gtest.h>

#include <string>

#include "helpers.h"
#include "live/shows.h"

namespace vigilo {
namespace {

using livetest::readBytes;
using livetest::TempDir;
using livetest::writeBytes;
namespace fs = std::filesystem;

TEST(AnnouncedShows, EachShowOnceAcrossRestartsAndBounded) {
    TempDir dir;
    const fs::path file = dir.path() / "announced-shows.json";
    const std::string show = AnnouncedShows::keyOf("7400000000000000001", "1760000000");
    {
        AnnouncedShows shows(file);
        EXPECT_EQ(shows.load(), "");
        EXPECT_TRUE(shows.announce(show));
        EXPECT_FALSE(shows.announce(show));
        // The same room live again later is another show.
        EXPECT_TRUE(shows.announce(AnnouncedShows::keyOf("7400000000000000001", "1760090000")));
        EXPECT_TRUE(shows.firstFailure(show));
        EXPECT_FALSE(shows.firstFailure(show));
    }
    constexpr std::size_t kBound = 20;
    AnnouncedShows again(file, kBound);
    EXPECT_EQ(again.load(), "");
    EXPECT_FALSE(again.announce(show));
    EXPECT_FALSE(again.firstFailure(show));
    EXPECT_EQ(again.size(), 2u);

    for (std::size_t i = 0; i < kBound; ++i) again.announce(AnnouncedShows::keyOf(std::to_string(i), "1"));
    EXPECT_EQ(again.size(), kBound);
    AnnouncedShows bounded(file, kBound);
    EXPECT_EQ(bounded.load(), "");
    EXPECT_EQ(bounded.size(), kBound);
    EXPECT_FALSE(bounded.known(show));  // the oldest went first
    EXPECT_TRUE(bounded.known(AnnouncedShows::keyOf("0", "1")));
}

TEST(AnnouncedShows, ADamagedFileIsMovedAsideAndKept) {
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {{"truncated", "{\"shows\":[{\"roomId\":\"1\""}, {"empty", ""}, {"not a list", "{\"shows\":7}"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const fs::path file = dir.path() / "announced-shows.json";
        writeBytes(file, c.bytes);
        AnnouncedShows shows(file);
        const std::string why = shows.load();
        EXPECT_NE(why.find("已移到 announced-shows.json.broken-"), std::string::npos) << why;
        std::vector<fs::path> aside;
        for (const auto& entry : fs::directory_iterator(dir.path())) aside.push_back(entry.path());
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(readBytes(aside[0]), c.bytes);
        EXPECT_TRUE(shows.announce(AnnouncedShows::keyOf("1", "2")));
        AnnouncedShows fresh(file);
        EXPECT_EQ(fresh.load(), "");
        EXPECT_TRUE(fresh.known(AnnouncedShows::keyOf("1", "2")));
    }
}

}  // namespace
}  // namespace vigilo
