#include "live/progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "text/strings.h"

namespace vigilo {

std::string recorderOutputName(std::string_view text) {
    // A split recording's output is the segment muxer's.
    std::string name = textBetween(text, "Output #1, mp4, to '", "':");
    if (name.empty()) name = textBetween(text, "Output #1, segment, to '", "':");
    return name;
}

std::string megabyteText(std::string_view sizeText) {
    double kilobytes = 0;
    for (char c : sizeText) {
        if (c < '0' || c > '9') break;
        kilobytes = kilobytes * 10 + (c - '0');
    }
    // k * 100 / 1024 has at most ten binary fraction digits, so the halves that the rounding
    // has to see are exact.
    const double hundredths = std::round(kilobytes * 100.0 / 1024.0);
    return numberText(hundredths / 100.0) + "MB";
}

std::string durationText(std::string_view timeText) {
    const std::string_view hours = timeText.substr(0, timeText.find(':'));
    const bool wholeHours =
        hours.size() < timeText.size() && hours.find_first_of("123456789") != std::string_view::npos;
    if (wholeHours) return std::string(timeText);
    return replacePairs(std::string(timeText), {{"00:", ""}});
}

std::string durationOfSeconds(double seconds) {
    if (!(seconds > 0)) seconds = 0;
    const auto hundredths = static_cast<long long>(std::min(seconds, 1e9) * 100);
    char text[48];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%02lld", hundredths / 360000, hundredths / 6000 % 60,
                  hundredths / 100 % 60, hundredths % 100);
    return durationText(text);
}

std::optional<ProgressFigures> parseProgress(std::string_view collectedOutput) {
    const std::string_view tail = collectedOutput.size() > kProgressWindowBytes
                                      ? collectedOutput.substr(collectedOutput.size() - kProgressWindowBytes)
                                      : collectedOutput;
    const std::string size = trimBlanks(textBetween(tail, "size=", " time="));
    const std::string duration = durationText(trimBlanks(textBetween(tail, "time=", " bitrate=")));
    if (size.empty() || duration.empty()) return std::nullopt;
    return ProgressFigures{megabyteText(size), duration};
}

}  // namespace vigilo
