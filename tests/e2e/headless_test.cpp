// The real `vigilo --headless` binary against the simulated service and a real ffmpeg stream.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <ctime>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "app/settings.h"
#include "child.h"
#include "control/startup.h"
#include "headless_fixture.h"
#include "sim/push_receiver.h"
#include "sim/simulator.h"
#include "text/strings.h"

namespace vigilo::e2e {
namespace {

using nlohmann::ordered_json;
using std::chrono::seconds;

const std::string kStopMessage = "软件因为各种原因停止更新，感谢您对本软件的支持！";

std::string notice(const std::string& version, const std::string& state, const std::string& announcement,
                   const std::string& address) {
    std::string text;
    if (!version.empty()) text += "版本号【" + version + "】\r\n";
    text += "运营状态【" + state + "】\r\n公告栏【" + announcement + "】\r\n";
    text += "更新软件地址【" + address + "】\r\n";
    return text;
}

std::vector<std::string> nonEmptyLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The lines of vigilo.log without their time stamps; each must begin with a whole one
// ("2026-12-11 09:14:56+08:00 "). Read by hand, not with std::regex: compiling one here races,
// under ThreadSanitizer, with the simulator's threads filling the same locale cache.
std::vector<std::string> stampedLines(const std::string& file) {
    static const std::string shape = "dddd-dd-dd dd:dd:dd+dd:dd ";
    auto stamped = [](const std::string& line) {
        if (line.size() < shape.size()) return false;
        for (size_t i = 0; i < shape.size(); ++i) {
            const char c = line[i];
            const bool ok = shape[i] == 'd'   ? (c >= '0' && c <= '9')
                            : shape[i] == '+' ? (c == '+' || c == '-')
                                              : c == shape[i];
            if (!ok) return false;
        }
        return true;
    };
    std::vector<std::string> lines;
    for (const std::string& line : splitCrLf(file)) {
        if (line.empty()) continue;
        EXPECT_TRUE(stamped(line)) << line;
        if (stamped(line)) lines.push_back(line.substr(shape.size()));
    }
    return lines;
}

std::size_t countOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

class Headless : public HeadlessFixture {
protected:
    // Every read must parse: the file is replaced whole, never seen half written.
    std::optional<ordered_json> status() {
        const fs::path path = dir_ / "status.json";
        if (!fs::exists(path)) return std::nullopt;
        auto doc = ordered_json::parse(readBytes(path), nullptr, false);
        EXPECT_FALSE(doc.is_discarded()) << "status file does not parse:\n" << readBytes(path);
        if (doc.is_discarded()) return std::nullopt;
        return doc;
    }

    std::string cell(const std::string& table, size_t row, const std::string& title) {
        const auto doc = status();
        if (!doc || !doc->contains(table) || (*doc)[table].size() <= row) return "";
        const auto& r = (*doc)[table][row];
        return r.contains(title) ? r[title].get<std::string>() : "";
    }
};

sim::Account testAccount() {
    sim::Account a;
    a.uid = "110022334455";
    a.secUid = "MS4wLjABAAAAheadlessAccountSecUid";
    a.shortId = "77001";
    a.uniqueId = "xiaolu";
    a.nickname = "小鹿🦌";
    a.signature = "hi";
    a.followerCount = 15000;
    a.posts = {{"7300000000000000001", "第一条作品", "first video bytes"}};
    return a;
}

TEST_F(Headless, OptionsAnswerOrFailWithOneLine) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;  // standard output contains
        std::string err;  // standard error contains; a failure's error is one line
    };
    const Case cases[] = {
        {{"--help"}, 0, "--status-json FILE", ""},
        {{"--version"}, 0, "vigilo " + ownVersion() + "\n", ""},
        {{"--frobnicate"}, 2, "", "'--frobnicate'"},
        {{"-x"}, 2, "", "'-x'"},
        {{"links.txt"}, 2, "", "unexpected argument 'links.txt'"},
        {{"--accounts"}, 2, "", "--accounts needs a value"},
        {{"--duration", "soon"}, 2, "", "'soon'"},
        {{"--duration=-5"}, 2, "", "'-5'"},
        {{"--live-period", "7"}, 2, "", "--live-period needs 5, 10, 30 or off, not '7'"},
        {{"--live-period="}, 2, "", "--live-period needs a non-empty value"},
        {{"--help"}, 0, "--live-period 5|10|30|off", ""},
        {{"--help=yes"}, 2, "", "--help takes no value"},
        {{"--help"}, 0, "--web [ADDR:]PORT", ""},
        {{"--web", "80x"}, 2, "", "option --web: web address '80x' needs a port from 0 to 65535"},
        {{"--web", "[::1]"}, 2, "", "option --web: web address '[::1]' needs the form [ADDR]:PORT"},
        {{"--notify-only", "房间"}, 2, "", "--notify-only needs a room id"},
        {{"--verbose=1"}, 2, "", "--verbose takes no value"},
        {{"--record", "-1"}, 2, "", "--record needs a room id"},
        {{"--accounts", (dir_ / "missing.txt").string()}, 1, "", "missing.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        const RunResult r = runToEnd(args(c.args), env(), seconds(20));
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        if (c.status != 0) {
            EXPECT_EQ(nonEmptyLines(r.err).size(), 1u) << r.err;
        }
    }
    // Arguments are refused before anything touches the data directory.
    EXPECT_TRUE(fs::is_empty(home_));
}

TEST_F(Headless, StartUpEndingsPrintAndExit) {
    const std::string update = sim_.updateUrl();
    struct Case {
        const char* name;
        std::string notice;  // "" with unreachable: the notice address does not answer
        bool unreachable;
        int status;
        std::vector<std::string> errInOrder;
    };
    const Case cases[] = {
        {"stopped", notice(ownVersion(), "暂停运营", "", update), false, 1, {kStopMessage}},
        {"unreachable", "", true, 1, {kStopMessage}},
        {"no version", notice("", "运营中", "", update), false, 1, {"no version"}},
        {"newer build",
         notice(ownVersion() + ".1", "运营中", "新版本已发布", update),
         false,
         3,
         {"Vigilo: 新版本已发布", "软件有更新！", update}},
        {"normal, nothing to watch",
         notice(ownVersion(), "运营中", "欢迎使用", update),
         false,
         1,
         {"Vigilo: 欢迎使用", "nothing to watch"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim_.setNotice(c.notice);
        const std::string url =
            c.unreachable ? "http://127.0.0.1:" + std::to_string(freePort()) + "/notice" : sim_.noticeUrl();
        const RunResult r = runToEnd(args({}), env({{"VIGILO_NOTICE_URL", url}}), seconds(60));
        EXPECT_EQ(r.status, c.status) << r.err;
        size_t at = 0;
        for (const auto& piece : c.errInOrder) {
            const size_t found = r.err.find(piece, at);
            EXPECT_NE(found, std::string::npos) << "'" << piece << "' missing or out of order in:\n" << r.err;
            if (found != std::string::npos) at = found + piece.size();
        }
        EXPECT_EQ(r.out.find("监控开始"), std::string::npos) << r.out;
    }
}

// A signal while the notice is on its way ends the wait for it: the run exits at once with a
// stop, not after the service's time-out.
TEST_F(Headless, ASignalDuringStartUpEndsTheNoticeWaitAndExits) {
    sim_.setFault(sim::kNotice, sim::Fault::Stall);
    Child vigilo(args({}), env());
    ASSERT_TRUE(vigilo.waitOut("starting (pid ", seconds(15))) << vigilo.err();
    ASSERT_TRUE(waitUntil([&] { return sim_.requestCount(sim::kNotice) > 0; }, seconds(15)));
    vigilo.signal(SIGTERM);
    ASSERT_EQ(vigilo.waitExit(seconds(20)), 0) << vigilo.err();
    EXPECT_NE(vigilo.err().find("SIGTERM during start-up: exiting"), std::string::npos) << vigilo.err();
    EXPECT_TRUE(vigilo.out().ends_with("vigilo exiting: SIGTERM during start-up, exit status 0\n")) << vigilo.out();
    EXPECT_EQ(vigilo.err().find("软件因为各种原因停止更新"), std::string::npos) << vigilo.err();
}

TEST_F(Headless, NewPostAndLiveRoomThenSigintSavesEverything) {
    ASSERT_TRUE(sim::Simulator::ffmpegAvailable());
    sim::Account account = testAccount();
    sim_.addAccount(account);
    const std::string roomId = "7200000000000000011";
    sim_.addRoom(testRoom(roomId, "主播阿星"));
    sim_.goLiveWithStream(roomId);
    sim_.setNotice(notice(ownVersion(), "运营中", "", ""));

    // As an editor may save it: a byte-order mark and bare line feeds.
    writeBytes(dir_ / "accounts.txt", "\xEF\xBB\xBF" + sim_.accountShareLink(account.secUid) + "\n");
    writeBytes(dir_ / "rooms.txt", sim_.roomShareLink(roomId) + "\n");
    Child vigilo(
        args({"--accounts", (dir_ / "accounts.txt").string(), "--rooms", (dir_ / "rooms.txt").string(), "--status-json",
              (dir_ / "status.json").string(), "--duration", "50", "--live-period", "30", "--verbose"}),
        env());
    ASSERT_TRUE(vigilo.started());

    // Registered and queried, and the works monitor started after the initial query.
    ASSERT_TRUE(waitUntil([&] { return cell("AccountTable", 0, "更新了*个") == "0"; }, seconds(15)))
        << vigilo.out() << vigilo.err();
    EXPECT_EQ(cell("AccountTable", 0, "昵称"), account.nickname);
    EXPECT_EQ(cell("AccountTable", 0, "粉丝数"), "1.5w");
    ASSERT_TRUE(vigilo.waitOut("：监控开始", seconds(10))) << vigilo.out();

    // A new post: reported in the log, counted, and its video downloaded whole.
    const sim::Post post{"7300000000000000002", "第二条作品", "FLV" + std::string(200000, 'v') + "end"};
    sim_.addPost(account.secUid, post);
    ASSERT_TRUE(vigilo.waitOut(account.nickname + "：有更新1条\n", seconds(15))) << vigilo.out();
    const fs::path video = home_ / "下载" / account.nickname / (post.awemeId + "-" + post.desc + ".mp4");
    ASSERT_TRUE(waitUntil([&] { return readBytes(video) == post.videoBytes; }, seconds(10))) << video;

    // The room records, and its size and duration move.
    ASSERT_TRUE(waitUntil([&] { return cell("RoomTable", 0, "录制状态") == "正在录制"; }, seconds(15)))
        << vigilo.out() << vigilo.err();
    const std::string firstDuration = cell("RoomTable", 0, "录制时长");
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::string d = cell("RoomTable", 0, "录制时长");
            return !d.empty() && d != "0" && d != firstDuration;
        },
        seconds(15)))
        << vigilo.out();
    std::this_thread::sleep_for(seconds(2));

    vigilo.signal(SIGINT);
    ASSERT_EQ(vigilo.waitExit(seconds(40)), 0) << vigilo.out() << vigilo.err();
    vigilo.waitOutputClosed(seconds(2));
    const std::string out = vigilo.out();

    // One line per change, with the column titles trimmed and rows counted from 1.
    for (const std::string& line :
         std::vector<std::string>{"AccountTable row 1 added\n", "AccountTable row 1 昵称: " + account.nickname + "\n",
                                  "AccountTable row 1 更新了*个: 1\n", "RoomTable row 1 作者: 主播阿星\n",
                                  "RoomTable row 1 直播状态: 正在直播\n", "RoomTable row 1 录制状态: 正在录制\n",
                                  "RoomTable row 1 录制状态: 已停止录制\n",
                                  // Both monitors in the status bar while both run.
                                  "status: 视频监控中…… 直播录制中……\n", "直播监控停止\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << "missing: " << line;
    }

    // The final tables, keyed by the trimmed titles in column order.
    const auto doc = status();
    ASSERT_TRUE(doc);
    ASSERT_EQ((*doc)["AccountTable"].size(), 1u);
    ASSERT_EQ((*doc)["RoomTable"].size(), 1u);
    const auto& accountRow = (*doc)["AccountTable"][0];
    std::vector<std::string> titles;
    for (const auto& item : accountRow.items()) titles.push_back(item.key());
    EXPECT_EQ(titles, (std::vector<std::string>{"主页链接", "作者UID", "sec_uid", "抖音id", "昵称", "粉丝数", "作品数",
                                                "最新作品", "更新了*个", "最新作品ID", "作品无水印链接"}));
    EXPECT_EQ(accountRow["作品数"], "2");
    EXPECT_EQ(accountRow["更新了*个"], "1");
    EXPECT_EQ(accountRow["最新作品ID"], post.awemeId);
    const auto& roomRow = (*doc)["RoomTable"][0];
    EXPECT_EQ(roomRow["作者"], "主播阿星");
    EXPECT_EQ(roomRow["room_id"], roomId);
    // The recording was stopped while the owner was still live: the row says both, with the
    // last figures kept.
    EXPECT_EQ(roomRow["直播状态"], "正在直播");
    EXPECT_EQ(roomRow["录制状态"], "已停止录制");
    EXPECT_NE(roomRow["录制时长"], "0");
    EXPECT_TRUE(roomRow.contains("录制状态") && roomRow.contains("录制大小")) << roomRow.dump();
    if (HasFailure()) std::cerr << out << vigilo.err();

    // The recording was finished and collected, and it plays.
    const fs::path recording = home_ / "download" / "主播阿星.mp4";
    EXPECT_NE(out.find("recording saved: " + recording.string() + "\n"), std::string::npos) << out;
    // vigilo.log keeps it too, with the events of the run and its end.
    const auto logLines = stampedLines(readBytes(home_ / "vigilo.log"));
    for (const std::string& start : {"recording saved: " + recording.string(), std::string("event recording_started: "),
                                     std::string("event recording_ended: "), std::string("event post_saved: "),
                                     std::string("vigilo exiting: SIGINT, exit status 0")})
        EXPECT_NE(
            std::find_if(logLines.begin(), logLines.end(), [&](const std::string& l) { return l.starts_with(start); }),
            logLines.end())
            << start;
    const auto duration = probeDuration(recording);
    ASSERT_TRUE(duration) << recording;
    EXPECT_GT(*duration, 1.0);
    for (const auto& entry : fs::directory_iterator(home_))
        EXPECT_NE(entry.path().extension(), ".mp4") << "left behind: " << entry.path();
    // The period given on the command line is kept as the window keeps its choice.
    Settings kept(home_ / "settings.json");
    ASSERT_TRUE(kept.load());
    EXPECT_EQ(kept.livePeriodMinutes(), 30);
}

TEST_F(Headless, SecondSignalExitsAtOnceAndLeavesTheRecorderRunning) {
    ASSERT_TRUE(sim::Simulator::ffmpegAvailable());
    const std::string roomId = "7200000000000000022";
    sim_.addRoom(testRoom(roomId, "慢慢录"));
    sim_.goLiveWithStream(roomId);
    sim_.setNotice(notice(ownVersion(), "运营中", "", ""));
    // A recorder that never sees the quit key, so the stop sequence has to wait for it.
    const fs::path deaf = dir_ / "deaf-ffmpeg";
    writeBytes(deaf, "#!/bin/sh\nexec ffmpeg \"$@\" </dev/null\n");
    fs::permissions(deaf, fs::perms::owner_all);
    writeBytes(dir_ / "rooms.txt", sim_.roomShareLink(roomId) + "\r\n");

    Child vigilo(args({"--rooms", (dir_ / "rooms.txt").string(), "--status-json", (dir_ / "status.json").string()}),
                 env({{"VIGILO_FFMPEG", deaf.string()}}));
    const fs::path recording = home_ / "慢慢录.mp4";
    auto size = [&] {
        std::error_code ec;
        const auto s = fs::file_size(recording, ec);
        return ec ? 0 : s;
    };
    ASSERT_TRUE(waitUntil([&] { return size() > 0; }, seconds(20))) << vigilo.out() << vigilo.err();

    vigilo.signal(SIGINT);
    ASSERT_TRUE(waitUntil([&] { return vigilo.err().find("停止录制") != std::string::npos; }, seconds(5)));
    vigilo.signal(SIGTERM);
    ASSERT_EQ(vigilo.waitExit(seconds(3)), 128 + SIGTERM) << vigilo.err();

    // The recorder outlives the program and keeps writing its file.
    const auto atExit = size();
    EXPECT_TRUE(waitUntil([&] { return size() > atExit; }, seconds(10)));
    sim_.endShow(roomId);  // the recorder ends at the end of its input
}

TEST_F(Headless, SecondInstanceRefusedAndDurationEndsTheRun) {
    const std::string roomId = "7200000000000000033";
    sim_.addRoom(testRoom(roomId, "还没开播"));
    sim_.setNotice(notice(ownVersion(), "运营中", "", ""));
    // Without --rooms the room list comes from the link-box file.
    writeBytes(home_ / "文件2.txt", sim_.roomShareLink(roomId) + "\r\n");

    Child first(args({"--duration", "4", "--status-json", (dir_ / "status.json").string(), "--verbose"}), env());
    ASSERT_TRUE(first.waitOut("RoomTable row 1 added", seconds(15))) << first.err();

    const RunResult second = runToEnd(args({}), env(), seconds(20));
    EXPECT_EQ(second.status, 0);
    EXPECT_NE(second.err.find("友情提醒: 软件已启动！"), std::string::npos) << second.err;
    EXPECT_EQ(second.out, "");

    ASSERT_EQ(first.waitExit(seconds(20)), 0) << first.err();
    EXPECT_NE(first.err().find("--duration"), std::string::npos) << first.err();
    EXPECT_EQ(cell("RoomTable", 0, "作者"), "还没开播");
    EXPECT_EQ(cell("RoomTable", 0, "直播状态"), "已下播|未直播");
    EXPECT_TRUE(fs::is_directory(home_ / "download"));
}

// Without --verbose the output is what a terminal or the journal wants: the log and the
// events, no cell or status churn; the log also lands in vigilo.log, alert-only rooms are
// kept, and the push receivers are announced.
TEST_F(Headless, QuietByDefaultWithTheLogInItsFile) {
    const std::string roomId = "7200000000000000044";
    sim_.addRoom(testRoom(roomId, "安静的房间"));
    // On air: its alert goes through the program's event stream to the webhook.
    sim_.goLiveWithStream(roomId);
    sim_.setNotice(notice(ownVersion(), "运营中", "", ""));
    writeBytes(dir_ / "rooms.txt", sim_.roomShareLink(roomId) + "\r\n");
    sim::PushReceiver hook;
    ASSERT_TRUE(hook.start());

    const RunResult r =
        runToEnd(args({"--rooms", (dir_ / "rooms.txt").string(), "--status-json", (dir_ / "status.json").string(),
                       "--duration", "3", "--notify-only", roomId, "--notify-only", "7200000000000000055"}),
                 env({{"VIGILO_WEBHOOK_URL", hook.url()}}), seconds(40));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("events go to: webhook"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("room " + roomId + ": alerts only, no recording"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("row 1"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("status:"), std::string::npos) << r.out;
    // The status file is as full as ever.
    EXPECT_EQ(cell("RoomTable", 0, "作者"), "安静的房间");
    EXPECT_EQ(cell("RoomTable", 0, "录制状态"), "仅提醒");
    ASSERT_TRUE(hook.waitFor(1, seconds(10)));
    const nlohmann::json pushed = nlohmann::json::parse(hook.requests().at(0).body, nullptr, false);
    EXPECT_EQ(pushed.value("type", ""), "room_live") << hook.requests().at(0).body;
    EXPECT_NE(hook.requests().at(0).body.find("安静的房间"), std::string::npos) << hook.requests().at(0).body;
    EXPECT_NE(hook.requests().at(0).body.find(roomId), std::string::npos) << hook.requests().at(0).body;

    // The file has what the terminal printed, each line with its full time; the program's
    // start and end are in both.
    const auto logLines = stampedLines(readBytes(home_ / "vigilo.log"));
    ASSERT_FALSE(logLines.empty());
    for (const std::string& line : logLines) EXPECT_NE(r.out.find(line + "\n"), std::string::npos) << line;
    EXPECT_EQ(logLines.front().rfind("vigilo " + ownVersion() + " starting (pid ", 0), 0u) << logLines.front();
    EXPECT_NE(r.out.find("watching 0 accounts and 1 room; events go to: webhook\n"), std::string::npos) << r.out;
    EXPECT_EQ(logLines.back(), "vigilo exiting: --duration reached, exit status 0");
    EXPECT_EQ(parseSettings(readBytes(home_ / "settings.json")).notifyOnlyRooms,
              (std::set<std::string>{roomId, "7200000000000000055"}));

    // The choice outlives the run until --record takes it back.
    const RunResult again = runToEnd(
        args({"--rooms", (dir_ / "rooms.txt").string(), "--duration", "1", "--record", roomId}), env(), seconds(40));
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(parseSettings(readBytes(home_ / "settings.json")).notifyOnlyRooms,
              (std::set<std::string>{"7200000000000000055"}));
}

TEST_F(Headless, AVideoThatFailedIsSavedByTheNextRunAfterAKill) {
    const sim::Account account = testAccount();
    sim_.addAccount(account);
    sim_.setNotice(notice(ownVersion(), "运营中", "", ""));
    writeBytes(dir_ / "accounts.txt", sim_.accountShareLink(account.secUid) + "\n");
    const auto run = args({"--accounts", (dir_ / "accounts.txt").string(), "--duration", "120"});
    const sim::Post post{"7300000000000000005", "没保存的作品", "FLV" + std::string(100000, 'w') + "end"};
    const fs::path video = home_ / "下载" / account.nickname / (post.awemeId + "-" + post.desc + ".mp4");
    const fs::path pending = home_ / "pending-downloads.json";
    {
        sim_.setFault(sim::kVideo, sim::Fault::Http500);
        Child first(run, env());
        ASSERT_TRUE(first.waitOut("：监控开始", seconds(20))) << first.err();
        sim_.addPost(account.secUid, post);
        ASSERT_TRUE(first.waitOut(account.nickname + "：视频下载失败 " + post.awemeId, seconds(20))) << first.out();
        ASSERT_TRUE(waitUntil([&] { return readBytes(pending).find(post.awemeId) != std::string::npos; }, seconds(10)));
        first.signal(SIGKILL);
        ASSERT_TRUE(first.waitExit(seconds(10)));
    }
    EXPECT_FALSE(fs::exists(video));

    // The next run re-registers the account (nothing new to it) and resumes the video.
    sim_.clearFaults();
    Child second(run, env());
    ASSERT_TRUE(waitUntil([&] { return readBytes(video) == post.videoBytes; }, seconds(60))) << second.out();
    ASSERT_TRUE(second.waitOut(account.nickname + "：视频下载成功 " + post.awemeId, seconds(10))) << second.out();
    EXPECT_TRUE(waitUntil([&] { return readBytes(pending).find(post.awemeId) == std::string::npos; }, seconds(10)));
    second.signal(SIGINT);
    EXPECT_EQ(second.waitExit(seconds(30)), 0) << second.err();
}

TEST_F(Headless, PostsMadeWhileTheProgramWasKilledAreSavedByTheNextRun) {
    const sim::Account account = testAccount();
    sim_.addAccount(account);
    sim_.setNotice(notice(ownVersion(), "运营中", "", ""));
    writeBytes(dir_ / "accounts.txt", sim_.accountShareLink(account.secUid) + "\n");
    const auto run = args({"--accounts", (dir_ / "accounts.txt").string(), "--duration", "120"});
    const fs::path folder = home_ / "下载" / account.nickname;
    {
        Child first(run, env());
        ASSERT_TRUE(first.waitOut("：监控开始", seconds(20))) << first.err();
        ASSERT_TRUE(waitUntil(
            [&] { return readBytes(home_ / "seen-posts.json").find(account.posts[0].awemeId) != std::string::npos; },
            seconds(20)));
        first.signal(SIGKILL);
        ASSERT_TRUE(first.waitExit(seconds(10)));
    }
    const sim::Post down[] = {{"7300000000000000007", "停机时一", "FLV" + std::string(70000, 'a') + "one"},
                              {"7300000000000000008", "停机时二", "FLV" + std::string(90000, 'b') + "two"}};
    for (const auto& post : down) sim_.addPost(account.secUid, post);

    Child second(run, env());
    for (const auto& post : down) {
        const fs::path video = folder / (post.awemeId + "-" + post.desc + ".mp4");
        ASSERT_TRUE(waitUntil([&] { return readBytes(video) == post.videoBytes; }, seconds(60))) << second.out();
    }
    ASSERT_TRUE(second.waitOut(account.nickname + "：有更新2条", seconds(10))) << second.out();
    second.signal(SIGINT);
    EXPECT_EQ(second.waitExit(seconds(30)), 0) << second.err();
    // The post there before the first run is still not downloaded.
    EXPECT_FALSE(fs::exists(folder / (account.posts[0].awemeId + "-" + account.posts[0].desc + ".mp4")));
}

TEST_F(Headless, EveryPostOfABurstIsSavedByTheNextRunAfterAKillOrAStopMidDownload) {
    const sim::Account account = testAccount();
    sim_.addAccount(account);
    sim_.setNotice(notice(ownVersion(), "运营中", "", ""));
    writeBytes(dir_ / "accounts.txt", sim_.accountShareLink(account.secUid) + "\n");
    const auto run = args({"--accounts", (dir_ / "accounts.txt").string(), "--duration", "120"});
    const fs::path folder = home_ / "下载" / account.nickname;
    std::random_device seeds;
    std::mt19937 random(seeds());
    int round = 0;
    for (const int signo : {SIGKILL, SIGTERM}) {
        // Each burst a video server that takes about a second a video, cut at a random moment.
        const int killAfterMs = std::uniform_int_distribution<int>(0, 3000)(random);
        SCOPED_TRACE(std::string(signo == SIGKILL ? "SIGKILL" : "SIGTERM") + " " + std::to_string(killAfterMs) +
                     " ms in");
        std::vector<sim::Post> burst;
        for (int i = 4; i >= 1; --i) {
            const std::string id = "73100000000000000" + std::to_string(round) + std::to_string(i);
            burst.push_back({id, "连发" + id.substr(id.size() - 2),
                             "FLV" + std::string(100000 + i, static_cast<char>('a' + i)) + id});
        }
        ++round;
        sim_.setVideoRate(100 * 1024);
        const size_t videosBefore = sim_.requestCount(sim::kVideo);
        {
            Child first(run, env());
            ASSERT_TRUE(first.waitOut("：监控开始", seconds(20))) << first.err();
            sim_.editAccount(account.secUid,
                             [&](sim::Account& a) { a.posts.insert(a.posts.begin(), burst.begin(), burst.end()); });
            ASSERT_TRUE(sim_.waitForRequests(sim::kVideo, videosBefore + 1, seconds(30))) << first.out();
            std::this_thread::sleep_for(std::chrono::milliseconds(killAfterMs));
            first.signal(signo);
            ASSERT_TRUE(first.waitExit(seconds(30)));
            if (signo == SIGTERM) {
                EXPECT_EQ(first.exitStatus(), 0) << first.err();
            }
        }
        sim_.setVideoRate(0);
        Child second(run, env());
        for (const auto& post : burst) {
            const fs::path video = folder / (post.awemeId + "-" + post.desc + ".mp4");
            ASSERT_TRUE(waitUntil([&] { return readBytes(video) == post.videoBytes; }, seconds(60))) << second.out();
        }
        EXPECT_TRUE(waitUntil([&] { return readBytes(home_ / "pending-downloads.json") == "{\"downloads\":[\n]}\n"; },
                              seconds(20)));
        second.signal(SIGINT);
        EXPECT_EQ(second.waitExit(seconds(30)), 0) << second.err();
        // Nothing half-written is left beside the videos: each has its whole description and
        // its cover, and there is nothing else.
        std::size_t files = 0;
        for (const auto& entry : fs::directory_iterator(folder)) {
            ++files;
            const fs::path& path = entry.path();
            EXPECT_TRUE(path.extension() == ".mp4" || path.extension() == ".json" || path.extension() == ".jpg")
                << path;
            EXPECT_TRUE(fs::exists(fs::path(path).replace_extension(".mp4"))) << path;
            if (path.extension() == ".json") {
                EXPECT_TRUE(nlohmann::json::accept(readBytes(path))) << path;
            }
        }
        EXPECT_EQ(files, 3u * burst.size() * static_cast<std::size_t>(round));  // the bursts so far
    }
}

// What a person reads in the terminal or the journal: no countdown, no "监控账号无更新", each
// account's report once per change of its counter, and the program's start and exit; the file
// keeps every cycle's report with its time.
TEST_F(Headless, TheTerminalTellsEachChangeOnce) {
    const sim::Account account = testAccount();
    sim_.addAccount(account);
    sim_.setNotice(notice(ownVersion(), "运营中", "", ""));
    writeBytes(dir_ / "accounts.txt", sim_.accountShareLink(account.secUid) + "\n");
    Child vigilo(args({"--accounts", (dir_ / "accounts.txt").string(), "--duration", "120"}), env());
    ASSERT_TRUE(vigilo.waitOut("：监控开始", seconds(20))) << vigilo.err();
    const std::string report1 = account.nickname + "：有更新1条";
    const std::string report2 = account.nickname + "：有更新2条";
    auto inFile = [&](const std::string& line) {
        return countOf(readBytes(home_ / "vigilo.log"), " " + line + "\r\n");
    };
    // Several cycles with each counter: the file has each report every cycle.
    sim_.addPost(account.secUid, {"7300000000000000011", "变化一", "FLV one"});
    ASSERT_TRUE(waitUntil([&] { return inFile(report1) >= 3; }, seconds(30))) << vigilo.out();
    sim_.addPost(account.secUid, {"7300000000000000012", "变化二", "FLV two"});
    ASSERT_TRUE(waitUntil([&] { return inFile(report2) >= 3; }, seconds(30))) << vigilo.out();
    vigilo.signal(SIGTERM);
    ASSERT_EQ(vigilo.waitExit(seconds(30)), 0) << vigilo.err();
    vigilo.waitOutputClosed(seconds(2));
    const std::string out = vigilo.out();

    EXPECT_EQ(countOf(out, report1 + "\n"), 1u) << out;
    EXPECT_EQ(countOf(out, report2 + "\n"), 1u) << out;
    EXPECT_LT(out.find(report1), out.find(report2));
    EXPECT_EQ(out.find("监控账号无更新"), std::string::npos) << out;
    for (const std::string& line : nonEmptyLines(out))
        EXPECT_FALSE(std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; })) << line;
    EXPECT_EQ(out.rfind("vigilo " + ownVersion() + " starting (pid ", 0), 0u) << out;
    EXPECT_NE(out.find("watching 1 account and 0 rooms; no event receiver\n"), std::string::npos) << out;
    EXPECT_NE(out.find("event post_saved: " + account.nickname + " 发布了新作品 — 变化二"), std::string::npos) << out;
    EXPECT_TRUE(out.ends_with("vigilo exiting: SIGTERM, exit status 0\n")) << out;

    // The file: every line stamped, the countdown left out, the events and the end in it.
    const auto lines = stampedLines(readBytes(home_ / "vigilo.log"));
    for (const std::string& line : lines)
        EXPECT_FALSE(std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; })) << line;
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [](const std::string& l) { return l.starts_with("event post_saved: "); }),
              lines.end());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "vigilo exiting: SIGTERM, exit status 0");
}

// --notify-test beside nothing else: one line per receiver, whether it arrived, its status and
// time; exit status 1 when one did not.
TEST_F(Headless, NotifyTestSaysPerReceiverWhetherItArrived) {
    sim::PushReceiver answering, closed;
    ASSERT_TRUE(answering.start());
    ASSERT_TRUE(closed.start());
    const std::string closedUrl = closed.url();
    closed.stop();
    const RunResult r =
        runToEnd({kBinary, "--notify-test"},
                 env({{"VIGILO_WEBHOOK_URL", answering.url()}, {"VIGILO_NOTIFY_URL", closedUrl}}), seconds(30));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    const auto lines = nonEmptyLines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0].rfind("ntfy (VIGILO_NOTIFY_URL): NOT arrived, ", 0), 0u) << lines[0];
    // "…, 0.03 s": the time in seconds with two decimals (no std::regex: see stampedLines).
    const std::string arrived = "webhook (VIGILO_WEBHOOK_URL): arrived, HTTP 200, ";
    ASSERT_EQ(lines[1].rfind(arrived, 0), 0u) << lines[1];
    const std::string took = lines[1].substr(arrived.size());
    const auto dot = took.find('.');
    EXPECT_TRUE(dot != std::string::npos && dot > 0 && took.size() == dot + 5 && took.ends_with(" s") &&
                std::all_of(took.begin(), took.begin() + dot, ::isdigit) && ::isdigit(took[dot + 1]) &&
                ::isdigit(took[dot + 2]))
        << lines[1];
    ASSERT_EQ(answering.count(), 1u);
    EXPECT_NE(answering.requests()[0].body.find("\"type\":\"test\""), std::string::npos);

    const RunResult none = runToEnd({kBinary, "--notify-test"}, env(), seconds(30));
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no event receiver is set"), std::string::npos) << none.err;
}

}  // namespace
}  // namespace vigilo::e2e
