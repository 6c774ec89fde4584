#include "live/progress.h"

#include <cmath>

#include "text/strings.h"

namespace vigilo {

std::string recorderOutputName(std::string_view text) {
    return textBetween(text, "Output #1, mp4, to '", "':");
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
    return replacePairs(std::string(timeText), {{"00:", ""}});
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
