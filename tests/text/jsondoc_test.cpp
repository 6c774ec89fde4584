#include "text/jsondoc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vigilo {
namespace {

// Shapes as the service answers them (values invented).
constexpr std::string_view kRoomAnswer =
    R"({"data":{"room":{"id":6854151890994039560,"id_str":"6854151890994039560","status":2,)"
    R"("create_time":1619771234,"title":"晚上好","owner":{"id":6872336845759089421,)"
    R"("id_str":"6872336845759089421","short_id":12345,"nickname":"小明😀",)"
    R"("follow_info":{"follower_count":250},"own_room":{"room_ids":[6854151890994039560],)"
    R"("room_ids_str":["6854151890994039560"]}},"stream_url":{"default_resolution":"HD1",)"
    R"("rtmp_pull_url":"http://pull-flv.example/stage/stream-1.flv",)"
    R"("hls_pull_url":"http://pull-hls.example/stage/stream-1/index.m3u8",)"
    R"("flv_pull_url":{"FULL_HD1":"http://a","HD1":"http://b"},"candidate_resolution":[]}}},)"
    R"("extra":{"now":1619771300000,"logid":"20210430162820"},"status_code":0})";

constexpr std::string_view kProfileAnswer =
    R"({"status_code":0,"user_info":{"uid":"73519046218","short_id":"98765","unique_id":"",)"
    R"("nickname":"抖音用户","signature":"第一行\n第二行","aweme_count":250,"follower_count":0.5,)"
    R"("avatar_thumb":{"uri":"x","url_list":["http://1"]}},"extra":{"now":1590975065000}})";

constexpr std::string_view kPostAnswer =
    R"({"status_code":0,"aweme_list":[{"aweme_id":"6800000000000000001","desc":"今天 #话题 😀\n第二行",)"
    R"("video":{"play_addr_lowbr":{"uri":"v0200","url_list":["http://1","http://2","http://3"]},)"
    R"("duration":15000,"ratio":"540p","has_watermark":false,"bit_rate":null}}],)"
    R"("max_cursor":1590000000000,"has_more":true})";

JsonDoc parsed(std::string_view text) {
    JsonDoc doc;
    doc.parse(text);
    return doc;
}

// How the monitors read numbers: a sub-document of the path, written out.
std::string numberRead(const JsonDoc& doc, std::string_view path) { return doc.subDocument(path).toText(); }

TEST(JsonDoc, MonitorPathsOnServiceAnswers) {
    const JsonDoc room = parsed(kRoomAnswer), profile = parsed(kProfileAnswer), posts = parsed(kPostAnswer);
    struct Case {
        const JsonDoc* doc;
        std::string_view path, text;
    };
    const Case cases[] = {
        {&room, "data.room.owner.nickname", "小明😀"},
        {&room, "data.room['create_time']", "1619771234"},
        {&room, "data.room.owner['own_room']['room_ids_str'][0]", "6854151890994039560"},
        {&room, "data.room['stream_url']['default_resolution']", "HD1"},
        {&room, "data.room['stream_url']['rtmp_pull_url']", "http://pull-flv.example/stage/stream-1.flv"},
        {&room, "data.room['stream_url']['hls_pull_url']", "http://pull-hls.example/stage/stream-1/index.m3u8"},
        {&room, "data.room.owner.id", "6872336845759090000"},  // a double, as JavaScript has it
        {&room, "data.room.owner['own_room']['room_ids']", "6854151890994040000"},
        {&room, "data.room['stream_url']['candidate_resolution']", ""},
        {&profile, "['user_info'].nickname", "抖音用户"},
        {&profile, "['user_info']['short_id']", "98765"},
        {&profile, "['user_info']['aweme_count']", "250"},
        {&profile, "['user_info']['follower_count']", "0.5"},
        {&profile, "['user_info'].signature", "第一行\n第二行"},
        {&posts, "['aweme_list'][0]['aweme_id']", "6800000000000000001"},
        {&posts, "['aweme_list'][0].desc", "今天 #话题 😀\n第二行"},
        {&posts, "['aweme_list'][0].video['play_addr_lowbr']['url_list'][2]", "http://3"},
        {&posts, "['aweme_list'][0].video['play_addr_lowbr']['url_list'][3]", ""},  // 3 entries
        {&posts, "['aweme_list'][1].desc", ""},
        {&posts, "has_more", "true"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.doc->getText(c.path), c.text) << c.path;

    // Numbers read through a sub-document give the same digits.
    EXPECT_EQ(numberRead(room, "data.room['create_time']"), "1619771234");
    EXPECT_EQ(numberRead(profile, "['user_info']['aweme_count']"), "250");
    EXPECT_EQ(numberRead(profile, "['user_info']['follower_count']"), "0.5");
    EXPECT_EQ(numberRead(profile, "['user_info']['no_such_count']"), "");
    EXPECT_EQ(numberRead(posts, "['aweme_list'][0].video['bit_rate']"), "null");
}

TEST(JsonDoc, ParseOutcomes) {
    struct Case {
        std::string_view text;
        bool literal;
        bool ok;
        std::string_view toText, rootText, aText;
    };
    const Case cases[] = {
        {"", false, false, "", "", ""},  // undefined root
        {" \r\n\t", false, false, "", "", ""},
        {"", true, false, "null", "", ""},
        {"<html><body><h1>502 Bad Gateway</h1></body></html>", false, false, "null", "", ""},
        {"{\"a\":1} trailing", false, false, "null", "", ""},
        {"{\"a\":1,}", false, false, "null", "", ""},
        {"{'a':1}", false, false, "null", "", ""},
        {"null", false, false, "null", "", ""},
        {" {\"a\" : [ 1 , 2 ] } ", false, true, "{\"a\":[1,2]}", "[object Object]", "1,2"},
        {"[1,\"a\",true]", false, true, "[1,\"a\",true]", "1,a,true", ""},
        {"\"text\"", false, true, "\"text\"", "text", ""},
        {"0", false, true, "0", "0", ""},
        {"false", true, true, "false", "false", ""},
        {"{\"b\":1,\"a\":2,\"b\":3}", false, true, "{\"b\":3,\"a\":2}", "[object Object]", "2"},
        // Nested members survive being gathered and moved into their objects, repeats included.
        {R"({"a":{"p":1},"b":2,"a":{"q":[3,{"r":{}}]}})", false, true, R"({"a":{"q":[3,{"r":{}}]},"b":2})",
         "[object Object]", "[object Object]"},
        {R"({"o":{"k":1,"k":{"m":[1,{"n":2}]},"p":null},"a":[{"x":{}},{"y":[]}]})", false, true,
         R"({"o":{"k":{"m":[1,{"n":2}]},"p":null},"a":[{"x":{}},{"y":[]}]})", "[object Object]",
         "[object Object],[object Object]"},
        {"\xEF\xBB\xBF{\"a\":1}", false, true, "{\"a\":1}", "[object Object]", "1"},
        {"{\"a\":\"\xFF\"}", false, false, "null", "", ""},  // not UTF-8
    };
    for (const auto& c : cases) {
        JsonDoc doc;
        EXPECT_EQ(doc.parse(c.text, c.literal), c.ok) << c.text;
        EXPECT_EQ(doc.toText(), c.toText) << c.text;
        EXPECT_EQ(doc.getText(""), c.rootText) << c.text;
        EXPECT_EQ(doc.getText("a"), c.aText) << c.text;
    }
    // A new document is an empty object.
    EXPECT_EQ(JsonDoc().toText(), "{}");
}

TEST(JsonDoc, NumbersReadAsJavaScriptPrintsThem) {
    struct Case {
        std::string_view json, text;
    };
    const Case cases[] = {
        {"250", "250"},
        {"0.5", "0.5"},
        {"-2.5", "-2.5"},
        {"-0", "0"},
        {"1E2", "100"},
        {"0.1", "0.1"},
        {"123.456", "123.456"},
        {"1e20", "100000000000000000000"},
        {"1e21", "1e+21"},
        {"999999999999999999999", "1e+21"},
        {"123456789012345678901", "123456789012345680000"},
        {"6872336845759089421", "6872336845759090000"},
        {"0.000001", "0.000001"},
        {"0.0000012345", "0.0000012345"},
        {"1e-7", "1e-7"},
        {"-1e-7", "-1e-7"},
        {"1.5e300", "1.5e+300"},
        {"5e-324", "5e-324"},
        {"1.7976931348623157e308", "1.7976931348623157e+308"},
    };
    for (const auto& c : cases) {
        const JsonDoc doc = parsed("{\"n\":" + std::string(c.json) + "}");
        EXPECT_EQ(doc.getText("n"), c.text) << c.json;
        EXPECT_EQ(numberRead(doc, "n"), c.text) << c.json;
        EXPECT_EQ(doc.toText(), "{\"n\":" + std::string(c.text) + "}") << c.json;
    }
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(jsNumberText(std::nan("")), "NaN");
    EXPECT_EQ(jsNumberText(inf), "Infinity");
    EXPECT_EQ(jsNumberText(-inf), "-Infinity");
    JsonDoc doc;
    doc.setNumber("x", inf);  // not finite: JSON has no word for it
    EXPECT_EQ(doc.toText(), "{\"x\":null}");
    EXPECT_EQ(doc.getText("x"), "Infinity");
}

TEST(JsonDoc, PathRuleAndReadsOfEveryKind) {
    const JsonDoc doc =
        parsed(R"({"aweme_list":[],"n":null,"o":{"x":1},"arr":[1,"a",true],"mix":[null,[2,[3]],{"k":1}],)"
               R"("t":"a␀b","da":{"x":"inner"},"b":false,"num":250,"s":"12"})");
    struct Case {
        std::string_view path, text;
        bool exists;
        int type;
    };
    const Case cases[] = {
        {"['aweme_list'][0].desc", "", false, -1},  // a member of a missing element
        {"['aweme_list'][0]", "", false, 0},
        {"n", "", false, 0},
        {"n.x", "", false, -1},
        {"o", "[object Object]", true, 4},
        {"arr", "1,a,true", true, 5},
        {"mix", ",2,3,[object Object]", true, 5},
        {"t", "a\\b", true, 6},  // U+2400 reads back as a backslash
        {"b", "false", true, 1},
        {"num", "250", true, 2},
        {"missing", "", false, 0},
        {"missing.deeper", "", false, -1},
        {"", "[object Object]", true, 4},    // the root
        {"da", "[object Object]", true, 4},  // the document name alone is the root
        {"da.o.x", "1", true, 2},            // already absolute
        {"da['num']", "250", true, 2},
        {"da.x", "inner", true, 6},  // not reached from the root: relative
        {"['o'].x", "1", true, 2},
        {"o['x']", "1", true, 2},
        {"arr[1]", "a", true, 6},
        {"arr['2']", "true", true, 1},
        {"o[0]", "", false, 0},
        {"num.x", "", false, 0},
        {"o..x", "", false, -1},  // not a path
        {"o[x]", "", false, -1},
        {"['o'", "", false, -1},
        {".o", "", false, -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(doc.getText(c.path), c.text) << c.path;
        EXPECT_EQ(doc.exists(c.path), c.exists) << c.path;
        EXPECT_EQ(doc.typeOf(c.path), c.type) << c.path;
    }
    EXPECT_EQ(doc.getText("o", true), "{\"x\":1}");
    EXPECT_EQ(doc.getText("n", true), "null");
    EXPECT_EQ(doc.getText("missing", true), "");
    EXPECT_EQ(doc.jsonAt("arr"), "[1,\"a\",true]");
    EXPECT_EQ(doc.jsonAt("t"), "\"a\\b\"");
    EXPECT_EQ(doc.getNumber("num"), 250);
    EXPECT_EQ(doc.getNumber("s"), 12);
    EXPECT_EQ(doc.getNumber("b"), 0);
    EXPECT_EQ(doc.getNumber("missing"), 0);
    EXPECT_EQ(doc.getNumber("o"), 0);
}

TEST(JsonDoc, WriterEscapesExactlyTheListedCharacters) {
    struct Case {
        std::string_view in;   // JSON string body as parsed
        std::string_view out;  // as written back
    };
    const Case cases[] = {
        {R"(q\"b\\s\/)", R"(q\"b\\s/)"},
        {R"(\b\f\n\r\t)", R"(\b\f\n\r\t)"},
        {R"(\u0000\u0001\u001f)", R"(\u0000\u0001\u001f)"},
        {R"(\u007f\u0080\u009f\u00a0)", "\\u007f\\u0080\\u009f\xC2\xA0"},
        {R"(\u00ad\u00ae)", "\\u00ad\xC2\xAE"},
        {R"(\u0600\u0604\u0605)", "\\u0600\\u0604\xD8\x85"},
        {R"(\u070f\u17b4\u17b5\u17b6)", "\\u070f\\u17b4\\u17b5\xE1\x9E\xB6"},
        {R"(\u200b\u200c\u200f\u2010)", "\xE2\x80\x8B\\u200c\\u200f\xE2\x80\x90"},
        {R"(\u2027\u2028\u202f\u2030)", "\xE2\x80\xA7\\u2028\\u202f\xE2\x80\xB0"},
        {R"(\u205f\u2060\u206f\u2070)", "\xE2\x81\x9F\\u2060\\u206f\xE2\x81\xB0"},
        {R"(\ufeff\uffef\ufff0\uffff)", "\\ufeff\xEF\xBF\xAF\\ufff0\\uffff"},
        {R"(中文 😀 \u4e2d\ud83d\ude00)", "中文 😀 中😀"},
    };
    for (const auto& c : cases) {
        const JsonDoc doc = parsed("[\"" + std::string(c.in) + "\"]");
        EXPECT_EQ(doc.toText(), "[\"" + std::string(c.out) + "\"]") << c.in;
    }
    // Member names are written the same way, in their original order.
    EXPECT_EQ(parsed(R"({"z\n":1,"a":{"\u2028":[]}})").toText(), R"({"z\n":1,"a":{"\u2028":[]}})");
}

TEST(JsonDoc, BackslashesStoredAsTextComeOutVerbatim) {
    JsonDoc doc;
    ASSERT_TRUE(doc.set("p", "C:\\dir\\new"));
    EXPECT_EQ(doc.getText("p"), "C:\\dir\\new");
    EXPECT_EQ(doc.jsonAt("p"), "\"C:\\dir\\new\"");
    EXPECT_EQ(doc.toText(), "{\"p\":\"C:\\dir\\new\"}");  // unescaped, unlike a parsed one
    ASSERT_TRUE(doc.set("q", "it's \"x\"\r\n"));
    EXPECT_EQ(doc.getText("q"), "it's \"x\"\r\n");
    // The leaf list shows what the document holds: the marker, not the backslash.
    std::vector<std::string> leaves;
    EXPECT_EQ(doc.leafValues(leaves, "", false), 2);
    EXPECT_EQ(leaves[0], "C:\u2400dir\u2400new");

    const JsonDoc parsedSlash = parsed(R"({"p":"C:\\dir"})");
    EXPECT_EQ(parsedSlash.getText("p"), "C:\\dir");
    EXPECT_EQ(parsedSlash.toText(), R"({"p":"C:\\dir"})");
}

TEST(JsonDoc, SubDocumentsCopiesAndFreshParses) {
    JsonDoc a = parsed(R"({"o":{"x":1},"n":null})");
    JsonDoc sub = a.subDocument("o");
    EXPECT_EQ(sub.toText(), "{\"x\":1}");
    sub.set("x", "changed");
    EXPECT_EQ(a.getText("o.x"), "1");  // a sub-document is its own document
    EXPECT_EQ(a.subDocument("n").toText(), "null");
    EXPECT_FALSE(a.subDocument("nothing").parse(""));

    JsonDoc b = a;  // copies share the document
    b.set("o.y", "2");
    EXPECT_EQ(a.getText("o.y"), "2");
    a.parse("[1]");  // a parse starts a new document for this holder only
    EXPECT_EQ(a.toText(), "[1]");
    EXPECT_EQ(b.getText("o.y"), "2");

    JsonDoc moved = std::move(b);
    EXPECT_EQ(moved.getText("o.x"), "1");
    b = moved;
    EXPECT_EQ(b.getText("o.x"), "1");

    EXPECT_EQ(moved.elementDocument(0, "missing").toText(), "");
    const JsonDoc arr = parsed(R"({"l":[1,"a",true,{"k":"v"}],"m":{"0":"zero"}})");
    EXPECT_EQ(arr.elementDocument(3, "l").toText(), "{\"k\":\"v\"}");
    EXPECT_EQ(arr.elementDocument(4, "l").toText(), "");
    EXPECT_EQ(arr.elementDocument(0, "m").toText(), "\"zero\"");
    EXPECT_EQ(arr.elementText(1, "l"), "a");
    EXPECT_EQ(arr.elementText(0, "l"), "");  // only text elements read without the JSON form
    EXPECT_EQ(arr.elementText(0, "l", true), "1");
    EXPECT_EQ(arr.elementText(3, "l", true), "{\"k\":\"v\"}");
    EXPECT_EQ(arr.elementText(-1, "l", true), "");
}

TEST(JsonDoc, MemberNamesCountAndLeafValues) {
    const JsonDoc doc = parsed(R"({"a":"x,y\r\nz","b":1.5,"c":{"d":"deep","e":[false]},"n":null,"f":true,"g":[1,2],)"
                               R"("m":"v[2020年7月20日20时0分0秒]w","s":"text"})");
    std::vector<std::string> out{"stale"};
    EXPECT_EQ(doc.memberNames("", out), 8);
    EXPECT_EQ(out, (std::vector<std::string>{"a", "b", "c", "n", "f", "g", "m", "s"}));
    for (std::string_view path : {"g", "s", "missing", "n"}) {
        out = {"stale"};
        EXPECT_EQ(doc.memberNames(path, out), 0) << path;
        EXPECT_TRUE(out.empty()) << path;
    }
    EXPECT_EQ(doc.count("g"), 2);
    EXPECT_EQ(doc.count("c"), 0);
    EXPECT_EQ(doc.count("s"), 0);
    EXPECT_EQ(doc.count("missing"), 0);

    out = {"stale"};
    // A value holding the joining marker comes back as two entries.
    EXPECT_EQ(doc.leafValues(out, "", false), 6);
    EXPECT_EQ(out, (std::vector<std::string>{"x,y\r\nz", "1.5", "true", "v", "w", "text"}));
    EXPECT_EQ(doc.leafValues(out, "", true), 10);
    EXPECT_EQ(out, (std::vector<std::string>{"x,y\r\nz", "1.5", "deep", "false", "true", "1", "2", "v", "w", "text"}));
    EXPECT_EQ(doc.leafValues(out, "g", false), 2);
    EXPECT_EQ(doc.leafValues(out, "s", true), 0);
    EXPECT_EQ(doc.leafValues(out, "missing", true), 0);
}

TEST(JsonDoc, SettersMergeReplaceAndFailWithoutChange) {
    JsonDoc doc = parsed(R"({"a":{"x":1,"y":"s","arr":[1],"o":{"p":1},"n":null},"l":[1,"a",true]})");
    EXPECT_TRUE(doc.set("a", R"({"y":"t","z":2,"arr":[2],"o":{"q":2},"x":3,"n":{"k":0}})", true));
    EXPECT_EQ(doc.jsonAt("a"), R"({"x":3,"y":"t","arr":[1,2],"o":{"p":1,"q":2},"n":{"k":0},"z":2})");
    EXPECT_TRUE(doc.set("l", "{\"k\":1}", true));  // not an object there: replaced
    EXPECT_EQ(doc.jsonAt("l"), "{\"k\":1}");
    EXPECT_TRUE(doc.set("e", "", true));  // empty JSON means an empty object
    EXPECT_EQ(doc.jsonAt("e"), "{}");

    const std::string before = doc.toText();
    EXPECT_FALSE(doc.set("no.such", "v"));      // missing intermediate member
    EXPECT_FALSE(doc.set("e", "{oops", true));  // not JSON
    EXPECT_FALSE(doc.set("a.x.y", "v"));        // a number takes no members
    EXPECT_FALSE(doc.setByExpression("e", "alert(1)"));
    EXPECT_FALSE(doc.setByExpression("e", ""));
    EXPECT_FALSE(doc.add("{bad", "list", true));
    EXPECT_FALSE(doc.setElement(0, "missing", "v"));
    EXPECT_FALSE(doc.removeElement(0, "a"));  // not an array
    EXPECT_FALSE(doc.remove(""));             // the root cannot be deleted
    EXPECT_FALSE(doc.remove("no.such"));
    EXPECT_FALSE(doc.set("a[", "v"));
    EXPECT_EQ(doc.toText(), before);

    EXPECT_TRUE(doc.setByExpression("e", "[1,{\"b\":2}]"));
    EXPECT_EQ(doc.jsonAt("e"), "[1,{\"b\":2}]");
    EXPECT_TRUE(doc.setNumber("a.x", 0.5));
    EXPECT_EQ(doc.getNumber("a.x"), 0.5);
    EXPECT_TRUE(doc.set("da.a.y", "via name"));  // an absolute path that reaches a value
    EXPECT_EQ(doc.getText("a.y"), "via name");
    EXPECT_TRUE(doc.set("", "[9]", true));  // an object root takes no array members
    EXPECT_EQ(doc.getText("a.y"), "via name");
    EXPECT_TRUE(doc.setByExpression("", "[]"));  // the root itself
    EXPECT_EQ(doc.toText(), "[]");
    doc.reset();
    EXPECT_EQ(doc.toText(), "{}");

    // A document whose text was empty has no root to add members to.
    JsonDoc empty;
    empty.parse("");
    EXPECT_FALSE(empty.set("a", "v"));
    EXPECT_EQ(empty.toText(), "");
    EXPECT_TRUE(empty.set("", "v"));
    EXPECT_EQ(empty.toText(), "\"v\"");
}

TEST(JsonDoc, ArrayOperations) {
    JsonDoc doc = parsed(R"({"o":{"x":1},"l":[1,"a",true]})");
    EXPECT_TRUE(doc.add("v", "list"));  // created on first use
    EXPECT_TRUE(doc.add("1", "list", true, true));
    EXPECT_TRUE(doc.add("a \"q\"", "list"));  // texts are stored as given
    // A plain text sits between single quotes unescaped: a quote or a line break would break
    // the statement, so it is refused and nothing changes.
    for (std::string_view bad : {"it's", "'", "two\r\nlines", "line\n"}) {
        EXPECT_FALSE(doc.add(bad, "list")) << bad;
        EXPECT_FALSE(doc.setElement(0, "list", bad)) << bad;
    }
    EXPECT_TRUE(doc.add("\"it's\"", "list", true));  // as JSON it is fine
    EXPECT_EQ(doc.jsonAt("list"), R"([1,"v","a \"q\"","it's"])");
    EXPECT_TRUE(doc.add("{\"k\":2}", "o", true));  // not an array: becomes one
    EXPECT_EQ(doc.jsonAt("o"), R"([{"k":2}])");

    EXPECT_TRUE(doc.setElement(1, "l", "\"z\"", true));
    EXPECT_TRUE(doc.setElement(5, "l", "x"));  // the gap reads as null
    EXPECT_EQ(doc.jsonAt("l"), R"([1,"z",true,null,null,"x"])");
    EXPECT_EQ(doc.getText("l"), "1,z,true,,,x");
    EXPECT_FALSE(doc.setElement(-1, "l", "x"));
    EXPECT_FALSE(doc.setElement(100000000, "l", "x"));  // no runaway growth
    EXPECT_TRUE(doc.removeElement(0, "l"));
    EXPECT_TRUE(doc.removeElement(-1, "l"));  // counts from the end
    EXPECT_TRUE(doc.removeElement(9, "l"));   // nothing there: no change
    EXPECT_EQ(doc.jsonAt("l"), R"(["z",true,null,null])");
    EXPECT_TRUE(doc.remove("l[0]"));  // leaves a hole
    EXPECT_EQ(doc.jsonAt("l"), R"([null,true,null,null])");
    EXPECT_EQ(doc.count("l"), 4);

    JsonDoc obj = parsed(R"({"m":{"a":1}})");
    EXPECT_TRUE(obj.setElement(0, "m", "v"));
    EXPECT_TRUE(obj.remove("m.a"));
    EXPECT_TRUE(obj.remove("m.absent"));
    EXPECT_EQ(obj.toText(), R"({"m":{"0":"v"}})");
}

TEST(JsonDoc, HostileTextsAreRefusedOrReadWithoutHarm) {
    JsonDoc doc;
    // Nested a million levels deep: invalid, not a crash.
    const size_t depth = 1000000;
    std::string deep(depth, '[');
    deep.append(depth, ']');
    EXPECT_FALSE(doc.parse(deep));
    EXPECT_EQ(doc.toText(), "null");
    std::string deepObjects;
    for (int i = 0; i < 100000; ++i) deepObjects += "{\"a\":";
    deepObjects += "1" + std::string(100000, '}');
    EXPECT_FALSE(doc.parse(deepObjects));

    // Ordinary nesting is fine, and it writes back unchanged.
    std::string nested = std::string(200, '[') + "\"x\"" + std::string(200, ']');
    ASSERT_TRUE(doc.parse(nested));
    EXPECT_EQ(doc.toText(), nested);
    EXPECT_EQ(doc.getText(""), "x");

    // A 64 MB text value.
    std::string big = "{\"a\":\"" + std::string(64u << 20, 'x') + "\",\"b\":1}";
    ASSERT_TRUE(doc.parse(big));
    EXPECT_EQ(doc.getText("a").size(), 64u << 20);
    EXPECT_EQ(doc.getText("b"), "1");
    EXPECT_EQ(doc.toText().size(), big.size());
    big.clear();
    big.shrink_to_fit();

    // Many members, many of them repeated: last value wins, in the first place.
    std::string many = "{";
    for (int i = 0; i < 200000; ++i) many += "\"k" + std::to_string(i % 1000) + "\":" + std::to_string(i) + ",";
    many += "\"end\":true}";
    ASSERT_TRUE(doc.parse(many));
    std::vector<std::string> names;
    EXPECT_EQ(doc.memberNames("", names), 1001);
    EXPECT_EQ(names.front(), "k0");
    EXPECT_EQ(doc.getText("k0"), "199000");
    EXPECT_EQ(doc.getText("k999"), "199999");
}

}  // namespace
}  // namespace vigilo

namespace vigilo {
namespace {

// A filtered parse must read exactly what a full one reads on the kept paths, build nothing
// else, and still refuse what a full parse refuses.
TEST(JsonDoc, ParseKeepingReadsTheKeptPathsAndBuildsNothingElse) {
    const std::vector<std::string_view> postPaths = {"['aweme_list'][0]['aweme_id']", "['aweme_list'][0].desc",
                                                     "['aweme_list'][0].video['play_addr_lowbr']['url_list'][2]"};
    JsonDoc full, kept;
    ASSERT_TRUE(full.parse(kPostAnswer));
    ASSERT_TRUE(kept.parseKeeping(kPostAnswer, postPaths));
    for (const auto path : postPaths) EXPECT_EQ(kept.getText(path), full.getText(path)) << path;
    EXPECT_EQ(kept.getText("has_more"), "");
    EXPECT_EQ(kept.getText("['aweme_list'][1].desc"), "");
    EXPECT_EQ(kept.count("['aweme_list']"), 1);
    EXPECT_EQ(kept.toText().find("bit_rate"), std::string::npos);

    const std::vector<std::string_view> roomPaths = {"data.room.owner.nickname",
                                                     "data.room['stream_url']['hls_pull_url']",
                                                     "data.room.owner['own_room']['room_ids_str'][0]"};
    ASSERT_TRUE(full.parse(kRoomAnswer));
    ASSERT_TRUE(kept.parseKeeping(kRoomAnswer, roomPaths));
    for (const auto path : roomPaths) EXPECT_EQ(kept.getText(path), full.getText(path)) << path;
    EXPECT_TRUE(kept.exists("data.room"));
    EXPECT_EQ(kept.getText("data.room['stream_url']['rtmp_pull_url']"), "");

    // A whole subtree is kept below a path's end.
    ASSERT_TRUE(kept.parseKeeping(R"({"a":{"b":[1,{"c":2}],"d":3},"e":4})", {"a.b"}));
    EXPECT_EQ(kept.toText(), R"({"a":{"b":[1,{"c":2}]}})");

    // A long unread array costs nothing, and a missing list counts none.
    std::string padded = R"({"pad":[)";
    for (int i = 0; i < 100000; ++i) padded += R"({"x":[1,2,3],"y":"zzzz"},)";
    padded += R"(0],"aweme_list":[]})";
    ASSERT_TRUE(kept.parseKeeping(padded, postPaths));
    EXPECT_EQ(kept.toText(), R"({"aweme_list":[]})");
    EXPECT_EQ(kept.count("['aweme_list']"), 0);

    struct Refused {
        const char* what;
        std::string text;
    } refused[] = {
        {"truncated", std::string(kPostAnswer).substr(0, std::string_view(kPostAnswer).size() / 2)},
        {"deep nesting in an unread member", R"({"pad":)" + std::string(100000, '[') + std::string(100000, ']') + "}"},
        {"not JSON", "<html></html>"},
    };
    for (const auto& r : refused) {
        EXPECT_FALSE(kept.parseKeeping(r.text, postPaths)) << r.what;
        EXPECT_EQ(kept.toText(), "null") << r.what;
    }
}

// What a parse keeps follows the paths given each time, not an earlier list that shares its
// storage, its length or its start, nor one pushed out of the readers' memory by many others.
TEST(JsonDocParseKeeping, EachListOfPathsKeepsItsOwnMembers) {
    const std::string text = R"({"a":1,"b":2,"c":3,"d":{"e":4,"f":5}})";
    JsonDoc doc;
    std::vector<std::string> owned = {"a", "d.e"};
    std::vector<std::string_view> paths(owned.begin(), owned.end());
    ASSERT_TRUE(doc.parseKeeping(text, paths));
    EXPECT_EQ(doc.toText(), R"({"a":1,"d":{"e":4}})");
    // The same vectors, rewritten in place.
    owned = {"b", "d.f"};
    paths.assign(owned.begin(), owned.end());
    ASSERT_TRUE(doc.parseKeeping(text, paths));
    EXPECT_EQ(doc.toText(), R"({"b":2,"d":{"f":5}})");
    ASSERT_TRUE(doc.parseKeeping(text, {"b", "d.f", "c"}));
    EXPECT_EQ(doc.toText(), R"({"b":2,"c":3,"d":{"f":5}})");
    ASSERT_TRUE(doc.parseKeeping(text, {"b"}));
    EXPECT_EQ(doc.toText(), R"({"b":2})");
    // Many other lists in between, then the first again.
    for (int i = 0; i < 40; ++i) {
        const std::string name = "x" + std::to_string(i);
        ASSERT_TRUE(doc.parseKeeping(R"({")" + name + R"(":7,"a":1})", {name}));
        EXPECT_EQ(doc.toText(), R"({")" + name + R"(":7})");
    }
    ASSERT_TRUE(doc.parseKeeping(text, {"a", "d.e"}));
    EXPECT_EQ(doc.toText(), R"({"a":1,"d":{"e":4}})");
}

}  // namespace
}  // namespace vigilo
