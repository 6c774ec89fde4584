#include "text/regex.h"

#include <gtest/gtest.h>

#include "text/charset.h"

namespace vigilo {
namespace {

using namespace std::string_literals;

constexpr std::string_view kMetaPattern = "<meta.+?charset=[^\\w]?([-\\w]+)";

TEST(RegexMatcher, MetaCharsetPatternFindsTheDeclaredCharset) {
    struct Case {
        std::string subject;
        std::string_view want;
    };
    const Case cases[] = {
        {"<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=gb2312\">"
         "</head><body>x</body></html>",
         "gb2312"},
        {"<head>\n<meta charset=\"utf-8\">\n<title>t</title>", "utf-8"},
        {"<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; CHARSET=GBK\">", "GBK"},
        {"<html><head><title>no charset</title></head></html>", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        RegexMatcher m;
        EXPECT_TRUE(m.execute(kMetaPattern, c.subject)) << c.subject;
        EXPECT_EQ(m.subMatch(1, 1), c.want) << c.subject;
        EXPECT_EQ(m.subMatch(2, 1), "") << c.subject;  // there is at most one match
    }
}

TEST(RegexMatcher, OptionsMatchesAndGroups) {
    RegexMatcher m;
    EXPECT_EQ(m.pattern(), "");
    EXPECT_EQ(m.subMatch(1, 1), "");
    EXPECT_EQ(m.replace("x"), "");

    ASSERT_TRUE(m.execute("\\d+", "a1b22c333"));
    EXPECT_EQ(m.matchCount(), 3);
    long pos = 0;
    EXPECT_EQ(m.matchText(2, &pos), "22");
    EXPECT_EQ(pos, 3);
    EXPECT_EQ(m.matchText(4, &pos), "");
    EXPECT_EQ(pos, -2);
    EXPECT_EQ(m.groupCount(), 0);

    ASSERT_TRUE(m.execute("\\d+", "a1b22c333", false, true, false));  // not global
    EXPECT_EQ(m.matchCount(), 1);

    EXPECT_TRUE(m.execute("^b$", "a\nb\nc"));  // multiline by default
    EXPECT_EQ(m.matchCount(), 1);
    EXPECT_TRUE(m.execute("^b$", "a\nb\nc", false, false));
    EXPECT_EQ(m.matchCount(), 0);

    EXPECT_TRUE(m.execute("ABC", "xabc", true));  // case-sensitive
    EXPECT_EQ(m.matchCount(), 0);
    EXPECT_TRUE(m.execute("ABC", "xabc"));
    EXPECT_EQ(m.matchCount(), 1);

    ASSERT_TRUE(m.execute("x(a)(b)?(c)", "xac xabc"));
    EXPECT_EQ(m.groupCount(), 3);
    EXPECT_EQ(m.subMatch(1, 1, &pos), "a");
    EXPECT_EQ(pos, 1);
    EXPECT_EQ(m.subMatch(1, 2, &pos), "");  // did not take part
    EXPECT_EQ(pos, -2);
    EXPECT_EQ(m.subMatch(2, 2, &pos), "b");
    EXPECT_EQ(pos, 6);
    EXPECT_EQ(m.subMatch(1, 4), "");
    EXPECT_EQ(m.subMatch(0, 1), "");

    ASSERT_TRUE(m.execute("a(a)", "xaa"));  // the group's own offset, not the first "a"
    EXPECT_EQ(m.subMatch(1, 1, &pos), "a");
    EXPECT_EQ(pos, 2);
}

TEST(RegexMatcher, QuoteMarkerReplaceAndInvalidPatterns) {
    RegexMatcher m;
    ASSERT_TRUE(m.execute("href=#引号([^#引号]*)#引号", "<a href=\"/x?y\">", false, true, true, true));
    EXPECT_EQ(m.pattern(), "href=\"([^\"]*)\"");
    EXPECT_EQ(m.subMatch(1, 1), "/x?y");
    ASSERT_TRUE(m.execute("href=#引号([^#引号]*)#引号", "<a href=\"/x?y\">"));
    EXPECT_EQ(m.matchCount(), 0);

    ASSERT_TRUE(m.execute("(\\w+)@(\\w+)", "x@y, z@w"));
    EXPECT_EQ(m.replace("$2 at $1"), "y at x, w at z");
    ASSERT_TRUE(m.execute("(\\w+)@(\\w+)", "x@y, z@w", false, true, false));
    EXPECT_EQ(m.replace("[$&]"), "[x@y], z@w");

    EXPECT_FALSE(m.execute("([a-", "abc"));
    EXPECT_EQ(m.matchCount(), 0);
    EXPECT_EQ(m.subMatch(1, 1), "");
    EXPECT_EQ(m.replace("x"), "");
}

TEST(RegexMatcher, LongSubjectsAreBoundedNotFatal) {
    // Right at the limit the pattern runs to the end of the subject without exhausting the
    // stack; past it the matcher refuses instead.
    const std::string tail = "charset=gbk\">";
    std::string subject = "<meta content=\"";
    subject += std::string(RegexMatcher::kMaxSubject - subject.size() - tail.size(), 'x');
    subject += tail;
    ASSERT_EQ(subject.size(), RegexMatcher::kMaxSubject);
    RegexMatcher m;
    EXPECT_TRUE(m.execute(kMetaPattern, subject));
    EXPECT_EQ(m.subMatch(1, 1), "gbk");
    EXPECT_FALSE(m.execute(kMetaPattern, subject + "x"));
    EXPECT_EQ(m.subMatch(1, 1), "");
    EXPECT_FALSE(m.execute(kMetaPattern, std::string(1 << 20, '<')));
}

TEST(UrlEncode, ModesOverBytes) {
    struct Case {
        std::string bytes;
        std::string_view mode0, mode1;
    };
    const Case cases[] = {
        {utf8ToGbk("a b_(中)"), "a+b%5F%28%D6%D0%29", "a+b%5F(%D6%D0)"},
        {"~*'", "%7E%2A%27", "%7E*'"},
        {"-.09AZaz", "-.09AZaz", "-.09AZaz"},
        {"\0x\0"s, "x", "x"},
        {"\xFF/?&=", "%FF%2F%3F%26%3D", "%FF%2F%3F%26%3D"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(urlEncode(c.bytes, UrlEncoding::Strict), c.mode0) << c.bytes;
        EXPECT_EQ(urlEncode(c.bytes, UrlEncoding::KeepQuotesAndParens), c.mode1) << c.bytes;
    }
}

TEST(FieldList, HeaderTextLines) {
    FieldList f;
    EXPECT_EQ(f.headerText(), "");
    f.add("A", "1");
    f.add("B", "2");
    EXPECT_EQ(f.headerText(), "A: 1\r\nB: 2");

    const std::string agent =
        "Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
        "Chrome/38.0.2125.122 Safari/537.36 SE 2.X MetaSr 1.0";
    FieldList ua;
    ua.add("User-Agent", agent);
    EXPECT_EQ(ua.headerText(), "User-Agent: " + agent);

    // Encoded values use the GBK bytes, or the UTF-8 bytes for pairs added as UTF-8.
    FieldList enc;
    enc.add("X", "中 文(1)");
    enc.add("Y", "中 文(1)", true);
    EXPECT_EQ(enc.headerText(true), "X: %D6%D0+%CE%C4(1)\r\nY: %E4%B8%AD+%E6%96%87(1)");
}

TEST(FieldList, ListOperationsAndForms) {
    FieldList f;
    f.parseQuery("a=1&b=x=y&c&&d=&a=2");
    EXPECT_EQ(f.names(), (std::vector<std::string>{"a", "b", "c", "d", "a"}));
    EXPECT_EQ(f.values(), (std::vector<std::string>{"1", "x=y", "", "", "2"}));
    EXPECT_EQ(f.get("a"), "1");  // first pair wins
    EXPECT_EQ(f.get("A"), "");   // names compare exactly
    f.set("a", "3");
    f.set("e", "5");
    EXPECT_EQ(f.formText(), "a=3&b=x=y&c=&d=&a=2&e=5");
    f.remove("a");
    EXPECT_EQ(f.formText(), "b=x=y&c=&d=&a=2&e=5");
    f.clear();
    EXPECT_EQ(f.formText(), "");
    EXPECT_EQ(f.jsonText(), "{}");

    f.add("名", "v(1)~ *");
    EXPECT_EQ(f.formText(true), "%C3%FB=v(1)%7E+*");
}

TEST(FieldList, JsonTextEscapesQuotesInValuesOnly) {
    FieldList f;
    f.add("k", "say \"hi\" \"now\"");
    EXPECT_EQ(f.jsonText(), "{\"k\":\"say \\\"hi\\\" \\\"now\\\"\"}");
    f.add("n\"", "v\\");
    EXPECT_EQ(f.jsonText(), "{\"k\":\"say \\\"hi\\\" \\\"now\\\"\",\"n\"\":\"v\\\"}");
}

}  // namespace
}  // namespace vigilo
