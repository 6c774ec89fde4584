#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "text/charset.h"
#include "works/accountfile.h"
#include "works/fixture.h"
#include "works/monitor.h"

namespace vigilo {
namespace {

std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ApplyIniKeys, EditsOneSectionAndKeepsEverythingElse) {
    const std::string keys[] = {"a", "b"};
    const std::string values[] = {"1", "2"};
    struct Case {
        const char* name;
        std::string before, after;
    } cases[] = {
        {"empty file", "", "[s]\r\na=1\r\nb=2\r\n"},
        {"new section after others", "[t]\r\nx=9\r\n", "[t]\r\nx=9\r\n[s]\r\na=1\r\nb=2\r\n"},
        {"keys rewritten in place, foreign key kept", "[s]\r\nb=old\r\nz=keep\r\na=old\r\n[t]\r\na=other\r\n",
         "[s]\r\nb=2\r\nz=keep\r\na=1\r\n[t]\r\na=other\r\n"},
        {"missing key added before the blank separator", "[s]\r\na=old\r\n\r\n[t]\r\n",
         "[s]\r\na=1\r\nb=2\r\n\r\n[t]\r\n"},
        {"LF-only file comes out CR LF", "[s]\na=old\n", "[s]\r\na=1\r\nb=2\r\n"},
        {"blanks around names", " [ s ] \r\n a = old\r\n", " [ s ] \r\na=1\r\nb=2\r\n"},
        {"only the first of two same-named sections", "[s]\r\na=x\r\n[s]\r\na=y\r\n",
         "[s]\r\na=1\r\nb=2\r\n[s]\r\na=y\r\n"},
        {"unparsable lines kept as they are", "garbage\r\n[unterminated\r\n\xff\xfe=\x81\r\n",
         "garbage\r\n[unterminated\r\n\xff\xfe=\x81\r\n[s]\r\na=1\r\nb=2\r\n"},
        // 0x5D (']') and 0x3D ('=') as GBK trail bytes are no markers.
        {"GBK trail bytes", "[\x81\x5D]\r\n\x81\x3D=v\r\n[s]\r\n", "[\x81\x5D]\r\n\x81\x3D=v\r\n[s]\r\na=1\r\nb=2\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(applyIniKeys(c.before, "s", keys, values, 2), c.after) << c.name;
}

AccountEntry sampleEntry(const std::string& uid) {
    return {
        "https://v.example/" + uid + "/", uid,        "MS4wLjABAAAA" + uid, "short" + uid, "昵称😀" + uid, "1.5w", "12",
        "第一行\r\n第二行\n第三行",       "69" + uid, "http://play/" + uid};
}

std::vector<std::string> expectedLines(const AccountEntry& e) {
    return {"[" + e.uid + "]",          "分享链接=" + e.link,
            "sec_uid=" + e.secUid,      "抖音ID=" + e.shortId,
            "昵称=昵称" + e.uid,        "粉丝数=" + e.followerText,
            "作品数=" + e.postCount,    "最新作品标题=第一行 第二行 第三行",
            "最新作品id=" + e.newestId, "最新作品链接=" + e.playAddress};
}

TEST(WriteAccountEntry, GbkSectionsOfNineKeysFromConcurrentWriters) {
    TempDir dir;
    const fs::path file = dir.path() / "抖音账号信息.ini";
    std::vector<std::thread> writers;
    for (int i = 0; i < 8; ++i)
        writers.emplace_back([&, i] { EXPECT_TRUE(writeAccountEntry(file, sampleEntry(std::to_string(100 + i)))); });
    for (auto& t : writers) t.join();
    // Writing one of them again changes values in place, without a second section.
    AccountEntry again = sampleEntry("103");
    again.postCount = "13";
    ASSERT_TRUE(writeAccountEntry(file, again));

    const std::string bytes = readBytes(file);
    EXPECT_NE(bytes.find(utf8ToGbk("最新作品标题")), std::string::npos);
    EXPECT_EQ(bytes.find("最新作品标题"), std::string::npos) << "written as UTF-8, not GBK";
    const std::string text = gbkToUtf8(bytes);
    const auto lines = splitLinesForTest(text);
    ASSERT_EQ(lines.size(), 8u * 10u);
    for (int i = 0; i < 8; ++i) {
        AccountEntry e = sampleEntry(std::to_string(100 + i));
        if (i == 3) e.postCount = "13";
        const auto expected = expectedLines(e);
        auto at = std::find(lines.begin(), lines.end(), expected[0]);
        ASSERT_NE(at, lines.end()) << expected[0];
        std::vector<std::string> section(at, at + 10);
        // The emoji has no GBK form: it is replaced, and the rest of the name survives.
        const std::string nick = section[4];
        EXPECT_EQ(nick.rfind("昵称=昵称", 0), 0u) << nick;
        EXPECT_EQ(nick.find("😀"), std::string::npos);
        EXPECT_TRUE(nick.size() > 15 && nick.substr(nick.size() - 3) == e.uid) << nick;
        section[4] = expected[4];
        EXPECT_EQ(section, expected);
    }
}

TEST(WriteAccountEntry, EmptyValuesKeepTheirKeys) {
    TempDir dir;
    const fs::path file = dir.path() / "a.ini";
    AccountEntry e;
    e.uid = "";
    ASSERT_TRUE(writeAccountEntry(file, e));
    EXPECT_EQ(gbkToUtf8(readBytes(file)),
              "[]\r\n分享链接=\r\nsec_uid=\r\n抖音ID=\r\n昵称=\r\n粉丝数=\r\n作品数=\r\n最新作品标题=\r\n"
              "最新作品id=\r\n最新作品链接=\r\n");
}

TEST(WriteAccountEntry, AnUnwritableFolderIsAFailureNotACrash) {
    TempDir dir;
    EXPECT_FALSE(writeAccountEntry(dir.path() / "missing" / "a.ini", sampleEntry("1")));
}

}  // namespace
}  // namespace vigilo
