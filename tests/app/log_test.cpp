#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/buttons.h"
#include "app/log.h"

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
