// Timestamps as the service sends them: ten digits of seconds, or milliseconds of any length.
#include <string>

#include "fuzz_input.h"
#include "text/timefmt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (int clockStyle = 0; clockStyle <= 2; ++clockStyle) {
        const std::string shown = vigilo::formatTimestamp(text, clockStyle);
        // "yyyy-MM-dd hh:mm:ss", with a longer or signed year far from now.
        FUZZ_CHECK(shown.empty() || (shown.size() >= 19 && shown.size() <= 40));
        if (shown.size() == 19) FUZZ_CHECK(shown[4] == '-' && shown[7] == '-' && shown[10] == ' ' && shown[13] == ':');
    }
    return 0;
}
