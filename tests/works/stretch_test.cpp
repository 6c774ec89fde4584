// The line that says a cycle is held back by the request budget: once per stretch.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "app/pacing.h"
#include "works/stretch.h"

namespace vigilo {
namespace {

using namespace std::chrono_literals;

TEST(CycleStretch, SaidOnceWhileTheBudgetHoldsTheCycleBackAndAgainAfterItFitted) {
    struct Row {
        const char* what;
        int accounts;
        double perMinute;
        std::chrono::milliseconds ownCycle;
        std::optional<std::string> want;
    } rows[] = {
        {"no limit", 5000, 0, 110s, std::nullopt},
        {"a limit the cycle fits in", 100, 600, 12s, std::nullopt},
        {"5000 accounts at 600 a minute", 5000, 600, 110s,
         "查询放慢：服务每分钟只允许 600 次，查看一遍全部 5000 个账号现需约 8 分钟"},
        {"still stretched, slower: not said again", 5000, 300, 110s, std::nullopt},
        {"fits again", 5000, 0, 110s, std::nullopt},
        {"a new stretch is said", 20, 6, 10s, "查询放慢：服务每分钟只允许 6 次，查看一遍全部 20 个账号现需约 3 分钟"},
        {"no accounts", 0, 6, 10s, std::nullopt},
        {"an hour and more", 5000, 6, 110s,
         "查询放慢：服务每分钟只允许 6 次，查看一遍全部 5000 个账号现需约 13.9 小时"},
    };
    CycleStretch stretch;
    for (const Row& row : rows)
        EXPECT_EQ(stretch.after(row.accounts, row.perMinute, row.ownCycle), row.want) << row.what;

    // A faster minute (tests, demos) shrinks the time said.
    CycleStretch fast;
    EXPECT_EQ(fast.after(10, 6, 100ms, 3s), "查询放慢：服务每分钟只允许 6 次，查看一遍全部 10 个账号现需约 5 秒");
}

TEST(RandomShare, StaysInsideItsSpan) {
    EXPECT_EQ(randomShare(0ms), 0ms);
    EXPECT_EQ(randomShare(-5ms), 0ms);
    EXPECT_EQ(randomShare(1ms), 0ms);
    bool moved = false;
    for (int i = 0; i < 200; ++i) {
        const auto share = randomShare(3000ms);
        EXPECT_GE(share, 0ms);
        EXPECT_LT(share, 3000ms);
        moved = moved || share != randomShare(3000ms);
    }
    EXPECT_TRUE(moved);
}

}  // namespace
}  // namespace vigilo
