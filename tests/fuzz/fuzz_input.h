#pragma once
// Helpers shared by the fuzz targets: slicing one input into several texts and numbers, and
// checks that stop the run with a message the way a sanitizer finding does.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace vigilo::fuzz {

// Reads the input front to back; each piece takes what it needs and leaves the rest.
class Input {
public:
    Input(const uint8_t* data, size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}

    bool empty() const { return rest_.empty(); }
    std::string_view rest() const { return rest_; }

    // One byte, 0 when the input is used up.
    uint8_t byte() {
        if (rest_.empty()) return 0;
        const auto b = static_cast<uint8_t>(rest_.front());
        rest_.remove_prefix(1);
        return b;
    }

    // Up to the next `separator` (consumed), or everything left.
    std::string_view upTo(char separator) {
        const size_t at = rest_.find(separator);
        const std::string_view piece = rest_.substr(0, at);
        rest_.remove_prefix(at == std::string_view::npos ? rest_.size() : at + 1);
        return piece;
    }

private:
    std::string_view rest_;
};

// Every piece between `separator`s, the last one included even when empty.
inline std::vector<std::string_view> splitAll(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    for (;;) {
        const size_t at = text.find(separator);
        pieces.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return pieces;
        text.remove_prefix(at + 1);
    }
}

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
inline bool validUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t n = 0;
        uint32_t cp = 0, min = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1, cp = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2, cp = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3, cp = c & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (i + n >= text.size()) return false;
        for (size_t k = 1; k <= n; ++k) {
            const auto t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n + 1;
    }
    return true;
}

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n", file, line, what);
    std::abort();
}

}  // namespace vigilo::fuzz

#define FUZZ_CHECK(cond)                                              \
    do {                                                              \
        if (!(cond)) ::vigilo::fuzz::fail(#cond, __FILE__, __LINE__); \
    } while (0)
