// Files the program reads back are never trusted either: link files of any size or content
// are read in bounded memory, and an account file that is already broken is kept and still
// gets whole, well-formed sections.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/linkfile.h"
#include "control/startup.h"
#include "reliability/fixture.h"
#include "text/charset.h"
#include "text/strings.h"
#include "works/accountfile.h"
#include "works/monitor.h"

namespace vigilo::reliability {
namespace {

long statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::char_traits<char>::length(field));
    return -1;
}

// Every byte value, NULs and line ends included, in no order (a plain LCG: cheap even under
// the sanitizers).
std::string randomBytes(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    std::uint32_t x = seed;
    for (char& c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

#if defined(__SANITIZE_THREAD__)
constexpr long kPeakBoundKiB = 4 * 48 * 1024;
#else
constexpr long kPeakBoundKiB = 48 * 1024;
#endif

TEST(HostileDisk, StartUpReadsHugeAndBinaryLinkFilesInBoundedMemory) {
    vigilo::testing::TempDir dir;
    {
        // 100 MB for the works box: lines well past what a box holds, the rest left sparse.
        std::ofstream out(dir.path() / "文件1.txt", std::ios::binary);
        std::string block;
        while (block.size() < (4u << 20)) block += "https://v.douyin.com/0123456789/\r\n";
        out << block;
    }
    fs::resize_file(dir.path() / "文件1.txt", 100u << 20);
    writeBytes(dir.path() / "文件2.txt", randomBytes(2u << 20, 7));

    RecordingUserInterface ui;
    AppContext ctx(Paths::forDirectory(dir.path()), Pacing{}, Endpoints{}, ui);
    const long rssBefore = statusKiB("VmRSS:");
    // The peak is counted from here on (Linux resets it on "5").
    { std::ofstream("/proc/self/clear_refs") << "5"; }
    const std::size_t heapBefore = heapInUse();
    const StartupResult result = startUp(ctx, "");
    const long peak = statusKiB("VmHWM:");

    EXPECT_EQ(result.ending, StartupEnding::Normal);
    EXPECT_LE(result.linkBox1.size(), kLinkFileReadCap);
    EXPECT_EQ(result.linkBox1.substr(result.linkBox1.size() - 2), "\r\n");
    EXPECT_EQ(result.linkBox1.substr(0, 34), "https://v.douyin.com/0123456789/\r\n");
    EXPECT_LE(result.linkBox2.size(), 4 * kLinkFileReadCap);  // U+FFFD takes three bytes
    EXPECT_TRUE(isValidUtf8(result.linkBox2));
    EXPECT_EQ(result.linkBox2.find('\0'), std::string::npos);
    // A few copies of one megabyte at most, never the 100 MB (ThreadSanitizer's shadow memory
    // counts several times over).
    EXPECT_LT(peak - rssBefore, kPeakBoundKiB) << "peak " << peak << " KiB, before " << rssBefore << " KiB";
    EXPECT_LT(heapInUse() - heapBefore, std::size_t{12} << 20);
    std::printf("[disk] start-up with a 100 MB and a binary link file: peak memory +%ld KiB\n", peak - rssBefore);

    // The boxes go back to their files as they came, through the same writer.
    EXPECT_TRUE(writeLinkFile(ctx.paths.linkFile2(), result.linkBox2));
    EXPECT_TRUE(isValidUtf8(readLinkFile(ctx.paths.linkFile2())));
}

AccountEntry entryFor(const std::string& uid) {
    return {"https://v.douyin.com/" + uid + "/",
            uid,
            "MS4wLjABAAAA" + uid,
            "s" + uid,
            "昵称" + uid,
            "1.5w",
            "12",
            "标题",
            "69" + uid,
            "http://play/" + uid};
}

std::vector<std::string> sectionLines(const AccountEntry& e) {
    return {"[" + e.uid + "]",          "分享链接=" + e.link,
            "sec_uid=" + e.secUid,      "抖音ID=" + e.shortId,
            "昵称=" + e.nickname,       "粉丝数=" + e.followerText,
            "作品数=" + e.postCount,    "最新作品标题=" + e.newestDesc,
            "最新作品id=" + e.newestId, "最新作品链接=" + e.playAddress};
}

std::string withoutLineEnds(std::string s) {
    std::erase(s, '\r');
    std::erase(s, '\n');
    return s;
}

// Whether `old` can be found in `now` with only insertions between its bytes.
bool keptInOrder(const std::string& old, const std::string& now) {
    std::size_t at = 0;
    for (char c : now)
        if (at < old.size() && c == old[at]) ++at;
    return at == old.size();
}

TEST(HostileDisk, ABrokenAccountFileIsKeptAndStillGetsWholeSections) {
    const AccountEntry a = entryFor("73519046211"), b = entryFor("73519046212");
    struct Case {
        const char* what;
        std::string before;
    };
    std::string gbkCut = utf8ToGbk("[1]\r\n昵称=半截");
    gbkCut.pop_back();  // a lead byte with no trail: a file cut while it was written
    const Case cases[] = {
        {"binary bytes, NULs and lone line ends", randomBytes(1u << 20, 11) + "\r\r\n\n\0\0"},
        {"cut inside a character, no final line end", gbkCut},
        {"an unterminated header of the same id", "[" + a.uid},
        {"the same section twice, with junk keys",
         utf8ToGbk("[" + a.uid + "]\r\n=\r\n昵称\r\n[" + a.uid + "]\r\nx=1\r\n")},
        {"only line ends", "\r\r\r\n\n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        vigilo::testing::TempDir dir;
        const fs::path file = dir.path() / "抖音账号信息.ini";
        writeBytes(file, c.before);
        ASSERT_TRUE(writeAccountEntry(file, a));
        ASSERT_TRUE(writeAccountEntry(file, b));
        ASSERT_TRUE(writeAccountEntry(file, a));  // rewritten in place, not added again
        const std::string after = readBytes(file);

        // Every byte that was there is still there, in its order (line ends aside).
        EXPECT_TRUE(keptInOrder(withoutLineEnds(c.before), withoutLineEnds(after)));

        // Each entry has one header line of its own, and its section holds each of the nine
        // keys once, in order, on lines of their own.
        const std::vector<std::string> lines = splitCrLf(gbkToUtf8(after));
        for (const AccountEntry* e : {&a, &b}) {
            const std::vector<std::string> wanted = sectionLines(*e);
            const auto header = std::find(lines.begin(), lines.end(), wanted[0]);
            ASSERT_NE(header, lines.end()) << e->uid;
            std::vector<std::string> keys;
            for (auto it = header + 1; it != lines.end() && (it->empty() || it->front() != '['); ++it) {
                for (std::size_t k = 1; k < wanted.size(); ++k) {
                    const std::string name = wanted[k].substr(0, wanted[k].find('=') + 1);
                    if (it->rfind(name, 0) == 0) keys.push_back(*it);
                }
            }
            EXPECT_EQ(keys, std::vector<std::string>(wanted.begin() + 1, wanted.end())) << e->uid;
        }
        // Nothing temporary is left beside it.
        EXPECT_EQ(filesBelow(dir.path()), std::vector<std::string>{"抖音账号信息.ini"});
    }
}

}  // namespace
}  // namespace vigilo::reliability
