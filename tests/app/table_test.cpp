#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/table.h"

namespace vigilo {
namespace {

TEST(TableColumns, TitlesWidthsAndAlignmentAreExact) {
    struct Case {
        std::vector<TableColumn> columns;
        std::vector<std::string> titles;
        std::vector<int> widths;
        int centred;
    };
    const Case cases[] = {
        {accountColumns(),
         {"主页链接", "作者UID", "sec_uid", "抖音id", "昵称", "粉丝数", "作品数", "最新作品", "更新了*个", "最新作品ID",
          "作品无水印链接"},
         {100, 0, 0, 0, 100, 100, 75, 200, 70, 0, 0},
         -1},
        {roomColumns(),
         {"   作者", "room_id", "最新room_id", "直播状态", "直播源链接", "开播时间", "     录制状态", "  录制大小",
          "录制时长", "上一场报告"},
         {150, 0, 0, 70, 0, 150, 120, 80, 90, 0},
         5},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(c.columns.size(), c.titles.size());
        for (size_t i = 0; i < c.columns.size(); ++i) {
            EXPECT_EQ(c.columns[i].title, c.titles[i]) << i;
            EXPECT_EQ(c.columns[i].width, c.widths[i]) << c.titles[i];
            EXPECT_EQ(c.columns[i].centred, static_cast<int>(i) == c.centred) << c.titles[i];
        }
    }
}

TEST(TableStore, OutOfRangeReadsAreEmptyAndWritesDoNothing) {
    TableStore table("RoomTable", roomColumns());
    std::vector<TableChange> changes;
    table.addObserver([&](const TableChange& change) { changes.push_back(change); });
    EXPECT_EQ(table.appendRow(), 0);
    table.setCell(0, 8, "hidden and last");
    const std::pair<int, int> outside[] = {{-1, 0}, {1, 0}, {0, -1}, {0, 10}, {99, 99}};
    for (auto [row, column] : outside) {
        table.setCell(row, column, "x");
        EXPECT_EQ(table.cell(row, column), "") << row << "," << column;
    }
    table.deleteRow(5);
    table.deleteRow(-1);
    EXPECT_EQ(table.rowCount(), 1);
    EXPECT_EQ(table.cell(0, 8), "hidden and last");
    EXPECT_EQ(changes.size(), 2u);  // the append and the one valid write only
    EXPECT_TRUE(table.rowSnapshot(3).empty());
}

TEST(TableStore, ObserversSeeEveryChangeInOrderAndSelectionFollowsRows) {
    TableStore table("AccountTable", accountColumns());
    std::vector<std::string> seen;
    const int id = table.addObserver([&](const TableChange& change) {
        seen.push_back(std::to_string(static_cast<int>(change.kind)) + ":" + std::to_string(change.row) + ":" +
                       std::to_string(change.column) + ":" + change.text);
    });
    for (int i = 0; i < 3; ++i) table.appendRow();
    table.setCell(2, acol::Nickname, "昵称😀");
    table.setSelectedRow(2);
    table.deleteRow(0);
    EXPECT_EQ(table.selectedRow(), 1);
    EXPECT_EQ(table.cell(1, acol::Nickname), "昵称😀");
    table.deleteRow(1);
    EXPECT_EQ(table.selectedRow(), -1);
    table.setSelectedRow(7);
    EXPECT_EQ(table.selectedRow(), -1);
    table.deleteAll();
    table.removeObserver(id);
    table.appendRow();
    const std::vector<std::string> expected = {"1:0:-1:", "1:1:-1:", "1:2:-1:", "0:2:4:昵称😀",
                                               "2:0:-1:", "2:1:-1:", "3:-1:-1:"};
    EXPECT_EQ(seen, expected);
}

// Writers and readers hammer one cell and append rows at once: every read must be one whole
// written value and every append a distinct index.
TEST(TableStore, CellOperationsStayAtomicUnderConcurrentWriters) {
    TableStore table("AccountTable", accountColumns());
    table.appendRow();
    constexpr int kThreads = 8, kRounds = 2000;
    std::atomic<int> torn{0};
    std::vector<std::vector<int>> appended(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string mine(256, static_cast<char>('a' + t));
            for (int i = 0; i < kRounds; ++i) {
                table.setCell(0, acol::NewestDesc, mine);
                const std::string read = table.cell(0, acol::NewestDesc);
                if (read.size() != 256 || read.find_first_not_of(read[0]) != std::string::npos) ++torn;
                if (i % 20 == 0) appended[t].push_back(table.appendRow());
                if (i % 50 == 0) table.deleteRow(1000000);  // a stale index from a deleted row
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(torn, 0);
    std::vector<bool> used(static_cast<size_t>(table.rowCount()), false);
    int total = 0;
    for (const auto& list : appended) {
        for (int index : list) {
            ASSERT_GT(index, 0);
            ASSERT_LT(index, table.rowCount());
            EXPECT_FALSE(used[static_cast<size_t>(index)]);
            used[static_cast<size_t>(index)] = true;
            ++total;
        }
    }
    EXPECT_EQ(table.rowCount(), total + 1);
}

}  // namespace
}  // namespace vigilo
