// The list of videos not saved yet: written ahead, batched, bounded, and never lost to a
// file it cannot read.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "works/fixture.h"
#include "works/pending.h"

namespace vigilo {
namespace {

std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

PendingDownload entry(const std::string& id, const std::string& account, std::int64_t listedMs) {
    PendingDownload e;
    e.id = id;
    e.desc = "d" + id;
    e.nickname = "n" + account;
    e.secUid = account;
    e.playAddress = "http://play/" + id;
    e.firstTryMs = listedMs;
    return e;
}

std::vector<std::string> ids(const std::vector<PendingDownload>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e.id);
    return out;
}

TEST(PendingDownloads, OneDownloadPerAccountNewestFirstWithinTheProgramsLimit) {
    TempDir dir;
    PendingDownloads pending(dir.path() / "pending-downloads.json");
    // Account a: a burst listed newest first, then a later post; account b: one post.
    for (const auto& e : {entry("a3", "a", 100), entry("a2", "a", 100), entry("a1", "a", 100), entry("a4", "a", 200),
                          entry("b1", "b", 150)})
        ASSERT_TRUE(pending.add(e));
    EXPECT_FALSE(pending.add(entry("a3", "a", 300)));  // listed already

    EXPECT_EQ(ids(pending.takeNext(1000, 1)), (std::vector<std::string>{"a4"}));
    EXPECT_TRUE(pending.takeNext(1000, 1).empty());                               // the limit is reached
    EXPECT_EQ(ids(pending.takeNext(1000, 3)), (std::vector<std::string>{"b1"}));  // a has one running
    pending.remove("a4");
    EXPECT_EQ(ids(pending.takeNext(1000, 3)), (std::vector<std::string>{"a3"}));
    // A failed try waits for its time; the account's next post goes meanwhile.
    PendingDownload failed = entry("a3", "a", 100);
    failed.attempts = 1;
    failed.nextTryMs = 5000;
    pending.update(failed);
    EXPECT_EQ(ids(pending.takeNext(1000, 3)), (std::vector<std::string>{"a2"}));
    pending.release("a2");  // a stopped try: kept as it was
    pending.release("b1");
    EXPECT_EQ(ids(pending.takeNext(6000, 3)), (std::vector<std::string>{"b1", "a3"}));
    EXPECT_EQ(pending.running(), 2);
    EXPECT_EQ(pending.entries().size(), 4u);
}

TEST(PendingDownloads, WrittenBeforeADownloadStartsAndOtherwiseAtMostOnceASecond) {
    TempDir dir;
    const fs::path file = dir.path() / "pending-downloads.json";
    PendingDownloads pending(file);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(pending.add(entry("1", "a", 1)));
    // Before its download starts the entry is on disk, whatever the batching.
    ASSERT_TRUE(pending.ensureWritten());
    EXPECT_NE(readBytes(file).find("\"id\":\"1\""), std::string::npos);
    for (int i = 2; i <= 300; ++i) {
        pending.add(entry(std::to_string(i), "a", i));
        pending.remove(std::to_string(i - 1));
        pending.flushIfDue();
    }
    // 600 changes: one write per second at most (plus the one before the download).
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(pending.writes(), static_cast<std::uint64_t>(seconds + 2));
    // Nothing is left unwritten at the end.
    ASSERT_TRUE(pending.flushIfDue(true));
    const std::string text = readBytes(file);
    EXPECT_NE(text.find("\"id\":\"300\""), std::string::npos);
    EXPECT_EQ(text.find("\"id\":\"299\""), std::string::npos);
    // ensureWritten writes only for an entry not on disk yet.
    const auto writes = pending.writes();
    pending.remove("300");
    EXPECT_TRUE(pending.ensureWritten());
    EXPECT_EQ(pending.writes(), writes);
}

TEST(PendingDownloads, TheOldestMakeRoomWhenTheListIsFull) {
    TempDir dir;
    PendingDownloads pending(dir.path() / "pending-downloads.json");
    for (std::size_t i = 0; i < PendingDownloads::kMaxEntries; ++i)
        ASSERT_TRUE(pending.add(
            entry("p" + std::to_string(i), "a" + std::to_string(i % 7), 1000 + static_cast<std::int64_t>(i))));
    std::vector<PendingDownload> givenUp;
    ASSERT_TRUE(pending.add(entry("new1", "x", 999999), &givenUp));
    ASSERT_TRUE(pending.add(entry("new2", "x", 999999), &givenUp));
    EXPECT_EQ(ids(givenUp), (std::vector<std::string>{"p0", "p1"}));
    EXPECT_EQ(pending.entries().size(), PendingDownloads::kMaxEntries);

    // A file holding more than the cap (an older build's) gives up its oldest when read.
    ASSERT_TRUE(pending.flushIfDue(true));
    std::string text = readBytes(dir.path() / "pending-downloads.json");
    text.insert(text.find('[') + 1, "\n{\"id\":\"older\",\"first_try_ms\":5},");
    std::ofstream(dir.path() / "pending-downloads.json", std::ios::binary | std::ios::trunc) << text;
    PendingDownloads again(dir.path() / "pending-downloads.json");
    const auto loaded = again.load(2'000'000);
    EXPECT_EQ(loaded.problem, "");
    EXPECT_EQ(ids(loaded.givenUp), (std::vector<std::string>{"older"}));
    EXPECT_EQ(again.entries().size(), PendingDownloads::kMaxEntries);
}

TEST(PendingDownloads, AnUnreadableFileIsMovedAsideNeverOverwritten) {
    struct Case {
        const char* what;
        std::string content;
        std::string problem;
    } cases[] = {
        {"cut short", "{\"downloads\":[{\"id\":\"7\",\"desc\":", "not JSON"},
        {"another shape", "{\"downloads\":{\"7\":{}}}", "no list of downloads"},
        {"not text", std::string("\0\1\2\3", 4), "not JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const fs::path file = dir.path() / "pending-downloads.json";
        std::ofstream(file, std::ios::binary) << c.content;
        PendingDownloads pending(file);
        const auto loaded = pending.load(1000);
        EXPECT_EQ(loaded.problem, c.problem);
        ASSERT_EQ(loaded.movedTo.rfind("pending-downloads.json.broken-", 0), 0u) << loaded.movedTo;
        EXPECT_EQ(readBytes(dir.path() / loaded.movedTo), c.content);
        EXPECT_TRUE(pending.entries().empty());
        pending.add(entry("8", "a", 1));
        ASSERT_TRUE(pending.flushIfDue(true));
        EXPECT_NE(readBytes(file).find("\"id\":\"8\""), std::string::npos);
        EXPECT_EQ(readBytes(dir.path() / loaded.movedTo), c.content);
    }
}

TEST(PendingDownloads, ValuesReadBackAreClamped) {
    TempDir dir;
    const fs::path file = dir.path() / "pending-downloads.json";
    std::ofstream(file, std::ios::binary)
        << "{\"downloads\":[{\"id\":\"1\",\"attempts\":1e300,\"first_try_ms\":9e18,\"next_try_ms\":-5,\"gap_ms\":1e30},"
           "{\"id\":\"2\",\"attempts\":-7},{\"id\":\"1\",\"attempts\":3},{\"id\":\"\"}]}";
    PendingDownloads pending(file);
    EXPECT_EQ(pending.load(5000).problem, "");
    const auto entries = pending.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].attempts, PendingDownloads::kMaxAttempts);
    EXPECT_EQ(entries[0].firstTryMs, 5000);  // never in the future, so it can be given up
    EXPECT_EQ(entries[0].nextTryMs, 0);
    EXPECT_EQ(entries[0].gapMs, 86400000);
    EXPECT_EQ(entries[1].attempts, 0);
}

}  // namespace
}  // namespace vigilo
