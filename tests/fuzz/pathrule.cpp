// The path rule: fixed documents shaped like the service's answers, read and written through a
// path taken from the input. The first byte picks the document; the rest is the path.
#include <array>
#include <string>

#include "fuzz_input.h"
#include "text/jsondoc.h"

namespace {

using vigilo::JsonDoc;

constexpr std::array<std::string_view, 7> kDocuments = {
    R"({"status_code":0,"user_info":{"uid":"73519046218","short_id":"1020304050","unique_id":"",)"
    R"("nickname":"小鹿🦌","signature":"第一行\n第二行","sec_uid":"MS4wLjABAAAAx9HbQz3_vJ0k",)"
    R"("aweme_count":42,"follower_count":1234567,"avatar_thumb":{"uri":"u","url_list":["a","b"]}},)"
    R"("extra":{"now":1590975065123,"logid":"2020060109311001015"}})",
    R"({"status_code":0,"has_more":true,"max_cursor":1590975065000,"aweme_list":[{"aweme_id":)"
    R"("6872336845759089421","desc":"#标签 一段\n描述","video":{"play_addr_lowbr":{"uri":"v0200f",)"
    R"("url_list":["http://a/1","http://a/2","http://a/3","http://a/4"]},"duration":15023,"bit_rate":null}}]})",
    R"({"data":{"room":{"id":6854151890994039560,"id_str":"6854151890994039560","status":2,)"
    R"("create_time":1590975065,"owner":{"id_str":"9","nickname":"主播","own_room":{"room_ids":[1],)"
    R"("room_ids_str":["1"]}},"stream_url":{"default_resolution":"HD1","rtmp_pull_url":)"
    R"("http://pull/x.flv","hls_pull_url":"http://pull/x.m3u8","hls_pull_url_map":{}}}},"status_code":0})",
    R"({"da":{"da":[0,{"x":"inner"}],"x":"da.x"},"x":"root.x","0":"zero",)"
    R"("":"empty name","a b":[null,[true,false]]})",
    R"([["nested",[1,2,[3]]],{"k":"v"},null,"text",7.5])",
    R"("just text")",
    R"()",
};

void checkRead(const JsonDoc& doc, std::string_view path) {
    const int type = doc.typeOf(path);
    const bool exists = doc.exists(path);
    FUZZ_CHECK(exists == (type > 0));
    const std::string json = doc.getText(path, true);
    FUZZ_CHECK(doc.subDocument(path).toText() == json);
    FUZZ_CHECK(doc.jsonAt(path) == json);
    // The document's own name in front of a bracketed path reaches the same value when the
    // bracketed path reaches one.
    if (exists && path.starts_with('[')) {
        const std::string absolute = "da" + std::string(path);
        FUZZ_CHECK(doc.getText(absolute, true) == json);
        FUZZ_CHECK(doc.typeOf(absolute) == type);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vigilo::fuzz::Input in(data, size);
    const uint8_t pick = in.byte();
    const std::string_view path = in.rest();
    JsonDoc doc;
    doc.parse(kDocuments[pick % kDocuments.size()]);
    checkRead(doc, path);

    // A text written through the path reads back through it.
    if (doc.set(path, "written")) {
        FUZZ_CHECK(doc.getText(path) == "written");
        FUZZ_CHECK(doc.exists(path));
    }
    checkRead(doc, path);
    if (doc.setNumber(path, 12.5)) FUZZ_CHECK(doc.getText(path) == "12.5");
    if (doc.add("item", path)) FUZZ_CHECK(doc.typeOf(path) == 5);
    if (doc.remove(path)) checkRead(doc, path);

    // Written out, the changed document reads back the same (unless a member name made from the
    // path holds the stand-in of a stored backslash, which is written as a bare backslash).
    const std::string text = doc.toText();
    if (!text.empty() && path.find("\xE2\x90\x80") == std::string_view::npos && vigilo::fuzz::validUtf8(text)) {
        JsonDoc again;
        again.parse(text);
        FUZZ_CHECK(again.toText() == text);
    }
    return 0;
}
