#include "text/strings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace vigilo {

namespace {

constexpr std::string_view kQuoteStandIn = "#引号";
constexpr std::string_view kIdeographicSpace = "\xE3\x80\x80";  // U+3000

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string expandQuote(std::string_view marker) {
    std::string out(marker);
    for (size_t at = out.find(kQuoteStandIn); at != std::string::npos; at = out.find(kQuoteStandIn, at + 1))
        out.replace(at, kQuoteStandIn.size(), "\"");
    return out;
}

// Forward search from a 0-based offset; ASCII letters fold when asked (UTF-8 lead and trail
// bytes are all >= 0x80, so folding never joins parts of different characters).
size_t findFrom(std::string_view text, std::string_view needle, size_t from, bool ignoreCase) {
    if (from > text.size()) return std::string_view::npos;
    if (!ignoreCase) return text.find(needle, from);
    if (needle.empty()) return from;
    for (size_t i = from; i + needle.size() <= text.size(); ++i) {
        size_t k = 0;
        while (k < needle.size() && lowerAscii(text[i + k]) == lowerAscii(needle[k])) ++k;
        if (k == needle.size()) return i;
    }
    return std::string_view::npos;
}

// Last occurrence starting at or before the 0-based offset `at`.
size_t findBackFrom(std::string_view text, std::string_view needle, size_t at, bool ignoreCase) {
    if (needle.size() > text.size()) return std::string_view::npos;
    size_t i = std::min(at, text.size() - needle.size());
    if (!ignoreCase) return text.rfind(needle, i);
    for (;; --i) {
        size_t k = 0;
        while (k < needle.size() && lowerAscii(text[i + k]) == lowerAscii(needle[k])) ++k;
        if (k == needle.size()) return i;
        if (i == 0) break;
    }
    return std::string_view::npos;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string textBetween(std::string_view text, std::string_view left, std::string_view right, long start,
                        bool ignoreCase) {
    const std::string l = expandQuote(left), r = expandQuote(right);
    const size_t from = start > 1 ? static_cast<size_t>(start - 1) : 0;
    const size_t a = findFrom(text, l, from, ignoreCase);
    if (a == std::string_view::npos) return {};
    const size_t begin = a + l.size();
    const size_t b = findFrom(text, r, begin, ignoreCase);
    if (b == std::string_view::npos) return {};
    return std::string(text.substr(begin, b - begin));
}

std::string textBefore(std::string_view text, std::string_view separator, long start, bool ignoreCase) {
    size_t at;
    if (start < 0) {
        // -n searches backwards from the 1-based position length - n + 1.
        const long from = static_cast<long>(text.size()) + start;  // 0-based
        if (from < 0) return {};
        at = findBackFrom(text, separator, static_cast<size_t>(from), ignoreCase);
    } else {
        at = findFrom(text, separator, start > 1 ? static_cast<size_t>(start - 1) : 0, ignoreCase);
    }
    if (at == std::string_view::npos) return {};
    return std::string(text.substr(0, at));
}

std::string trimBlanks(std::string_view text) {
    for (;;) {
        if (!text.empty() && text.front() == ' ')
            text.remove_prefix(1);
        else if (text.starts_with(kIdeographicSpace))
            text.remove_prefix(kIdeographicSpace.size());
        else
            break;
    }
    for (;;) {
        if (!text.empty() && text.back() == ' ')
            text.remove_suffix(1);
        else if (text.ends_with(kIdeographicSpace))
            text.remove_suffix(kIdeographicSpace.size());
        else
            break;
    }
    return std::string(text);
}

std::string headerName(std::string_view line) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return {};
    return trimBlanks(line.substr(0, colon));
}

std::string headerValue(std::string_view line) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return {};
    return trimBlanks(line.substr(colon + 1));
}

std::string replacePairs(std::string text, const std::vector<std::pair<std::string_view, std::string_view>>& pairs) {
    for (const auto& [find, repl] : pairs) {
        if (find.empty()) continue;
        std::string out;
        size_t pos = 0;
        for (size_t at = text.find(find); at != std::string::npos; at = text.find(find, pos)) {
            out.append(text, pos, at - pos);
            out.append(repl);
            pos = at + find.size();
        }
        if (pos == 0) continue;
        out.append(text, pos, std::string::npos);
        text = std::move(out);
    }
    return text;
}

std::vector<std::string> splitCrLf(std::string_view text) {
    std::vector<std::string> out;
    size_t pos = 0;
    for (size_t at = text.find("\r\n"); at != std::string_view::npos; at = text.find("\r\n", pos)) {
        out.emplace_back(text.substr(pos, at - pos));
        pos = at + 2;
    }
    if (pos < text.size()) out.emplace_back(text.substr(pos));
    return out;
}

std::string numberText(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.13g", value);
    return buf;
}

double textToNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const size_t begin = i;
    size_t digits = 0;
    while (i < text.size() && isDigit(text[i])) ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && isDigit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t k = i + 1;
        if (k < text.size() && (text[k] == '+' || text[k] == '-')) ++k;
        if (k < text.size() && isDigit(text[k])) {
            while (k < text.size() && isDigit(text[k])) ++k;
            i = k;
        }
    }
    double value = 0;
    const auto res = std::from_chars(text.data() + begin, text.data() + i, value);
    if (res.ec == std::errc::result_out_of_range) {
        // Keep what strtod gives: overflow to infinity, underflow to zero.
        const bool tiny = text.substr(begin, i - begin).find("e-") != std::string_view::npos ||
                          text.substr(begin, i - begin).find("E-") != std::string_view::npos;
        value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (res.ec != std::errc()) {
        return 0;
    }
    return negative ? -value : value;
}

namespace {

// Length of a JavaScript white-space or line-terminator character at the front, 0 if none.
size_t jsSpaceAt(std::string_view s) {
    if (s.empty()) return 0;
    const unsigned char c = static_cast<unsigned char>(s[0]);
    if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
    if (c < 0x80) return 0;
    static constexpr std::string_view kSpaces[] = {"\xC2\xA0",     "\xEF\xBB\xBF", "\xE1\x9A\x80", "\xE2\x80\xA8",
                                                   "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
    for (auto sp : kSpaces)
        if (s.starts_with(sp)) return sp.size();
    // U+2000 .. U+200A
    if (s.size() >= 3 && c == 0xE2 && static_cast<unsigned char>(s[1]) == 0x80 &&
        static_cast<unsigned char>(s[2]) >= 0x80 && static_cast<unsigned char>(s[2]) <= 0x8A)
        return 3;
    return 0;
}

size_t jsSpaceBefore(std::string_view s) {
    for (size_t len = 1; len <= 3 && len <= s.size(); ++len) {
        const std::string_view tail = s.substr(s.size() - len);
        if (jsSpaceAt(tail) == len) return len;
    }
    return 0;
}

}  // namespace

std::string_view trimJsSpace(std::string_view text) {
    while (size_t n = jsSpaceAt(text)) text.remove_prefix(n);
    while (size_t n = jsSpaceBefore(text)) text.remove_suffix(n);
    return text;
}

double jsNumberFromText(std::string_view text) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    text = trimJsSpace(text);
    if (text.empty()) return 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        double value = 0;
        for (char c : text.substr(2)) {
            int d;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            else
                return kNaN;
            value = value * 16 + d;
        }
        return value;
    }
    bool negative = false;
    std::string_view body = text;
    if (body[0] == '+' || body[0] == '-') {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (body == "Infinity") return negative ? -kInf : kInf;
    // Decimal literal: digits [. digits] | . digits, then an optional exponent; nothing else.
    size_t i = 0, digits = 0;
    while (i < body.size() && isDigit(body[i])) ++i, ++digits;
    if (i < body.size() && body[i] == '.') {
        ++i;
        while (i < body.size() && isDigit(body[i])) ++i, ++digits;
    }
    if (digits == 0) return kNaN;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        ++i;
        if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
        size_t expDigits = 0;
        while (i < body.size() && isDigit(body[i])) ++i, ++expDigits;
        if (expDigits == 0) return kNaN;
    }
    if (i != body.size()) return kNaN;
    const double value = textToNumber(body);
    return negative ? -value : value;
}

std::string toLowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = lowerAscii(c);
    return out;
}

bool containsNoCase(std::string_view haystack, std::string_view needle) {
    return findFrom(haystack, needle, 0, true) != std::string_view::npos;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }

bool endsWith(std::string_view text, std::string_view suffix) { return text.ends_with(suffix); }

std::string oneLine(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        out += (c < 0x20 || c == 0x7F) ? ' ' : text[i];
    }
    return out;
}

std::size_t utf8SequenceAt(std::string_view text, std::size_t i, char32_t& cp) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t length = 0;
    char32_t minimum = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2, cp = b0 & 0x1F, minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3, cp = b0 & 0x0F, minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4, cp = b0 & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(text[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return length;
}

namespace {

void appendHex(std::string& out, const char* prefix, unsigned value, int digits) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += prefix;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 15];
}

}  // namespace

std::string visibleControls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        const std::size_t length = utf8SequenceAt(text, i, cp);
        if (length == 0) {
            appendHex(out, "\\x", static_cast<unsigned char>(text[i]), 2);
            ++i;
            continue;
        }
        if ((cp < 0x20 && cp != '\t') || cp == 0x7F) {
            appendHex(out, "\\x", static_cast<unsigned>(cp), 2);
        } else if (cp >= 0x80 && cp <= 0x9F) {
            appendHex(out, "\\u", static_cast<unsigned>(cp), 4);
        } else {
            out.append(text.substr(i, length));
        }
        i += length;
    }
    return out;
}

std::string cutServiceText(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return std::string(text);
    std::size_t end = maxBytes;
    // Back over continuation bytes, so the cut never splits a character.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end));
}

}  // namespace vigilo
