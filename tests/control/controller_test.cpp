#include "control/controller.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "fixture.h"
#include "text/charset.h"
#include "text/strings.h"

namespace vigilo {
namespace {

using namespace std::chrono_literals;

class ControllerTest : public ::testing::Test, public testing::ContextFixture {
protected:
    ControllerTest() {
        ctx->markStarted();
        controller = std::make_unique<Controller>(*ctx);
    }
    ~ControllerTest() override { controller.reset(); }

    // The log's lines without their time stamps: the part from the full-width colon on.
    std::vector<std::string> logMessages() const {
        std::vector<std::string> out;
        for (const std::string& line : splitCrLf(ctx->log.text())) {
            const size_t colon = line.find("：");
            out.push_back(colon == std::string::npos ? line : line.substr(colon));
        }
        return out;
    }

    std::unique_ptr<Controller> controller;
};

TEST_F(ControllerTest, WorksHandlersWriteTheirLinesStatusFlagsAndButtonsInOrder) {
    std::vector<std::string> statuses;
    ctx->status.addObserver([&](int part, const std::string& text) {
        if (part == 1) statuses.push_back(text);
    });

    controller->stopWorksMonitor();  // idle: still the line and the status
    EXPECT_TRUE(ctx->worksStop);
    EXPECT_FALSE(ctx->worksRunning);
    EXPECT_TRUE(ctx->buttons.state().startWorksEnabled());
    EXPECT_FALSE(ctx->buttons.state().stopWorksEnabled());

    controller->startWorksMonitor();
    EXPECT_TRUE(ctx->worksRunning);
    EXPECT_FALSE(ctx->worksStop);
    EXPECT_FALSE(ctx->buttons.state().startWorksEnabled());
    EXPECT_TRUE(ctx->buttons.state().stopWorksEnabled());

    controller->addAccounts("", true);  // query line, then the stop line, monitor stopped
    EXPECT_FALSE(ctx->worksRunning);
    EXPECT_TRUE(ctx->worksStop);

    controller->addRooms("");
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"：监控停止", "：监控开始", "：查询中，请稍后……", "：监控停止",
                                                       "：查询中，请稍后……"}));
    EXPECT_EQ(statuses, (std::vector<std::string>{"视频监控停止", "视频监控中……", "视频监控停止"}));
    // Every time-stamped line is date, blank, time, colon.
    for (const std::string& line : splitCrLf(ctx->log.text())) {
        const std::string stamp = line.substr(0, line.find("："));
        EXPECT_NE(stamp.find(' '), std::string::npos) << line;
        EXPECT_NE(stamp.back(), ' ') << line;
    }
}

TEST_F(ControllerTest, AddHandlersWriteTheLinkFilesInGbk) {
    controller->addAccounts("https://v.douyin.com/主页1/\nhttps://v.douyin.com/主页2/", false);
    controller->addRooms("https://v.douyin.com/直播/\r\n");
    EXPECT_EQ(testing::readBytes(ctx->paths.linkFile1()),
              utf8ToGbk("https://v.douyin.com/主页1/\r\nhttps://v.douyin.com/主页2/"));
    EXPECT_EQ(testing::readBytes(ctx->paths.linkFile2()), utf8ToGbk("https://v.douyin.com/直播/\r\n"));
    EXPECT_TRUE(ctx->threads.waitIdle(60s));
}

TEST(ControllerBeforeStartUp, NothingStartsAndNoFileIsTouched) {
    testing::ContextFixture f;
    Controller controller(*f.ctx);
    testing::writeBytes(f.ctx->paths.linkFile2(), "kept");
    controller.startWorksMonitor();
    controller.addAccounts("x", true);
    controller.addRooms("y");
    EXPECT_FALSE(f.ctx->worksRunning);
    EXPECT_EQ(f.ctx->log.text(), "");
    EXPECT_FALSE(std::filesystem::exists(f.ctx->paths.linkFile1()));
    EXPECT_EQ(testing::readBytes(f.ctx->paths.linkFile2()), "kept");
    EXPECT_EQ(f.ctx->threads.running(), 0);
}

// With no link, or only links that register nothing, the job ends once the registrations are
// done: it neither waits for a row forever nor spins.
TEST_F(ControllerTest, RoomAddJobGivesUpWhenNoRowAppears) {
    for (const std::string text : {"", "\r\n\r\n", "http://no-room.invalid/x\r\nnot a link"}) {
        ctx->roomTable.appendRow();  // a row of an earlier job goes first
        auto job = std::async(std::launch::async, [&] { controller->roomAddJob(text); });
        ASSERT_EQ(job.wait_for(60s), std::future_status::ready) << text;
        EXPECT_EQ(ctx->roomTable.rowCount(), 0);
        EXPECT_FALSE(ctx->roomRegistrationPool.exists());
    }
    controller->addRooms("");
    EXPECT_TRUE(ctx->threads.waitIdle(60s));
}

TEST_F(ControllerTest, MenuCommandsWithAndWithoutASelection) {
    auto& table = ctx->accountTable;
    for (int i = 0; i < 3; ++i) {
        table.appendRow();
        for (int column = 0; column < table.columnCount(); ++column) {
            table.setCell(i, column, "r" + std::to_string(i) + "c" + std::to_string(column));
        }
    }
    struct Copy {
        int column;
        std::string withRow1;
    };
    const Copy copies[] = {{acol::ShortId, "r1c3"}, {acol::Nickname, "r1c4"}, {acol::Uid, "r1c1"}};
    for (const auto& c : copies) {
        table.setSelectedRow(-1);
        ui.setClipboard("previous");
        controller->copyAccountCell(c.column);
        EXPECT_EQ(ui.clipboard(), "") << c.column;
        table.setSelectedRow(1);
        controller->copyAccountCell(c.column);
        EXPECT_EQ(ui.clipboard(), c.withRow1);
    }

    // Test command: cancelled, no selection, then a value (an empty one included).
    table.setSelectedRow(1);
    controller->testCommand();  // cancelled box
    EXPECT_EQ(table.rowSnapshot(1)[acol::PostCount], "r1c6");
    ui.setNextInput("42");
    table.setSelectedRow(-1);
    controller->testCommand();
    EXPECT_EQ(table.snapshot()[1][acol::PostCount], "r1c6");
    table.setSelectedRow(1);
    controller->testCommand();
    EXPECT_EQ(table.cell(1, acol::PostCount), "42");
    EXPECT_EQ(table.cell(1, acol::NewestDesc), "");
    EXPECT_EQ(table.cell(1, acol::NewestId), "");
    EXPECT_EQ(table.cell(1, acol::Counter), "r1c8");
    ui.setNextInput("");
    controller->testCommand();
    EXPECT_EQ(table.cell(1, acol::PostCount), "");
    for (const auto& request : ui.inputRequests()) {
        EXPECT_EQ(request.prompt, "提示");
        EXPECT_EQ(request.title, "收入数值");
    }
    EXPECT_EQ(ui.inputRequests().size(), 4u);

    // Delete: nothing without a selection, the selected row with one.
    table.setSelectedRow(-1);
    controller->deleteSelectedAccount();
    EXPECT_EQ(table.rowCount(), 3);
    table.setSelectedRow(0);
    controller->deleteSelectedAccount();
    EXPECT_EQ(table.rowCount(), 2);
    EXPECT_EQ(table.cell(0, 0), "r1c0");

    // "查看直播间" opens the room selected in the room table; none is selected.
    controller->viewLiveRoom();
    EXPECT_TRUE(ui.messages().empty());
    EXPECT_TRUE(ui.openedUrls().empty());

    controller->clearAccounts();
    EXPECT_EQ(table.rowCount(), 0);
    EXPECT_EQ(table.selectedRow(), -1);
}

TEST_F(ControllerTest, DoubleClickCopiesTheHiddenLatestRoomId) {
    ui.setClipboard("previous");
    controller->copyLatestRoomId();
    EXPECT_EQ(ui.clipboard(), "");
    const int row = ctx->roomTable.appendRow();
    ctx->roomTable.setCell(row, rcol::Owner, "主播");
    ctx->roomTable.setCell(row, rcol::LatestRoomId, "7300000000000000001");
    ctx->roomTable.setSelectedRow(row);
    controller->copyLatestRoomId();
    EXPECT_EQ(ui.clipboard(), "7300000000000000001");
}

TEST_F(ControllerTest, CloseStopsTheWorksAndClosesThePoolsOffTheCallersThread) {
    controller->startWorksMonitor();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    ASSERT_TRUE(ctx->roomPollPool.create([released](const TaskArgs&) { released.wait(); }));
    ctx->roomPollPool.post({"1"});
    ctx->accountRegistrationPool.create([](const TaskArgs&) {});

    // The poll task holds its pool open; the close command must return all the same.
    auto closing = std::async(std::launch::async, [&] { controller->closeProgram(); });
    ASSERT_EQ(closing.wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(ctx->worksStop);
    EXPECT_FALSE(ctx->worksRunning);
    EXPECT_FALSE(controller->waitClosed(10ms));
    release.set_value();

    ASSERT_TRUE(controller->waitClosed(30s));
    EXPECT_FALSE(ctx->roomPollPool.exists());
    EXPECT_FALSE(ctx->accountRegistrationPool.exists());
    controller->closeProgram();  // a second close is harmless

    // Nothing new starts once closing.
    controller->addRooms("x");
    controller->startWorksMonitor();
    EXPECT_FALSE(ctx->worksRunning);
    EXPECT_TRUE(ctx->threads.waitIdle(30s));
}

}  // namespace
}  // namespace vigilo
