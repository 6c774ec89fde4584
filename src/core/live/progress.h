#pragma once
// Reading ffmpeg's log: the name of the MP4 output and the latest size and time of its
// progress line, turned into the texts of the recording's size and duration cells.
#include <optional>
#include <string>
#include <string_view>

namespace vigilo {

inline constexpr std::size_t kProgressWindowBytes = 120;

// The file name of "Output #1, mp4, to '" … "':" (or "segment" for a split recording) in
// text; "" while that line is incomplete.
std::string recorderOutputName(std::string_view text);

// "2048kB" → "2MB": the value of the leading digits in kB of 1024 bytes, in MB rounded half
// away from zero to two decimals, without trailing zeros.
std::string megabyteText(std::string_view sizeText);

// ffmpeg's time as the duration cell shows it. Below an hour every "00:" is removed
// ("00:01:02.34" → "01:02.34", "00:00:05.12" → "05.12"); from an hour on the text stays whole
// ("01:00:05.00"), or it would read like minutes.
std::string durationText(std::string_view timeText);

// A number of seconds as ffmpeg's time ("HH:MM:SS.hh"), then as the duration cell shows it.
std::string durationOfSeconds(double seconds);

struct ProgressFigures {
    std::string size;      // cell text, "2MB"
    std::string duration;  // cell text, "10.00"
};

// The figures of the last 120 bytes of the collected output; nothing when "size=" … " time="
// or "time=" … " bitrate=" is missing there (for instance a chunk that ends inside a line).
std::optional<ProgressFigures> parseProgress(std::string_view collectedOutput);

}  // namespace vigilo
