#include "text/charset.h"

#include <gtest/gtest.h>

namespace vigilo {
namespace {

using namespace std::string_literals;

TEST(ConvertCharset, DefaultsReencodeUtf8AsGbk) {
    struct Case {
        std::string input, want;
    };
    const Case cases[] = {
        {"", ""},
        {"abc 123", "abc 123"},
        {"中文", "\xD6\xD0\xCE\xC4"},
        {"\xE3\x80\x80", "\xA1\xA1"},  // the ideographic space
        {"a😀b", "a?b"},                // outside GBK: replaced, not passed through
        {"a\xFF"
         "b",
         "a?b"},              // malformed input byte
        {"a\xE4\xB8", "a?"},  // truncated at the end
        {"x\0y"s, "x\0y"s},   // bytes, not C strings
    };
    for (const auto& c : cases) EXPECT_EQ(convertCharset(c.input), c.want) << c.input;
    // No byte-order mark ahead of the text.
    EXPECT_EQ(convertCharset("中").substr(0, 2), "\xD6\xD0");
}

TEST(ConvertCharset, OtherCharsetsSkipAndFailures) {
    EXPECT_EQ(convertCharset("\xD6\xD0\xCE\xC4", "GBK", "UTF-8"), "中文");
    EXPECT_EQ(gbkToUtf8(utf8ToGbk("抖音 nickname")), "抖音 nickname");
    EXPECT_EQ(convertCharset("\xD6\xD0?", "GBK", "UTF-8"), "中?");
    EXPECT_EQ(convertCharset("a😀", "UTF-8", "UTF-8"), "a😀");
    EXPECT_EQ(convertCharset("abc", "", "UTF-8", 1), "bc");
    EXPECT_EQ(convertCharset("abc", "", "UTF-8", 3), "");
    EXPECT_EQ(convertCharset("abc", "", "UTF-8", 10), "");
    EXPECT_EQ(convertCharset("abc", "NO-SUCH-CHARSET", ""), "");
    EXPECT_EQ(convertCharset("abc", "", "NO-SUCH-CHARSET"), "");
    // A stateful target ends in its initial state.
    const std::string jis = convertCharset("中a", "", "ISO-2022-JP");
    EXPECT_EQ(convertCharset(jis, "ISO-2022-JP", "UTF-8"), "中a");
}

TEST(ValidUtf8, InvalidSequencesBecomeReplacementCharacters) {
    const std::string r = "\xEF\xBF\xBD";
    struct Case {
        std::string input, want;
    };
    const Case cases[] = {
        {"", ""},
        {"plain ascii", "plain ascii"},
        {"中文😀", "中文😀"},
        {"a\xFF"
         "b",
         "a" + r + "b"},
        {"\xC0\xAF", r + r},                  // overlong form
        {"\xED\xA0\x80", r + r + r},          // surrogate
        {"\xF4\x90\x80\x80", r + r + r + r},  // beyond U+10FFFF
        {"x\xE4\xB8", "x" + r},               // truncated: one replacement
        {"\xE4\xB8x", r + "x"},
        {"\xD6\xD0\xCE\xC4", r + r + r + r},  // GBK bytes are not UTF-8
        // Around the eight-byte steps over ASCII: a bad byte at, before and after a step's end.
        {"abcdefgh\xFF", "abcdefgh" + r},
        {"abcdefg\xFF"
         "ijklmnop",
         "abcdefg" + r + "ijklmnop"},
        {"0123456789abcdef中", "0123456789abcdef中"},
        {"0123456789abcdef\xE4\xB8", "0123456789abcdef" + r},
        {"01234567中89abcdefghij\xC0", "01234567中89abcdefghij" + r},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(toValidUtf8(c.input), c.want) << c.input;
        EXPECT_EQ(isValidUtf8(c.input), c.input == c.want) << c.input;
    }
}

TEST(BodyToText, EndsAtZeroByteAndKeepsEmoji) {
    const std::pair<std::string, std::string> cases[] = {
        {"{\"a\":\"😀\"}\0tail"s, "{\"a\":\"😀\"}"},
        {"\xFF\0"s, "\xEF\xBF\xBD"},
        {"", ""},
        {"plain", "plain"},
    };
    for (const auto& [body, want] : cases) {
        EXPECT_EQ(bodyToText(body), want);
        // The view reads the same text, from the body itself whenever it was valid.
        std::string converted;
        const std::string_view view = bodyTextView(body, converted);
        EXPECT_EQ(view, want);
        const bool inBody = view.data() >= body.data() && view.data() + view.size() <= body.data() + body.size();
        EXPECT_EQ(inBody, converted.empty()) << want;
    }
}

TEST(DecodeUtf8OrGbk, DetectsTheEncoding) {
    struct Case {
        std::string input, want;
    };
    const Case cases[] = {
        {"https://v.douyin.com/abc/\r\n", "https://v.douyin.com/abc/\r\n"},
        {"中文\r\n", "中文\r\n"},
        {"\xD6\xD0\xCE\xC4\r\n", "中文\r\n"},
        {"\xEF\xBB\xBF"
         "abc",
         "abc"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(decodeUtf8OrGbk(c.input), c.want) << c.input;
}

}  // namespace
}  // namespace vigilo
