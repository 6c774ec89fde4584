#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "works/fixture.h"
#include "works/seen.h"

namespace vigilo {
namespace {

std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(NewPostCount, DecidesFromTheSeenIdsElseFromTheCountsChange) {
    struct Case {
        const char* what;
        std::vector<std::string> listed;
        std::set<std::string> seen;
        double change;
        std::size_t expected;
    } cases[] = {
        {"two above the newest seen", {"n2", "n1", "s1", "s0"}, {"s1", "s0"}, 2, 2},
        {"above the newest seen, whatever the count says", {"n2", "n1", "s1"}, {"s1"}, 0, 2},
        {"nothing listed seen: the rise decides", {"a", "b", "c", "d"}, {"x"}, 3, 3},
        {"a rise beyond the list takes the whole list", {"a", "b"}, {}, 30, 2},
        {"nothing seen and a fall: none", {"a", "b"}, {"x"}, -2, 0},
        {"a back catalogue, no change: none", {"a", "b", "c"}, {}, 0, 0},
        {"a rise with the newest seen: the newest again", {"s1", "s0"}, {"s1", "s0"}, 1, 1},
        {"an older post moving up after a deletion", {"s2", "s1", "old"}, {"s2", "s1"}, -1, 0},
        {"an empty list", {}, {"s1"}, 2, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(newPostCount(c.listed, c.seen, c.change), c.expected) << c.what;
}

TEST(SeenPosts, KeepsTheNewestIdsOfEachAccountAcrossALoad) {
    TempDir dir;
    const fs::path file = dir.path() / "seen-posts.json";
    // Hostile texts come back as they went in, or as U+FFFD where they were no UTF-8.
    const std::string oddKey = "MS4w\"引号\\\n\x01";
    {
        SeenPosts seen(file);
        EXPECT_EQ(seen.load(), "");
        std::vector<std::string> many;
        for (int i = 250; i > 0; --i) many.push_back("7" + std::to_string(1000 + i));
        seen.record("A", {"3", "2", "1"}, "3", 1000);
        seen.record("A", many, "250", 2000);
        seen.record(oddKey, {"9\xff"}, "１", 1500);
        ASSERT_TRUE(seen.save());
        const std::string written = readBytes(file);
        // Nothing changed since: no second write.
        fs::remove(file);
        ASSERT_TRUE(seen.save());
        EXPECT_FALSE(fs::exists(file));
        std::ofstream(file, std::ios::binary) << written;
    }
    SeenPosts seen(file);
    ASSERT_EQ(seen.load(), "");
    const auto a = seen.find("A");
    ASSERT_TRUE(a);
    ASSERT_EQ(a->ids.size(), SeenPosts::kMaxIds);
    EXPECT_EQ(a->ids.front(), "71250");
    EXPECT_EQ(a->ids.back(), "7" + std::to_string(1000 + 250 - SeenPosts::kMaxIds + 1));
    EXPECT_EQ(a->postCount, "250");
    EXPECT_EQ(a->watchingSince, 1000);  // set once, at the first record
    const auto odd = seen.find(oddKey);
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->ids, std::vector<std::string>{"9\xEF\xBF\xBD"});
    EXPECT_EQ(odd->postCount, "１");
    EXPECT_FALSE(seen.find("B"));
}

TEST(SeenPosts, TheAccountChangedLeastRecentlyMakesRoom) {
    TempDir dir;
    SeenPosts seen(dir.path() / "seen-posts.json");
    for (std::size_t i = 0; i < SeenPosts::kMaxAccounts; ++i)
        seen.record("K" + std::to_string(i), {"1"}, "1", i == 7 ? 10 : 1000 + static_cast<std::int64_t>(i));
    seen.record("new", {"1"}, "1", 9000);
    EXPECT_EQ(seen.size(), SeenPosts::kMaxAccounts);
    EXPECT_FALSE(seen.find("K7"));
    EXPECT_TRUE(seen.find("new"));
    EXPECT_TRUE(seen.find("K8"));
}

TEST(SeenPosts, AnUnusableFileIsIgnoredWithItsReason) {
    struct Case {
        const char* what;
        std::string content;
        const char* reason;
    } cases[] = {
        {"not JSON", "{\"accounts\":[{\"sec_uid\":", "not JSON"},
        {"no list", "{\"accounts\":{\"A\":1}}", "no list of accounts"},
        {"nested a million levels", std::string(1000000, '['), "not JSON"},
        {"a top-level text", "\"accounts\"", "no list of accounts"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const fs::path file = dir.path() / "seen-posts.json";
        std::ofstream(file, std::ios::binary) << c.content;
        SeenPosts seen(file);
        EXPECT_EQ(seen.load(), c.reason) << c.what;
        EXPECT_EQ(seen.size(), 0u) << c.what;
    }
    TempDir dir;
    const fs::path file = dir.path() / "seen-posts.json";
    std::ofstream(file, std::ios::binary) << "{}";
    fs::resize_file(file, SeenPosts::kMaxFileBytes + 1);
    SeenPosts seen(file);
    EXPECT_EQ(seen.load(), "larger than 32 MB");

    // Entries of the wrong shape are left out; the good ones stay.
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        << R"({"accounts":[{"sec_uid":5,"ids":["1"]},{"sec_uid":"B","ids":{"0":"1"}},)"
        << R"({"sec_uid":"C","ids":[1,"7",["x"],"7"],"post_count":"3","watching_since":-4},"x"]})";
    EXPECT_EQ(seen.load(), "");
    EXPECT_EQ(seen.size(), 1u);
    const auto c = seen.find("C");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->ids, std::vector<std::string>{"7"});
    EXPECT_EQ(c->watchingSince, 0);
}

// A record as large as one of a hundred accounts, each with a full list of ids.
void fillLarge(SeenPosts& seen) {
    for (int a = 0; a < 100; ++a) {
        std::vector<std::string> ids;
        for (int i = 0; i < static_cast<int>(SeenPosts::kMaxIds); ++i)
            ids.push_back("7" + std::to_string(100000000000000000LL + a * 1000 + i));
        seen.record("A" + std::to_string(a), ids, "50", 1000);
    }
}

std::string newestOf(SeenPosts& seen, const std::string& secUid) {
    const auto account = seen.find(secUid);
    return account && !account->ids.empty() ? account->ids.front() : std::string();
}

TEST(SeenPosts, ALargeRecordJournalsItsChangesAndReadsThemBackAfterAKill) {
    TempDir dir;
    const fs::path file = dir.path() / "seen-posts.json";
    fs::path journal;
    std::string whole;
    {
        SeenPosts seen(file);
        journal = seen.journalFile();
        fillLarge(seen);
        ASSERT_TRUE(seen.save());
        whole = readBytes(file);
        ASSERT_GE(whole.size(), SeenPosts::kWholeBelowBytes);
        EXPECT_FALSE(fs::exists(journal));
        // Changes of a large record are appended: the whole file stays as it was.
        seen.record("A1", {"n1"}, "51", 2000);
        seen.record("A2", {"n2"}, "51", 2000);
        ASSERT_TRUE(seen.save());
        seen.record("A1", {"n1b", "n1"}, "52", 2001);
        ASSERT_TRUE(seen.save());
        EXPECT_EQ(readBytes(file), whole);
        ASSERT_TRUE(fs::exists(journal));
    }
    // A kill in the middle of the next append leaves a line without its end.
    std::ofstream(journal, std::ios::binary | std::ios::app)
        << R"({"sequence":99,"sec_uid":"A3","post_count":"9","ids":["x)";
    {
        SeenPosts seen(file);
        ASSERT_EQ(seen.load(), "");
        EXPECT_EQ(seen.size(), 100u);
        EXPECT_EQ(newestOf(seen, "A1"), "n1b");
        EXPECT_EQ(seen.find("A1")->postCount, "52");
        EXPECT_EQ(seen.find("A1")->updatedAt, 2001);
        EXPECT_EQ(newestOf(seen, "A2"), "n2");
        EXPECT_EQ(seen.find("A3")->postCount, "50");
        // What was read back goes into the whole file at the first write, and the journal goes.
        ASSERT_TRUE(seen.save());
        EXPECT_FALSE(fs::exists(journal));
        EXPECT_NE(readBytes(file).find("\"n1b\""), std::string::npos);
    }
    SeenPosts seen(file);
    ASSERT_EQ(seen.load(), "");
    EXPECT_EQ(newestOf(seen, "A1"), "n1b");
    EXPECT_EQ(newestOf(seen, "A2"), "n2");
}

// A kill after the whole file was written and before its journal was removed: the lines the
// whole file already holds are not read over its newer state.
TEST(SeenPosts, JournalLinesTheWholeFileHoldsAreSkipped) {
    TempDir dir;
    const fs::path file = dir.path() / "seen-posts.json";
    SeenPosts seen(file);
    fillLarge(seen);
    ASSERT_TRUE(seen.save());
    seen.record("A1", {"old"}, "51", 2000);
    ASSERT_TRUE(seen.save());
    const std::string stale = readBytes(seen.journalFile());
    ASSERT_FALSE(stale.empty());
    seen.record("A1", {"new", "old"}, "52", 2001);
    ASSERT_TRUE(seen.save({}, true));  // the last save of a run folds the journal in
    EXPECT_FALSE(fs::exists(seen.journalFile()));
    std::ofstream(seen.journalFile(), std::ios::binary) << stale;

    SeenPosts again(file);
    ASSERT_EQ(again.load(), "");
    EXPECT_EQ(newestOf(again, "A1"), "new");
    EXPECT_EQ(again.find("A1")->postCount, "52");
}

// The pending list goes to disk before the record of seen posts: when it cannot, nothing of the
// record is written and the changes wait for the next save. Changes made once the write has
// taken its share (while the pending list is being written) go with the next write.
TEST(SeenPosts, NothingIsWrittenWhenTheWriteAheadFailsAndLaterChangesWaitForTheNextSave) {
    for (const bool large : {false, true}) {
        SCOPED_TRACE(large ? "journal" : "whole file");
        TempDir dir;
        const fs::path file = dir.path() / "seen-posts.json";
        SeenPosts seen(file);
        if (large) fillLarge(seen);
        seen.record("A1", {"first"}, "1", 1000);
        ASSERT_TRUE(seen.save());
        const std::string wholeBefore = readBytes(file);
        const std::string journalBefore = readBytes(seen.journalFile());

        seen.record("A1", {"second", "first"}, "2", 1001);
        EXPECT_FALSE(seen.save([] { return false; }));
        EXPECT_EQ(readBytes(file), wholeBefore);
        EXPECT_EQ(readBytes(seen.journalFile()), journalBefore);

        ASSERT_TRUE(seen.save([&] {
            seen.record("B", {"during"}, "1", 1002);
            return true;
        }));
        {
            SeenPosts read(file);
            ASSERT_EQ(read.load(), "");
            EXPECT_EQ(newestOf(read, "A1"), "second");
            EXPECT_FALSE(read.find("B"));
        }
        ASSERT_TRUE(seen.save());
        SeenPosts read(file);
        ASSERT_EQ(read.load(), "");
        EXPECT_EQ(newestOf(read, "B"), "during");
    }
}

// A journal that cannot be written (here a folder stands in its place) fails the save and
// loses nothing: the next save that can write brings every change.
TEST(SeenPosts, AFailedJournalWriteLosesNothing) {
    TempDir dir;
    const fs::path file = dir.path() / "seen-posts.json";
    SeenPosts seen(file);
    fillLarge(seen);
    ASSERT_TRUE(seen.save());
    fs::create_directory(seen.journalFile());
    seen.record("A5", {"kept"}, "51", 2000);
    EXPECT_FALSE(seen.save());
    fs::remove(seen.journalFile());
    ASSERT_TRUE(seen.save());
    SeenPosts read(file);
    ASSERT_EQ(read.load(), "");
    EXPECT_EQ(newestOf(read, "A5"), "kept");
}

}  // namespace
}  // namespace vigilo
