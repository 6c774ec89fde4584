// ffmpeg's log as the recorder reads it: the output name, the size and time of the last
// progress line, and the framing of the runner's reads.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "live/progress.h"
#include "live/runner.h"

namespace vigilo {
namespace {

TEST(RecorderProgress, SizeAndTimeBecomeCellTexts) {
    struct Case {
        const char* size;
        const char* megabytes;
    };
    const Case sizes[] = {
        {"2048kB", "2MB"},       {"1536kB", "1.5MB"},
        {"1000kB", "0.98MB"},    {"128kB", "0.13MB"},  // exactly 0.125: half away from zero, not to even
        {"0kB", "0MB"},          {"N/A", "0MB"},
        {"1048576kB", "1024MB"}, {"12345678kB", "12056.33MB"},
    };
    for (const auto& c : sizes) EXPECT_EQ(megabyteText(c.size), c.megabytes) << c.size;

    struct TimeCase {
        const char* time;
        const char* duration;
    };
    const TimeCase times[] = {
        {"00:01:02.34", "01:02.34"},
        {"00:00:05.12", "05.12"},
        {"00:00:10.00", "10.00"},
        {"00:59:59.99", "59:59.99"},
        {"00:00:00.00", "00.00"},
        {"-00:00:00.02", "-00.02"},
        {"N/A", "N/A"},
        // From an hour on the hours stay, or an hour and five seconds would read 01:05.00.
        {"01:00:00.00", "01:00:00.00"},
        {"01:00:05.00", "01:00:05.00"},
        {"12:34:56.78", "12:34:56.78"},
        {"100:00:00.00", "100:00:00.00"},
    };
    for (const auto& c : times) EXPECT_EQ(durationText(c.time), c.duration) << c.time;

    // A recorder timed by the clock (one taken over from an earlier run) reads the same way.
    const std::pair<double, const char*> seconds[] = {
        {0, "00.00"}, {5.123, "05.12"}, {62.34, "01:02.34"}, {3605, "01:00:05.00"}, {-1, "00.00"}};
    for (const auto& [value, text] : seconds) EXPECT_EQ(durationOfSeconds(value), text) << value;
}

TEST(RecorderProgress, ReadsOnlyACompleteLineInTheLast120Bytes) {
    const std::string header =
        "Output #1, mp4, to 'abc.mp4':\r\n  Metadata:\r\n    encoder         : Lavf59.27.100\r\n";
    const std::string line1 =
        "frame=  250 fps= 25 q=-1.0 q=-1.0 size=    1536kB time=00:00:09.50 bitrate=1324.5kbits/s speed=1x    ";
    const std::string line2 =
        "frame=  251 fps= 25 q=-1.0 q=-1.0 size=    2048kB time=00:00:10.00 bitrate=1677.7kbits/s speed=1x    ";
    // The cells as the recorder keeps them: each read's figures, when it has any, replace
    // the earlier ones.
    const auto cellsAfter = [](const std::vector<std::string>& reads) {
        std::pair<std::string, std::string> cells{"0KB", "0"};
        for (const auto& collected : reads)
            if (const auto figures = parseProgress(collected)) cells = {figures->size, figures->duration};
        return cells;
    };
    using Cells = std::pair<std::string, std::string>;
    const Cells before{"0KB", "0"}, first{"1.5MB", "09.50"}, second{"2MB", "10.00"};
    struct Case {
        const char* what;
        std::vector<std::string> reads;
        Cells cells;
    };
    const std::string partialSize = header + line1 + line2.substr(0, 45);
    const std::string partialTime = header + line1 + line2.substr(0, 60);
    const Case cases[] = {
        {"no progress yet", {header}, before},
        {"one line", {header + line1}, first},
        {"the last line wins", {header + line1 + line2}, second},
        {"a read that ends inside the size keeps the values", {header + line1, partialSize}, first},
        {"a later read completes the line", {header + line1, partialTime, partialTime + line2.substr(60)}, second},
        {"progress pushed out of the window", {header + line2 + std::string(130, 'x')}, before},
    };
    for (const auto& c : cases) EXPECT_EQ(cellsAfter(c.reads), c.cells) << c.what;
    EXPECT_FALSE(parseProgress(header + line2.substr(0, 60)).has_value());
}

TEST(RecorderProgress, OutputNameNeedsTheWholeLine) {
    EXPECT_EQ(recorderOutputName("Output #0, mpegts, to 'udp://127.0.0.1:1111':\r\n"
                                 "Output #1, mp4, to './主播 😀.mp4':\r\n  Metadata:"),
              "./主播 😀.mp4");
    EXPECT_EQ(recorderOutputName("Output #1, mp4, to './abc"), "");
    EXPECT_EQ(recorderOutputName("Output #0, mpegts, to 'udp://127.0.0.1:1111':\r\n"), "");
}

TEST(RunnerFraming, ChunksAndStatusWords) {
    EXPECT_EQ(frameChunk("a\nb\n"), "a\r\nb\r\n");
    EXPECT_EQ(frameChunk("speed=1x    \rframe="), "speed=1x    frame=");
    EXPECT_EQ(frameChunk(std::string("ab\0cd", 5)), "ab");
    EXPECT_EQ(frameChunk(""), "");

    struct Case {
        const char* chunk;
        const char* word;
    };
    const Case cases[] = {
        {"video:189kB audio:64kB muxing overhead: 1.2%", "任务完成"},
        {"http://x: Input/output error", "输入/输出 错误"},
        {"Conversion failed!", "转换失败"},
        {"x.flv: No such file or directory", "输入/输出 的 文件/路径 不存在"},
        {"muxing overhead: and Conversion failed", "任务完成"},
        {"conversion failed", "conversion failed"},  // letter case counts
        {"frame= 1", "frame= 1"},
    };
    for (const auto& c : cases) EXPECT_EQ(statusWord(c.chunk), c.word) << c.chunk;
}

}  // namespace
}  // namespace vigilo
