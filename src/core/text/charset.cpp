#include "text/charset.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

namespace vigilo {

namespace {

// Owns one iconv conversion descriptor.
class Iconv {
public:
    Iconv(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str())) {}
    ~Iconv() {
        if (ok()) iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    Iconv(Iconv&& other) noexcept : cd_(std::exchange(other.cd_, invalid())) {}
    Iconv& operator=(Iconv&& other) noexcept {
        if (this != &other) {
            if (ok()) iconv_close(cd_);
            cd_ = std::exchange(other.cd_, invalid());
        }
        return *this;
    }
    bool ok() const { return cd_ != invalid(); }
    iconv_t get() const { return cd_; }

private:
    static iconv_t invalid() { return reinterpret_cast<iconv_t>(-1); }
    iconv_t cd_;
};

// Runs the whole input through `cd`. A sequence the descriptor refuses is skipped `unit`
// bytes at a time and stands as `replacement` in the output; a truncated sequence at the end
// also becomes one replacement.
std::string runAll(const Iconv& cd, std::string_view in, size_t unit, std::string_view replacement) {
    std::string out;
    out.resize(in.size() + in.size() / 2 + 16);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    size_t used = 0;
    auto room = [&](size_t need) {
        if (out.size() - used < need) out.resize(out.size() * 2 + need);
    };
    bool flushing = false;  // for stateful targets, once the input is used up
    for (;;) {
        char* dst = out.data() + used;
        size_t dstLeft = out.size() - used;
        const size_t rc = flushing ? iconv(cd.get(), nullptr, nullptr, &dst, &dstLeft)
                                   : iconv(cd.get(), &src, &srcLeft, &dst, &dstLeft);
        const int err = errno;
        used = static_cast<size_t>(dst - out.data());
        if (rc != static_cast<size_t>(-1)) {
            if (flushing) break;
            flushing = srcLeft == 0;
            continue;
        }
        if (err == E2BIG) {
            room(64);
            continue;
        }
        if (flushing || (err != EILSEQ && err != EINVAL)) return {};
        room(replacement.size());
        std::copy(replacement.begin(), replacement.end(), out.begin() + static_cast<long>(used));
        used += replacement.size();
        const size_t skip = err == EINVAL ? srcLeft : std::min(unit, srcLeft);
        src += skip;
        srcLeft -= skip;
    }
    out.resize(used);
    return out;
}

// Length of the well-formed UTF-8 sequence at the front; when it is ill-formed, `valid` is
// false and the length is that of its maximal ill-formed prefix (at least one byte).
size_t utf8Sequence(std::string_view s, size_t i, bool& valid) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    valid = true;
    if (c < 0x80) return 1;
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF)
        need = 1;
    else if (c == 0xE0)
        need = 2, lo = 0xA0;
    else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF)
        need = 2;
    else if (c == 0xED)
        need = 2, hi = 0x9F;
    else if (c == 0xF0)
        need = 3, lo = 0x90;
    else if (c >= 0xF1 && c <= 0xF3)
        need = 3;
    else if (c == 0xF4)
        need = 3, hi = 0x8F;
    else {
        valid = false;
        return 1;
    }
    size_t k = 1;
    for (; k <= need; ++k) {
        if (i + k >= s.size()) break;
        const unsigned char t = byte(i + k);
        const bool inRange = k == 1 ? (t >= lo && t <= hi) : (t >= 0x80 && t <= 0xBF);
        if (!inRange) break;
    }
    if (k <= need) valid = false;
    return k <= need ? k : need + 1;
}

constexpr std::string_view kReplacementChar = "\xEF\xBF\xBD";

}  // namespace

std::string convertCharset(std::string_view bytes, std::string_view from, std::string_view to, size_t skip) {
    const std::string source = from.empty() ? "UTF-8" : std::string(from);
    const std::string target = to.empty() ? "GBK" : std::string(to);
    // Through UTF-32 so a malformed input sequence and a character the target cannot hold can
    // be told apart and each replaced on its own.
    Iconv decode("UTF-32LE", source);
    Iconv encode(target, "UTF-32LE");
    if (!decode.ok() || !encode.ok()) return {};
    if (bytes.empty()) return {};
    const std::string wide = runAll(decode, bytes, 1, std::string_view("\xFD\xFF\0\0", 4));
    const std::string question = runAll(encode, std::string_view("?\0\0\0", 4), 4, "?");
    std::string out = runAll(encode, wide, 4, question);
    if (skip >= out.size()) return {};
    return skip ? out.substr(skip) : out;
}

std::string utf8ToGbk(std::string_view utf8) { return convertCharset(utf8, "UTF-8", "GBK"); }

std::string gbkToUtf8(std::string_view gbk) { return convertCharset(gbk, "GBK", "UTF-8"); }

bool isValidUtf8(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        // Answers are mostly ASCII: eight bytes at a time while none has its top bit set.
        while (i + 8 <= bytes.size()) {
            std::uint64_t word;
            std::memcpy(&word, bytes.data() + i, sizeof word);
            if ((word & 0x8080808080808080ULL) != 0) break;
            i += 8;
        }
        if (i == bytes.size()) break;
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        bool valid;
        i += utf8Sequence(bytes, i, valid);
        if (!valid) return false;
    }
    return true;
}

std::string toValidUtf8(std::string_view bytes) {
    if (isValidUtf8(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + 16);
    for (size_t i = 0; i < bytes.size();) {
        bool valid;
        const size_t n = utf8Sequence(bytes, i, valid);
        if (valid)
            out.append(bytes.substr(i, n));
        else
            out.append(kReplacementChar);
        i += n;
    }
    return out;
}

std::string bodyToText(std::string_view body) {
    const size_t zero = body.find('\0');
    return toValidUtf8(zero == std::string_view::npos ? body : body.substr(0, zero));
}

std::string_view bodyTextView(std::string_view body, std::string& converted) {
    const size_t zero = body.find('\0');
    if (zero != std::string_view::npos) body = body.substr(0, zero);
    if (isValidUtf8(body)) return body;
    converted = toValidUtf8(body);
    return converted;
}

std::string decodeUtf8OrGbk(std::string_view bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    if (isValidUtf8(bytes)) return std::string(bytes);
    return gbkToUtf8(bytes);
}

}  // namespace vigilo
