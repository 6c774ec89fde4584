#include <gtest/gtest.h>

#include <string>

#include "text/charset.h"
#include "works/monitor.h"
#include "works/names.h"

namespace vigilo {
namespace {

TEST(FollowerText, TenThousandsAboveTheThreshold) {
    struct Case {
        std::string count, shown;
    } cases[] = {
        {"10000", "10000"},  // exactly ten thousand stays as it is
        {"10001", "1.0001w"},
        {"25000", "2.5w"},
        {"15000", "1.5w"},
        {"9999", "9999"},
        {"10000.00000001", "10000.00000001"},  // within the tolerance
        {"123456789", "12345.6789w"},
        {"", ""},  // a failed read stays empty
        {"abc", "abc"},
    };
    for (const auto& c : cases) EXPECT_EQ(followerText(c.count), c.shown) << c.count;
}

TEST(SafeFileName, ReplacesWhatAPathComponentCannotHold) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"abc", "abc"},
        {"", "_"},  // an empty name still names something visible
        {"../x", "_._x"},
        {".hidden", "_hidden"},  // never a hidden file or folder
        {"a/b/c", "a_b_c"},
        {".", "_"},
        {"..", "__"},
        {"...", "_.."},
        {std::string("a\0b", 3), "a_b"},
        {"line\r\nbreak\ttab\x7f", "line__break_tab_"},
        {"\xC2\x85next", "_next"},  // C1 control NEL
        {"bad\xFF\xC3utf8", "bad\xEF\xBF\xBD\xEF\xBF\xBDutf8"},
        {"😀 emoji 昵称", "😀 emoji 昵称"},
    };
    for (const auto& c : cases) EXPECT_EQ(safeFileName(c.in), c.out) << c.in;
}

TEST(SafeFileName, CutsOnACharacterBoundary) {
    std::string longName;
    for (int i = 0; i < 100; ++i) longName += "昵";  // 300 bytes
    const std::string cut = safeFileName(longName);
    EXPECT_LE(cut.size(), kMaxNameBytes);
    EXPECT_EQ(cut.size(), 255u);  // 85 whole characters
    EXPECT_TRUE(isValidUtf8(cut));

    const std::string emoji = "a" + std::string(64, 'x') +
                              "😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀"
                              "😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀";  // 65 + 200 bytes
    const std::string cutEmoji = safeFileName(emoji);
    EXPECT_LE(cutEmoji.size(), kMaxNameBytes);
    EXPECT_TRUE(isValidUtf8(cutEmoji));
    EXPECT_EQ(cutEmoji.size(), 65u + 47 * 4);  // 47 whole emoji fit
}

TEST(VideoFileName, KeepsTheIdWholeAndFitsOneName) {
    const std::string id = "6872336845759089421";
    std::string desc = "第一行\n第二行 #话题 😀";
    while (desc.size() < 400) desc += "描述";
    struct Case {
        std::string id, desc, expectedPrefix;
        bool exact;
    } cases[] = {
        {"7", "hello", "7-hello.mp4", true},
        {"7", "", "7-.mp4", true},
        {".7", "x", "_7-x.mp4", true},
        {"7", "a/b", "7-a_b.mp4", true},
        {id, desc, id + "-第一行_第二行 #话题 😀", false},
    };
    for (const auto& c : cases) {
        const std::string name = videoFileName(c.id, c.desc);
        EXPECT_LE(name.size(), kMaxNameBytes);
        EXPECT_TRUE(isValidUtf8(name)) << name;
        EXPECT_EQ(name.find('/'), std::string::npos);
        if (c.exact)
            EXPECT_EQ(name, c.expectedPrefix);
        else
            EXPECT_EQ(name.rfind(c.expectedPrefix, 0), 0u) << name;
        EXPECT_EQ(name.substr(name.size() - 4), ".mp4");
    }
    // A long description fills the name to the limit, minus at most a partial character.
    EXPECT_GT(videoFileName(id, desc).size(), kMaxNameBytes - 3);

    // An absurd id is cut as well, but the name still ends in ".mp4" and stays one component.
    const std::string hugeId(400, '9');
    const std::string name = videoFileName(hugeId, "x");
    EXPECT_LE(name.size(), kMaxNameBytes);
    EXPECT_EQ(name.substr(name.size() - 4), ".mp4");
}

}  // namespace
}  // namespace vigilo
