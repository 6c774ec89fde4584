// The real `vigilo --headless` against a hostile simulated service: what it prints, the memory
// it holds and the files it leaves.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "child.h"
#include "control/startup.h"
#include "headless_fixture.h"
#include "net/http.h"
#include "sim/simulator.h"

namespace vigilo::e2e {
namespace {

using std::chrono::seconds;

// The largest resident size the process reached so far, in KiB; -1 when it cannot be read.
long peakKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

std::vector<std::string> partFilesBelow(const fs::path& root) {
    std::vector<std::string> parts;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->path().extension() == ".part") parts.push_back(it->path().string());
    return parts;
}

sim::Account account(int n, const std::string& nickname) {
    sim::Account a;
    a.uid = "88000000" + std::to_string(1000 + n);
    a.secUid = "MS4wLjABAAAAhostile" + std::to_string(1000 + n);
    a.shortId = std::to_string(7000 + n);
    a.uniqueId = "u" + std::to_string(n);
    a.nickname = nickname;
    a.followerCount = 10;
    a.posts = {{"7500000000000" + std::to_string(100000 + n), "作品", "video bytes"}};
    return a;
}

class HostileHeadless : public HeadlessFixture {
protected:
    void SetUp() override {
        HeadlessFixture::SetUp();
        if (HasFatalFailure()) return;
        sim_.setNotice("版本号【" + ownVersion() + "】\r\n运营状态【运营中】\r\n公告栏【】\r\n更新软件地址【】\r\n");
    }
    fs::path writeAccounts(const std::vector<sim::Account>& accounts) {
        std::string links;
        for (const auto& a : accounts) {
            sim_.addAccount(a);
            links += sim_.accountShareLink(a.secUid) + "\n";
        }
        writeBytes(dir_ / "accounts.txt", links);
        return dir_ / "accounts.txt";
    }
};

bool holdsControl(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) return true;
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(text[i + 1]) <= 0x9F)
            return true;
    }
    return false;
}

// A nickname, an announcement and an update address that try to drive the terminal reach it
// escaped, on standard output and standard error alike.
TEST_F(HostileHeadless, NoControlSequenceFromTheServiceReachesTheTerminal) {
    const std::string hostile =
        "\x1b[2J\x1b]0;owned\x07\x1b]52;c;ZXZpbA==\x07\xc2\x9b"
        "31m";
    const fs::path accounts = writeAccounts({account(1, "坏" + hostile)});
    // --verbose: the cells, where the nickname shows, are printed too.
    Child run(args({"--accounts", accounts.string(), "--duration", "30", "--verbose"}), env());
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.waitOut("昵称: 坏", seconds(60))) << run.out() << run.err();
    run.signal(SIGINT);
    ASSERT_TRUE(run.waitExit(seconds(60)).has_value());
    EXPECT_FALSE(holdsControl(run.out())) << run.out();
    EXPECT_FALSE(holdsControl(run.err())) << run.err();
    EXPECT_NE(run.out().find("\\u009B31m"), std::string::npos) << run.out();

    sim_.setNotice("版本号【9.9.9.9】\r\n运营状态【运营中】\r\n公告栏【看这里" + hostile +
                   "】\r\n更新软件地址【http://x/" + hostile + "\nforged line】\r\n");
    const RunResult update = runToEnd(args({"--accounts", accounts.string()}), env(), seconds(60));
    EXPECT_EQ(update.status, 3) << update.err;
    EXPECT_FALSE(holdsControl(update.out)) << update.out;
    EXPECT_FALSE(holdsControl(update.err)) << update.err;
    EXPECT_NE(update.err.find("更新软件地址：http://x/\\x1B[2J\\x1B]0;owned\\x07\\x1B]52;c;ZXZpbA==\\x07\\u009B31m"
                              "\\x0Aforged line\n"),
              std::string::npos)
        << update.err;
    EXPECT_NE(update.err.find("看这里\\x1B[2J"), std::string::npos) << update.err;
}

// Forty accounts whose every answer is as large as the cap allows, sent slowly so that they
// overlap: the program reads them all, and its peak memory stays far under 300 MB, because
// the answer bytes held at once are bounded whatever the number of accounts.
TEST_F(HostileHeadless, LargestAllowedAnswersFromManyAccountsKeepMemoryBounded) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's shadow memory and quarantine are not the program's, and parsing 8 MB answers
    // many times slower makes them wait out their time-outs: the bound is the one of the program
    // as users run it.
    GTEST_SKIP() << "the memory bound is measured in the normal build";
#endif
    constexpr int kAccounts = 40;
    std::vector<sim::Account> accounts;
    for (int i = 0; i < kAccounts; ++i) accounts.push_back(account(i, "大号" + std::to_string(i)));
    const fs::path list = writeAccounts(accounts);
    const sim::HostileAnswer largest{sim::HostileKind::LongArray, kMaxJsonAnswerBytes - 4096, std::size_t{4} << 20};
    sim_.setHostileAnswer(sim::kProfile, largest);
    sim_.setHostileAnswer(sim::kPosts, largest);

    Child run(args({"--accounts", list.string(), "--status-json", (dir_ / "status.json").string()}), env());
    ASSERT_TRUE(run.started());
    // The initial queries, then one whole pass over every account.
    // The pass's closing line is the log's, not the terminal's, which leaves it out.
    ASSERT_TRUE(waitUntil([&] { return readBytes(home_ / "vigilo.log").find("监控账号无更新") != std::string::npos; },
                          seconds(400)))
        << run.out() << run.err();
    const long peak = peakKiB(run.pid());
    run.signal(SIGINT);
    ASSERT_TRUE(run.waitExit(seconds(60)).has_value());

    const auto status = nlohmann::ordered_json::parse(readBytes(dir_ / "status.json"), nullptr, false);
    ASSERT_FALSE(status.is_discarded());
    ASSERT_EQ(status["AccountTable"].size(), static_cast<std::size_t>(kAccounts));
    for (int i = 0; i < kAccounts; ++i) EXPECT_EQ(status["AccountTable"][i]["昵称"], "大号" + std::to_string(i));
    EXPECT_GE(sim_.requestCount(sim::kProfile), static_cast<std::size_t>(2 * kAccounts));

    ASSERT_GT(peak, 0);
    std::cout << "peak resident memory: " << peak / 1024 << " MB\n";
    RecordProperty("peak_kib", static_cast<int>(peak));
    EXPECT_LT(peak, 300L * 1024);
}

// A video that never ends, downloading when the program is told to stop: the program exits
// without waiting for it and takes its temporary file away.
TEST_F(HostileHeadless, AnEndlessDownloadLeavesNoTemporaryFileAfterExit) {
    const sim::Account a = account(7, "无尽");
    const fs::path list = writeAccounts({a});
    // Announced under the size cap, and far longer than the test lasts.
    sim_.setHostileAnswer(sim::kVideo, {sim::HostileKind::Endless, std::size_t{3} << 30, 256 * 1024});
    Child run(args({"--accounts", list.string()}), env());
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.waitOut("：监控开始", seconds(60))) << run.out() << run.err();
    sim_.addPost(a.secUid, {"7600000000000000007", "永远", "unused"});
    ASSERT_TRUE(waitUntil([&] { return !partFilesBelow(home_).empty(); }, seconds(60))) << run.out();
    run.signal(SIGINT);
    ASSERT_TRUE(run.waitExit(seconds(90)).has_value()) << run.err();
    EXPECT_EQ(partFilesBelow(home_), std::vector<std::string>{}) << run.err();
}

}  // namespace
}  // namespace vigilo::e2e
