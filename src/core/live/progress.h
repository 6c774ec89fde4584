#pragma once
// Reading ffmpeg's log: the name of the MP4 output and the latest size and time of its
// progress line, turned into the texts of the recording's size and duration cells.
#include <optional>
#include <string>
#include <string_view>

namespace vigilo {

inline constexpr std::size_t kProgressWindowBytes = 120;

// The file name of "Output #1, mp4, to '" … "':" in text; "" while that line is incomplete.
std::string recorderOutputName(std::string_view text);

// "2048kB" → "2MB": the value of the leading digits in kB of 1024 bytes, in MB rounded half
// away from zero to two decimals, without trailing zeros.
std::string megabyteText(std::string_view sizeText);

// "00:01:02.34" → "01:02.34": every "00:" removed.
std::string durationText(std::string_view timeText);

struct ProgressFigures {
    std::string size;      // cell text, "2MB"
    std::string duration;  // cell text, "10.00"
};

// The figures of the last 120 bytes of the collected output; nothing when "size=" … " time="
// or "time=" … " bitrate=" is missing there (for instance a chunk that ends inside a line).
std::optional<ProgressFigures> parseProgress(std::string_view collectedOutput);

}  // namespace vigilo
