#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/buttons.h"
#include "app/log.h"
#include "support/testdir.h"

namespace vigilo {
namespace {

// Lines appended from several threads at once arrive whole; observers get them in log order.
TEST(ActivityLog, ConcurrentAppendsArriveWholeAndObserversFollowTheOrder) {
    ActivityLog log;
    std::string observed;
    log.addObserver([&](const std::string& text) { observed += text; });
    constexpr int kThreads = 6, kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) log.appendLog("线程" + std::to_string(t) + "：" + std::string(40, 'x') + "\r\n");
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
// gets every byte.
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
    EXPECT_EQ(testing::readBytes(dir.path() / "vigilo.log"), all + "unfinished\r\n");
}

// At the size limit the file moves to .1 (and .1 to .2 …); the oldest beyond five goes.
// Together the kept files hold the newest lines in order, none cut in two.
TEST(ActivityLog, FileRotatesAtItsSizeKeepingFive) {
    testing::TempDir dir;
    const std::filesystem::path file = dir.path() / "vigilo.log";
    testing::writeBytes(file, "earlier run\r\n");
    ActivityLog log;
    ASSERT_TRUE(log.setFile(file, 1000, 5));
    std::vector<std::string> lines;
    for (int i = 0; i < 1000; ++i) {
        lines.push_back("line " + std::to_string(i) + " " + std::string(40, 'x') + "\r\n");
        log.appendLog(lines.back());
    }
    std::string kept;
    for (int n = 5; n >= 1; --n) {
        const std::string bytes = testing::readBytes(file.string() + "." + std::to_string(n));
        EXPECT_LE(bytes.size(), 1000u) << n;
        EXPECT_GT(bytes.size(), 900u) << n;
        kept += bytes;
    }
    EXPECT_FALSE(std::filesystem::exists(file.string() + ".6"));
    kept += testing::readBytes(file);
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
