// JsonDoc: a document parsed from the input, then a run of operations on paths taken from the
// input. Layout: JSON text, then operations each introduced by a NUL byte: one byte that picks
// the operation, the path, and for the writing operations "\x01" and the value.
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "text/jsondoc.h"

namespace {

using vigilo::JsonDoc;

// Where a text can hold the stand-in for a stored backslash, reading it back gives a backslash,
// so a text read out is compared with what went in only when neither holds one.
bool plain(std::string_view s) {
    return s.find("\xE2\x90\x80") == std::string_view::npos && s.find('\\') == std::string_view::npos;
}

// Properties every document keeps, whatever was done to it.
void checkDocument(const JsonDoc& doc) {
    const std::string text = doc.toText();
    // Texts and names are written as the bytes they are, so one given as something other than
    // UTF-8 (only the program's own set and add can bring one in; parsed text is always UTF-8)
    // makes text that no parser takes back.
    if (text.empty() || !plain(text) || !vigilo::fuzz::validUtf8(text)) return;
    // Written text reads back as the same document.
    JsonDoc again;
    again.parse(text);
    FUZZ_CHECK(again.toText() == text);
}

void checkPath(const JsonDoc& doc, std::string_view path) {
    const int type = doc.typeOf(path);
    const bool exists = doc.exists(path);
    FUZZ_CHECK(type >= -1 && type <= 6);
    FUZZ_CHECK(exists == (type > 0));
    const std::string json = doc.getText(path, true);
    FUZZ_CHECK(exists ? !json.empty() && json != "null" : (json.empty() || json == "null"));
    // The sub-document holds the same value as the path's JSON form.
    FUZZ_CHECK(doc.subDocument(path).toText() == json);
    std::vector<std::string> names;
    const int members = doc.memberNames(path, names);
    FUZZ_CHECK(members == static_cast<int>(names.size()));
    FUZZ_CHECK(members == 0 || type == 4);
    FUZZ_CHECK(doc.count(path) == 0 || type == 5);
    (void)doc.getText(path);
    (void)doc.getNumber(path);
    (void)doc.jsonAt(path);
    std::vector<std::string> leaves;
    (void)doc.leafValues(leaves, path, true);
    (void)doc.leafValues(leaves, path, false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vigilo::fuzz::Input in(data, size);
    JsonDoc doc;
    const std::string_view json = in.upTo('\0');
    // Both ways of reading the text (as an expression and as a literal), picked by its length.
    doc.parse(json, (json.size() & 1) != 0);
    checkDocument(doc);
    const JsonDoc before = doc;  // shares the document until the next parse

    // A bounded number of operations, so one input cannot grow the document without end.
    for (int op = 0; op < 48 && !in.empty(); ++op) {
        const uint8_t code = in.byte();
        const std::string_view item = in.upTo('\0');
        const size_t cut = item.find('\x01');
        const std::string_view path = item.substr(0, cut);
        const std::string_view value = cut == std::string_view::npos ? std::string_view() : item.substr(cut + 1);
        const int index = static_cast<int>(static_cast<int8_t>(code)) / 4;
        switch (code % 16) {
            case 0:
            case 1: checkPath(doc, path); break;
            case 2:
                if (doc.set(path, value) && plain(value) && plain(path)) FUZZ_CHECK(doc.getText(path) == value);
                break;
            case 3: doc.set(path, value, true); break;
            case 4: doc.setByExpression(path, value); break;
            case 5: doc.add(value, path, (code & 0x20) != 0, (code & 0x40) != 0); break;
            case 6:
                (void)doc.elementText(index, path, (code & 0x20) != 0);
                (void)doc.elementDocument(index, path).toText();
                break;
            case 7: doc.setElement(index, path, value, (code & 0x20) != 0); break;
            case 8: doc.removeElement(index, path); break;
            case 9: doc.remove(path); break;
            case 10: doc.setNumber(path, static_cast<double>(index) / 3.0); break;
            case 11: {
                // A sub-document is a copy: writing to it leaves the document as it was.
                const std::string whole = doc.toText();
                JsonDoc sub = doc.subDocument(path);
                checkDocument(sub);
                sub.set(value, "x");
                sub.add("y", value);
                FUZZ_CHECK(doc.toText() == whole);
                break;
            }
            case 12: doc.parse(value, (code & 0x20) != 0); break;
            case 13: doc.reset(); break;
            default: checkPath(doc, path); break;
        }
    }
    checkDocument(doc);
    checkDocument(before);
    return 0;
}
