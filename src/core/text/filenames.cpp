#include "text/filenames.h"

#include <cstdint>

#include "text/strings.h"

namespace vigilo {
namespace {

// Decodes one code point at text[i]; invalid or truncated sequences give U+FFFD and consume
// one byte, so every input maps to valid UTF-8.
char32_t decodeAt(std::string_view text, std::size_t& i) {
    char32_t cp = 0;
    const std::size_t length = utf8SequenceAt(text, i, cp);
    i += length == 0 ? 1 : length;
    return length == 0 ? 0xFFFD : cp;
}

void encode(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool unsafe(char32_t cp) { return cp == U'/' || cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F); }

}  // namespace

std::string cleanFileName(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const char32_t cp = decodeAt(text, i);
        if (unsafe(cp))
            out += '_';
        else
            encode(cp, out);
    }
    return out;
}

namespace {

std::string notDots(std::string name) {
    if (name == "." || name == "..") name.assign(name.size(), '_');
    return name;
}

}  // namespace

std::string cutUtf8(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return std::string(text);
    std::size_t end = maxBytes;
    // Step back over continuation bytes so the cut lands before a lead byte.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end));
}

std::string safeFileName(std::string_view text, std::size_t maxBytes) {
    std::string name = notDots(cutUtf8(cleanFileName(text), maxBytes));
    // A name that starts with a dot would be hidden from the user's file manager and listing.
    if (!name.empty() && name[0] == '.') name[0] = '_';
    if (name.empty()) name = std::string(kEmptyNameStandIn).substr(0, maxBytes);
    return name;
}

}  // namespace vigilo
