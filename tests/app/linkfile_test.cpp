#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "app/linkfile.h"
#include "support/testdir.h"
#include "text/charset.h"

namespace vigilo {
namespace {

namespace fs = std::filesystem;

TEST(LinkFile, RoundTripIsGbkWithCrLfOnDisk) {
    testing::TempDir dir;
    const fs::path file = dir.path() / "文件1.txt";
    struct Case {
        std::string text;    // as a box hands it over
        std::string onDisk;  // UTF-8 view of the expected GBK bytes
        std::string readBack;
    };
    const Case cases[] = {
        {"https://v.douyin.com/abc/\n主页 链接\n", "https://v.douyin.com/abc/\r\n主页 链接\r\n",
         "https://v.douyin.com/abc/\r\n主页 链接\r\n"},
        {"a\r\nb\rc", "a\r\nb\r\nc", "a\r\nb\r\nc"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(writeLinkFile(file, c.text));
        EXPECT_EQ(testing::readBytes(file), utf8ToGbk(c.onDisk)) << c.text;
        EXPECT_EQ(readLinkFile(file), c.readBack) << c.text;
    }
    // Only the file itself is left, no temporary beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(LinkFile, ReadingAcceptsUtf8AndSurvivesMissingHugeAndBinaryFiles) {
    testing::TempDir dir;
    EXPECT_EQ(readLinkFile(dir.path() / "missing.txt"), "");
    EXPECT_EQ(readLinkFile(dir.path()), "");  // a directory

    testing::writeBytes(dir.path() / "utf8.txt", "直播 https://x/\r\n");
    EXPECT_EQ(readLinkFile(dir.path() / "utf8.txt"), "直播 https://x/\r\n");

    std::string binary;
    for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 131) & 0xff);
    testing::writeBytes(dir.path() / "binary.bin", binary);
    const std::string fromBinary = readLinkFile(dir.path() / "binary.bin");
    EXPECT_TRUE(isValidUtf8(fromBinary));
    EXPECT_EQ(fromBinary.find('\0'), std::string::npos);

    // 100 MB of lines (sparse after the first lines): only whole lines of the first MiB.
    const fs::path huge = dir.path() / "huge.txt";
    std::string lines;
    while (lines.size() < 2 * kLinkFileReadCap) lines += "https://v.douyin.com/0123456789/\r\n";
    testing::writeBytes(huge, lines);
    fs::resize_file(huge, 100u << 20);
    const std::string fromHuge = readLinkFile(huge);
    EXPECT_LE(fromHuge.size(), kLinkFileReadCap);
    EXPECT_GT(fromHuge.size(), kLinkFileReadCap - 64);
    EXPECT_EQ(fromHuge.substr(fromHuge.size() - 2), "\r\n");
    EXPECT_EQ(fromHuge.substr(0, 34), "https://v.douyin.com/0123456789/\r\n");
}

TEST(LinkFile, AFailedWriteKeepsTheOldContent) {
    testing::TempDir dir;
    const fs::path file = dir.path() / "文件2.txt";
    ASSERT_TRUE(writeLinkFile(file, "old\r\n"));
    EXPECT_FALSE(writeLinkFile(dir.path() / "no-such-dir" / "文件2.txt", "new"));
    // A target that cannot be replaced (a non-empty directory of that name).
    fs::create_directories(dir.path() / "busy" / "inside");
    EXPECT_FALSE(writeLinkFile(dir.path() / "busy", "new"));
    EXPECT_TRUE(fs::is_directory(dir.path() / "busy" / "inside"));
    EXPECT_EQ(readLinkFile(file), "old\r\n");
    // Nothing half-written is left behind.
    int entries = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos) << entry.path();
        ++entries;
    }
    EXPECT_EQ(entries, 2);
}

}  // namespace
}  // namespace vigilo
