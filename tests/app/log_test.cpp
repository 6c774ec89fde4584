#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/buttons.h"
#include "app/log.h"
#include "app/record.h"
#include "support/environment.h"
#include "support/testdir.h"
#include "text/timefmt.h"

#include <cstdlib>
#include <ctime>
#include <regex>

namespace vigilo {
namespace {

// Each line of a log file as its time stamp ("2026-12-11 09:14:56+08:00") and the rest; a line
// without a whole stamp fails the test.
struct FileLine {
    std::string stamp, text;
};
std::vector<FileLine> fileLines(const std::string& bytes) {
    static const std::regex stamped(R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}[+-]\d{2}:\d{2}) (.*)\r$)");
    std::vector<FileLine> out;
    std::istringstream in(bytes);
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, m, stamped)) << line;
        if (m.size() == 3) out.push_back({m[1], m[2]});
    }
    return out;
}
std::string texts(const std::vector<FileLine>& lines) {
    std::string out;
    for (const auto& line : lines) out += line.text + "\r\n";
    return out;
}

// A zone of its own and a clock the test moves, for the stamps' exact text.
class FixedZoneAndClock {
public:
    explicit FixedZoneAndClock(const char* tz) : tz_("TZ", tz) {
        setWallClock([this] { return now; });
    }
    ~FixedZoneAndClock() { setWallClock({}); }
    std::chrono::system_clock::time_point now =
        std::chrono::system_clock::from_time_t(1796976909);  // 2026-12-11 08:15:09Z

private:
    testing::ScopedEnv tz_;
};

// Lines appended from several threads at once arrive whole; observers get them in log order.
TEST(ActivityLog, ConcurrentAppendsArriveWholeAndObserversFollowTheOrder) {
    ActivityLog log;
    std::string observed;
    log.addObserver([&](const std::string& text) { observed += text; });
    constexpr int kThreads = 6, kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i)
                log.appendLog("线程" + std::to_string(t) + "：" + std::string(40, 'x') + "\r\n");
        });
    }
    for (auto& thread : threads) thread.join();
    const std::string text = log.text();
    EXPECT_EQ(observed, text);
    std::istringstream in(text);
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.back(), '\r');
        EXPECT_EQ(line.rfind("线程", 0), 0u) << line;
        EXPECT_EQ(line.size(), std::string("线程0：").size() + 40 + 1) << line;
        ++lines;
    }
    EXPECT_EQ(lines, kThreads * kLines);
}

// Memory keeps the newest lines only, whatever the pieces the lines were appended in; the file
// gets every line, stamped.
TEST(ActivityLog, KeepsTheLastLinesInMemoryAndEveryLineInTheFile) {
    testing::TempDir dir;
    ActivityLog log(100);
    ASSERT_TRUE(log.setFile(dir.path() / "vigilo.log"));
    std::string all, expected;
    for (int i = 1; i <= 5000; ++i) {
        const std::string line = "第" + std::to_string(i) + "行\r\n";
        all += line;
        if (i > 4900) expected += line;
        if (i % 3 == 0) {
            // A line in two appends, as a writer may send it.
            log.appendLog(line.substr(0, 4));
            log.appendLog(line.substr(4));
        } else {
            log.appendLog(line);
        }
    }
    EXPECT_EQ(log.text(), expected);
    log.appendLog("unfinished");
    // A line still being written is kept beside the last whole ones.
    EXPECT_EQ(log.text(), expected + "unfinished");
    log.appendLog("\r\n");
    EXPECT_EQ(log.text(), expected.substr(expected.find('\n') + 1) + "unfinished\r\n");
    EXPECT_EQ(texts(fileLines(testing::readBytes(dir.path() / "vigilo.log"))), all + "unfinished\r\n");
}

// At the size limit the file moves to .1 (and .1 to .2 …); the oldest beyond five goes.
// Together the kept files hold the newest lines in order, none cut in two, each with the
// full local time of its writing on the 24-hour clock and the zone's offset.
TEST(ActivityLog, FileRotatesAtItsSizeKeepingFive) {
    FixedZoneAndClock clock("CST-8");
    testing::TempDir dir;
    const std::filesystem::path file = dir.path() / "vigilo.log";
    testing::writeBytes(file, "earlier run\r\n");
    ActivityLog log;
    ASSERT_TRUE(log.setFile(file, 1000, 5));
    std::vector<std::string> lines;
    std::vector<std::string> stamps;  // what each line's stamp must read
    for (int i = 0; i < 1000; ++i) {
        lines.push_back("line " + std::to_string(i) + " " + std::string(40, 'x') + "\r\n");
        // A second apart, in the afternoon: the hours show as 16, not 4.
        clock.now += std::chrono::seconds(1);
        const std::time_t t = std::chrono::system_clock::to_time_t(clock.now);
        std::tm local{};
        ::localtime_r(&t, &local);
        char expected[40];
        std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S+08:00", &local);
        stamps.push_back(expected);
        log.appendLog(lines.back());
    }
    std::vector<FileLine> keptLines;
    for (int n = 5; n >= 0; --n) {
        const std::string name = n == 0 ? file.string() : file.string() + "." + std::to_string(n);
        const std::string bytes = testing::readBytes(name);
        EXPECT_LE(bytes.size(), 1000u) << n;
        if (n > 0) {
            EXPECT_GT(bytes.size(), 900u) << n;
        }
        for (auto& line : fileLines(bytes)) keptLines.push_back(std::move(line));
    }
    EXPECT_FALSE(std::filesystem::exists(file.string() + ".6"));
    const std::string kept = texts(keptLines);
    ASSERT_FALSE(keptLines.empty());
    // Across the rotations every stamp is the time its line was written, in order.
    const std::size_t first = lines.size() - keptLines.size();
    for (std::size_t i = 0; i < keptLines.size(); ++i) ASSERT_EQ(keptLines[i].stamp, stamps[first + i]) << i;
    EXPECT_EQ(keptLines.front().stamp.substr(0, 11), "2026-12-11 ");
    EXPECT_EQ(keptLines.back().stamp.substr(11, 3), "16:");
    std::string newest;
    for (const auto& line : lines) newest += line;
    ASSERT_LT(kept.size(), newest.size());
    EXPECT_EQ(kept, newest.substr(newest.size() - kept.size()));
    EXPECT_EQ(kept.rfind("line ", 0), 0u);
}

// A file that cannot be opened or written (a full disk) costs the file's copy only.
TEST(ActivityLog, UnwritableFileKeepsTheLogInMemory) {
    testing::TempDir dir;
    struct Case {
        std::filesystem::path file;
        bool opens;
    };
    for (const Case& c : {Case{dir.path() / "missing" / "vigilo.log", false}, Case{"/dev/full", true}}) {
        SCOPED_TRACE(c.file.string());
        ActivityLog log(3);
        EXPECT_EQ(log.setFile(c.file, 100), c.opens);
        for (int i = 0; i < 50; ++i) log.appendLog("line " + std::to_string(i) + "\r\n");
        EXPECT_EQ(log.text(), "line 47\r\nline 48\r\nline 49\r\n");
    }
}

// What each kind of line becomes: the window shows every line as written; the terminal (and so
// the journal) drops the countdown, "监控账号无更新" and a report whose counter it has already
// shown; vigilo.log keeps all but the countdown, stamped.
TEST(ActivityLog, EachLineInTheWindowTheTerminalAndTheFile) {
    struct Case {
        std::string line;
        bool terminal;
        bool file;
    };
    const std::vector<Case> cases = {
        {"2026-12-11 04:05:09：监控开始", true, true},
        {"小熊：有更新1条", true, true},
        {"橙子：有更新-1条", true, true},
        {"9", false, false},
        {"小熊：视频下载成功 731.mp4（第2次尝试）", true, true},
        {"0", false, false},
        // The next pass: unchanged counters are not told again, a changed one is.
        {"小熊：有更新1条", false, true},
        {"橙子：有更新0条", true, true},
        {"9", false, false},
        {"0", false, false},
        // A pass that reports nobody: every counter is back at 0 …
        {"监控账号无更新", false, true},
        {"9", false, false},
        {"0", false, false},
        {"监控账号无更新", false, true},
        // … so the same count as before is news again.
        {"小熊：有更新1条", true, true},
        {"10", false, false},
        {"昵称里有：有更新：有更新3条", true, true},
        {"通知（ntfy）跟不上，丢弃最早的事件，队列上限 256 条", true, true},
        {"123abc", true, true},
    };
    testing::TempDir dir;
    ActivityLog log;
    ASSERT_TRUE(log.setFile(dir.path() / "vigilo.log"));
    TerminalLogFilter terminal;
    std::string window, shown, filed;
    for (const Case& c : cases) {
        log.appendLog(c.line + "\r\n");
        window += c.line + "\r\n";
        if (terminal.keep(c.line) != c.terminal) ADD_FAILURE() << "terminal, " << c.line;
        if (c.file) filed += c.line + "\r\n";
    }
    log.record("vigilo exiting: SIGTERM, exit status 0\nsecond line");
    filed += "vigilo exiting: SIGTERM, exit status 0\r\nsecond line\r\n";
    EXPECT_EQ(log.text(), window);
    EXPECT_EQ(texts(fileLines(testing::readBytes(dir.path() / "vigilo.log"))), filed);
    EXPECT_EQ(classifyLogLine("昵称里有：有更新：有更新3条").nickname, "昵称里有：有更新");
}

TEST(StatusBar, StartsWithItsLabelAndReportsChanges) {
    StatusBar bar;
    EXPECT_EQ(bar.text(0), "  监控状态");
    EXPECT_EQ(bar.text(1), "");
    std::vector<std::pair<int, std::string>> seen;
    const int id = bar.addObserver([&](int part, const std::string& text) { seen.emplace_back(part, text); });
    bar.setText(1, "视频监控中……");
    bar.setText(2, "ignored");
    bar.removeObserver(id);
    bar.setText(1, "after");
    EXPECT_EQ(seen, (std::vector<std::pair<int, std::string>>{{1, "视频监控中……"}}));
    EXPECT_EQ(bar.text(1), "after");
    EXPECT_EQ(bar.text(2), "");
}

// The monitor started last does not hide the other.
TEST(StatusBar, BothMonitorsShowWhenBothRun) {
    StatusBar bar;
    using M = StatusBar::Monitor;
    bar.setMonitorText(M::Works, "视频监控中……");
    EXPECT_EQ(bar.text(1), "视频监控中……");
    bar.setMonitorText(M::Live, "直播录制中……");
    EXPECT_EQ(bar.text(1), "视频监控中…… 直播录制中……");
    bar.setMonitorText(M::Works, "视频监控停止");
    EXPECT_EQ(bar.text(1), "视频监控停止 直播录制中……");
    bar.setMonitorText(M::Live, "直播监控停止");
    EXPECT_EQ(bar.text(1), "视频监控停止 直播监控停止");
}

TEST(ButtonStates, NothingStartsBeforeStartUpHasFinished) {
    ButtonStates buttons;
    std::vector<ButtonState> seen;
    buttons.addObserver([&](const ButtonState& state) { seen.push_back(state); });
    ButtonState initial = buttons.state();
    EXPECT_FALSE(initial.startWorksEnabled());
    EXPECT_FALSE(initial.addEnabled());
    EXPECT_TRUE(initial.stopWorksEnabled());
    buttons.setReady(true);
    EXPECT_TRUE(buttons.state().startWorksEnabled());
    EXPECT_TRUE(buttons.state().addEnabled());
    buttons.setWorks(false, true);
    EXPECT_FALSE(buttons.state().startWorksEnabled());
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen.back(), buttons.state());
}

}  // namespace
}  // namespace vigilo
