// Timestamps as the service sends them: ten digits of seconds, or milliseconds of any length.
#include <string>

#include "fuzz_input.h"
#include "text/timefmt.h"

namespace {

bool digits(std::string_view s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos; }

// "Y-MM-dd hh:mm:ss": the year as many digits as it has (the milliseconds path writes it the
// way JavaScript's Date does, unpadded and signed), the rest two digits each.
bool dateTimeShape(std::string_view s) {
    if (s.size() < 16 || s.size() > 40) return false;
    const std::string_view tail = s.substr(s.size() - 15);
    std::string_view year = s.substr(0, s.size() - 15);
    if (year.starts_with('-')) year.remove_prefix(1);
    return digits(year) && tail[0] == '-' && digits(tail.substr(1, 2)) && tail[3] == '-' && digits(tail.substr(4, 2)) &&
           tail[6] == ' ' && digits(tail.substr(7, 2)) && tail[9] == ':' && digits(tail.substr(10, 2)) &&
           tail[12] == ':' && digits(tail.substr(13, 2));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto clock :
         {vigilo::ClockStyle::Locale, vigilo::ClockStyle::TwelveHour, vigilo::ClockStyle::TwentyFourHour}) {
        const std::string shown = vigilo::formatTimestamp(text, clock);
        FUZZ_CHECK(shown.empty() || dateTimeShape(shown));
    }
    return 0;
}
