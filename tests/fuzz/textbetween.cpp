// textBetween and textBefore with any text, markers, start position and case choice. Layout:
// four bytes of start position (little-endian, signed), one byte of flags, then the text, the
// left marker and the right marker separated by NUL bytes.
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "text/strings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vigilo::fuzz::Input in(data, size);
    uint32_t raw = 0;
    for (int i = 0; i < 4; ++i) raw |= static_cast<uint32_t>(in.byte()) << (8 * i);
    int32_t signedStart = 0;
    std::memcpy(&signedStart, &raw, sizeof signedStart);
    const long start = signedStart;
    const uint8_t flags = in.byte();
    const bool ignoreCase = (flags & 1) != 0;
    const std::string_view text = in.upTo('\0');
    const std::string_view left = in.upTo('\0');
    const std::string_view right = in.rest();

    // Whatever is found is a piece of the text.
    const std::string between = vigilo::textBetween(text, left, right, start, ignoreCase);
    FUZZ_CHECK(between.empty() || text.find(between) != std::string_view::npos);
    const std::string before = vigilo::textBefore(text, left, start, ignoreCase);
    FUZZ_CHECK(text.starts_with(before));
    // Without a stand-in for the quote and with case kept, the markers are the plain texts.
    if (!ignoreCase && left.find("#") == std::string_view::npos && right.find("#") == std::string_view::npos &&
        start == 1 && !between.empty()) {
        const size_t at = text.find(left);
        FUZZ_CHECK(at != std::string_view::npos);
        FUZZ_CHECK(text.substr(at + left.size()).starts_with(between));
        FUZZ_CHECK(text.substr(at + left.size() + between.size()).starts_with(right));
    }
    return 0;
}
