#include "text/strings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vigilo {
namespace {

TEST(TextBetween, FindsMarkersFromStartWithQuoteStandIn) {
    struct Case {
        std::string_view text, left, right;
        long start;
        bool ignoreCase;
        std::string_view want;
    };
    const Case cases[] = {
        {"a<b>c", "<", ">", 1, false, "b"},
        {"a<b>c", "[", ">", 1, false, ""},                // left missing
        {"a<b c", "<", ">", 1, false, ""},                // right missing
        {"]a[b]", "[", "]", 1, false, "b"},               // right is searched after left
        {"x[1]y[2]", "[", "]", 5, false, "2"},            // 1-based start
        {"x[1]y[2]", "[", "]", 0, false, "1"},            // start below 1 reads as 1
        {"x[1]y[2]", "[", "]", 99, false, ""},            // start past the end
        {"k=\"v\";", "k=#引号", "#引号", 1, false, "v"},  // stand-in in both markers
        {"User-Agent: X\r\n", "user-agent:", "\r\n", 1, true, " X"},
        {"User-Agent: X\r\n", "user-agent:", "\r\n", 1, false, ""},
        {"昵称：张三；", "昵称：", "；", 1, false, "张三"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(textBetween(c.text, c.left, c.right, c.start, c.ignoreCase), c.want)
            << c.text << " / " << c.left << " / " << c.right << " from " << c.start;
}

TEST(TextBefore, ForwardAndBackwardStarts) {
    struct Case {
        std::string_view text, separator;
        long start;
        bool ignoreCase;
        std::string_view want;
    };
    const Case cases[] = {
        {"a/b/c", "/", 1, false, "a"},    {"a/b/c", "/", 3, false, "a/b"},  // from position 3
        {"a/b/c", "/", -1, false, "a/b"},                                   // from the very end
        {"a/b/c", "/", -3, false, "a"},                                     // backwards from position 3
        {"a/b/c", "/", -5, false, ""},  // backwards from position 1: nothing before it
        {"a/b/c", "/", -9, false, ""},  // before the start
        {"a/b/c", "?", 1, false, ""},     {"a/b/c", "?", -1, false, ""},   {"aXbxc", "x", 1, true, "a"},
        {"aXbxc", "x", -1, true, "aXb"},  {"aXbxc", "x", 1, false, "aXb"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(textBefore(c.text, c.separator, c.start, c.ignoreCase), c.want)
            << c.text << " / " << c.separator << " from " << c.start;
}

TEST(HeaderLine, NameAndValueTrimAsciiAndIdeographicBlanks) {
    struct Case {
        std::string_view line, name, value;
    };
    const Case cases[] = {
        {"Content-Type: text/html", "Content-Type", "text/html"},
        {"  Name\xE3\x80\x80:\xE3\x80\x80 value  ", "Name", "value"},
        {"A: b: c", "A", "b: c"},
        {"no colon here", "", ""},
        {":", "", ""},
        {"X-Empty:", "X-Empty", ""},
        {"\tTab: v", "\tTab", "v"},  // only the two blanks are trimmed
    };
    for (const auto& c : cases) {
        EXPECT_EQ(headerName(c.line), c.name) << c.line;
        EXPECT_EQ(headerValue(c.line), c.value) << c.line;
    }
    EXPECT_EQ(trimBlanks("\xE3\x80\x80 \xE3\x80\x80"), "");
}

TEST(SplitCrLf, EveryDelimiterEndsAnElement) {
    struct Case {
        std::string_view text;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {"", {}},       {"a", {"a"}},           {"a\r\nb\r\n", {"a", "b"}}, {"a\r\n\r\nb", {"a", "", "b"}},
        {"\r\n", {""}}, {"a\nb\r", {"a\nb\r"}},
    };
    for (const auto& c : cases) EXPECT_EQ(splitCrLf(c.text), c.want) << c.text;
}

TEST(ReplacePairs, AppliesEachPairInTurn) {
    EXPECT_EQ(replacePairs("a-b_c-", {{"-", "+"}, {"_", " "}}), "a+b c+");
    EXPECT_EQ(replacePairs("ab", {{"a", "b"}, {"b", "c"}}), "cc");
    EXPECT_EQ(replacePairs("aaa", {{"aa", "a"}}), "aa");
    EXPECT_EQ(replacePairs("abc", {{"", "x"}}), "abc");
}

TEST(NumberText, ThirteenSignificantDigits) {
    struct Case {
        double value;
        std::string_view want;
    };
    const Case cases[] = {
        {9.0, "9"},
        {1.5, "1.5"},
        {-2.5, "-2.5"},
        {0.0, "0"},
        {0.1 + 0.2, "0.3"},
        {123456, "123456"},
        {1234567890123456.0, "1.234567890123e+15"},
    };
    for (const auto& c : cases) EXPECT_EQ(numberText(c.value), c.want) << c.value;
}

TEST(TextToNumber, LeadingNumericPart) {
    struct Case {
        std::string_view text;
        double want;
    };
    const Case cases[] = {
        {"123", 123},
        {"  42abc", 42},
        {"-1.5e3x", -1500},
        {"abc", 0},
        {"", 0},
        {"1e", 1},
        {".5", 0.5},
        {"+7", 7},
        {"1,234", 1},
        {"-", 0},
        {"3.", 3},
        {"1e-2", 0.01},
        {"1e999", std::numeric_limits<double>::infinity()},
    };
    for (const auto& c : cases) EXPECT_EQ(textToNumber(c.text), c.want) << c.text;
}

TEST(JsNumberFromText, ReadsWholeTextLikeNumber) {
    struct Case {
        std::string_view text;
        double want;  // NaN: not a number
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {"", 0},
        {" \t\r\n", 0},
        {" 12 ", 12},
        {"0x1F", 31},
        {"0X1f", 31},
        {"1e3", 1000},
        {"-2.5", -2.5},
        {"+.5", 0.5},
        {"5.", 5},
        {"Infinity", inf},
        {"-Infinity", -inf},
        {"12abc", nan},
        {"-0x10", nan},
        {".", nan},
        {"1e", nan},
        {"0x", nan},
        {"\xE3\x80\x80"
         "5\xC2\xA0",
         5},
        {"1 2", nan},
        {"infinity", nan},
    };
    for (const auto& c : cases) {
        const double got = jsNumberFromText(c.text);
        if (std::isnan(c.want))
            EXPECT_TRUE(std::isnan(got)) << c.text << " gave " << got;
        else
            EXPECT_EQ(got, c.want) << c.text;
    }
}

TEST(AsciiHelpers, CaseAndAffixes) {
    EXPECT_EQ(toLowerAscii("AbC-中"), "abc-中");
    EXPECT_TRUE(containsNoCase("Content-TYPE: x", "content-type"));
    EXPECT_FALSE(containsNoCase("abc", "abd"));
    EXPECT_TRUE(startsWith("https://x", "https://"));
    EXPECT_FALSE(startsWith("http", "https"));
    EXPECT_TRUE(endsWith("a.mp4", ".mp4"));
}

}  // namespace
}  // namespace vigilo

namespace vigilo {
namespace {

TEST(OneLine, EveryLineBreakAndControlBecomesOneSpace) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain 文字", "plain 文字"},
        {"a\r\nb", "a b"},
        {"a\nb\rc", "a b c"},
        {std::string("a\0b", 3), "a b"},
        {"tab\there\x7f"
         "del",
         "tab here del"},
        {"\x1b[2Jclear", " [2Jclear"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(oneLine(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace vigilo

namespace vigilo {
namespace {

TEST(VisibleControls, EveryControlShownEscapedTheRestUntouched) {
    struct Case {
        const char* what;
        std::string in, out;
    } cases[] = {
        {"plain and wide text", "小鹿🦌 abc", "小鹿🦌 abc"},
        {"tab stays", "a\tb", "a\tb"},
        {"clear screen", "\x1b[2J", "\\x1B[2J"},
        {"OSC 0 title", "\x1b]0;owned\x07", "\\x1B]0;owned\\x07"},
        {"OSC 52 clipboard", "\x1b]52;c;ZXZpbA==\x1b\\", "\\x1B]52;c;ZXZpbA==\\x1B\\"},
        {"line breaks and NUL", std::string("a\r\nb\0c", 6), "a\\x0D\\x0Ab\\x00c"},
        {"DEL", "a\x7f", "a\\x7F"},
        {"C1 CSI and NEL",
         "\xc2\x9b"
         "31m\xc2\x85",
         "\\u009B31m\\u0085"},
        {"raw 8-bit CSI byte",
         "\x9b"
         "31m",
         "\\x9B31m"},
        {"cut sequence", "ok\xe4\xb8", "ok\\xE4\\xB8"},
        {"U+00A0 is no control", "\xc2\xa0", "\xc2\xa0"},
    };
    for (const auto& c : cases) EXPECT_EQ(visibleControls(c.in), c.out) << c.what;
}

TEST(CutServiceText, CutsOnACharacterBoundary) {
    EXPECT_EQ(cutServiceText("abc", 3), "abc");
    EXPECT_EQ(cutServiceText("abcd", 3), "abc");
    EXPECT_EQ(cutServiceText("a名", 3), "a");  // 名 is three bytes: it does not fit whole
    EXPECT_EQ(cutServiceText("名名", 4), "名");
    const std::string huge(20 << 20, 'n');
    EXPECT_EQ(cutServiceText(huge, kMaxNicknameBytes).size(), kMaxNicknameBytes);
}

}  // namespace
}  // namespace vigilo
