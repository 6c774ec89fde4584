#include "control/startup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fixture.h"
#include "support/loopback.h"
#include "text/charset.h"

namespace vigilo {
namespace {

TEST(Notice, FieldsAreFoundByTheirMarkersInAnyOrder) {
    struct Case {
        std::string text;
        Notice expected;
    };
    const Case cases[] = {
        {"版本号【1.0.0.0】运营状态【运营中】公告栏【】更新软件地址【http://h/u】",
         {"1.0.0.0", "运营中", "", "http://h/u"}},
        {"更新软件地址【u】\r\n公告栏【今天\r\n维护】\r\n运营状态【停运】\r\n版本号【2.0】",
         {"2.0", "停运", "今天\r\n维护", "u"}},
        {"公告栏【a】b】版本号【1", {"", "", "a", ""}},  // a value ends at its first 】; an open one is empty
        {"", {}},
    };
    for (const auto& c : cases) {
        const Notice notice = parseNotice(c.text);
        EXPECT_EQ(notice.version, c.expected.version) << c.text;
        EXPECT_EQ(notice.state, c.expected.state) << c.text;
        EXPECT_EQ(notice.announcement, c.expected.announcement) << c.text;
        EXPECT_EQ(notice.updateAddress, c.expected.updateAddress) << c.text;
    }
    EXPECT_EQ(ownVersion(), "1.0.0.0");
}

struct Message {
    std::string text, caption;
    bool operator==(const Message&) const = default;
};

std::vector<Message> messagesOf(const RecordingUserInterface& ui) {
    std::vector<Message> out;
    for (const auto& m : ui.messages()) {
        EXPECT_EQ(m.icon, MessageIcon::None) << m.text;
        out.push_back({m.text, m.caption});
    }
    return out;
}

// Each ending of the notice check, with the notice reached through a redirect as the file
// share serves it.
TEST(StartUp, EveryEndingOfTheNoticeCheck) {
    const std::string stop = "软件因为各种原因停止更新，感谢您对本软件的支持！";
    struct Case {
        const char* name;
        std::string notice;  // UTF-8 body
        StartupEnding ending;
        std::vector<Message> messages;
    };
    const Case cases[] = {
        {"silent",
         "版本号【1.0.0.0】运营状态【运营中】公告栏【】更新软件地址【http://h/v】",
         StartupEnding::Normal,
         {}},
        {"announcement then update",
         "版本号【1.0】运营状态【运营中】公告栏【新年快乐🎉】更新软件地址【http://h/v】",
         StartupEnding::Update,
         {{"新年快乐🎉", "Vigilo"}, {"软件有更新！", ""}}},
        {"announcement, same version",
         "公告栏【通知】版本号【1.0.0.0】运营状态【运营中】",
         StartupEnding::Normal,
         {{"通知", "Vigilo"}}},
        {"stopped whatever the version",
         "版本号【1.0.0.0】运营状态【暂停】公告栏【x】",
         StartupEnding::Stopped,
         {{stop, ""}}},
        {"no state field", "版本号【1.0.0.0】", StartupEnding::Stopped, {{stop, ""}}},
        {"no version", "运营状态【运营中】公告栏【】", StartupEnding::NoVersion, {}},
    };
    testing::LoopbackServer server;
    ASSERT_TRUE(server.start());
    for (const auto& c : cases) {
        testing::ContextFixture f;
        server.route("/notice.txt", 200, c.notice);
        server.route("/api/v3/file/sourcejump/abcdefg/key", 302, "", server.url("/notice.txt"));
        const StartupResult result = startUp(*f.ctx, server.url("/api/v3/file/sourcejump/abcdefg/key"));
        EXPECT_EQ(result.ending, c.ending) << c.name;
        EXPECT_EQ(messagesOf(f.ui), c.messages) << c.name;
        EXPECT_EQ(f.ctx->started, c.ending == StartupEnding::Normal) << c.name;
        EXPECT_EQ(f.ctx->buttons.state().addEnabled(), c.ending == StartupEnding::Normal) << c.name;
        if (c.ending == StartupEnding::Update) {
            EXPECT_EQ(result.notice.updateAddress, "http://h/v");
        }
    }
}

TEST(StartUp, NoNetworkStopsAndNoAddressSkipsTheCheck) {
    {
        testing::ContextFixture f;
        const StartupResult result = startUp(*f.ctx, "http://127.0.0.1:9/notice");
        EXPECT_EQ(result.ending, StartupEnding::Stopped);
        EXPECT_EQ(messagesOf(f.ui), (std::vector<Message>{{"软件因为各种原因停止更新，感谢您对本软件的支持！", ""}}));
        EXPECT_FALSE(f.ctx->started);
    }
    testing::ContextFixture f;
    const StartupResult result = startUp(*f.ctx, "");
    EXPECT_EQ(result.ending, StartupEnding::Normal);
    EXPECT_TRUE(f.ui.messages().empty());
    EXPECT_TRUE(f.ctx->started);
    EXPECT_EQ(result.linkBox1, "");  // no files: empty boxes
    EXPECT_EQ(result.linkBox2, "");
}

TEST(StartUp, LinkBoxesComeBackFromTheirGbkFiles) {
    testing::ContextFixture f;
    testing::writeBytes(f.ctx->paths.linkFile1(), utf8ToGbk("https://v.douyin.com/甲/\r\nhttps://v.douyin.com/乙/"));
    testing::writeBytes(f.ctx->paths.linkFile2(), utf8ToGbk("直播间 https://v.douyin.com/丙/\r\n"));
    const StartupResult result = startUp(*f.ctx, "");
    EXPECT_EQ(result.linkBox1, "https://v.douyin.com/甲/\r\nhttps://v.douyin.com/乙/");
    EXPECT_EQ(result.linkBox2, "直播间 https://v.douyin.com/丙/\r\n");
}

}  // namespace
}  // namespace vigilo
