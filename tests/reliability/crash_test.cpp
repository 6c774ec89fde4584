// The program killed with SIGKILL at random moments while it writes: every file under its
// final name is then its old content or its new content, never a part of either. Temporary
// files may remain, but only under their own names.
#include <gtest/gtest.h>

#include <thread>

#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/linkfile.h"
#include "live/monitor.h"
#include "reliability/child.h"
#include "reliability/fixture.h"
#include "text/charset.h"
#include "works/accountfile.h"
#include "works/engine.h"
#include "works/monitor.h"

namespace vigilo::reliability {
namespace {

constexpr int kRounds = 40;

// Random moments, from at once to `most`, the same on every run.
class Moments {
public:
    explicit Moments(std::chrono::microseconds most) : most_(most) {}
    std::chrono::microseconds next() {
        return std::chrono::microseconds(std::uniform_int_distribution<long>(0, most_.count())(rng_));
    }

private:
    std::mt19937 rng_{20240601};
    std::chrono::microseconds most_;
};

// The names in `dir` other than `finals`; each must be a temporary name.
std::vector<std::string> otherNames(const fs::path& dir, const std::set<std::string>& finals) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (!finals.count(name)) names.push_back(name);
    }
    return names;
}

struct Tally {
    int kills = 0, leftTemp = 0;
    void print(const char* what) const {
        std::printf("[crash] %s: %d kills, %d left a temporary file, 0 partial files\n", what, kills, leftTemp);
    }
};

// Two versions of a file, the child writing them in turn until it is killed.
template <typename Write>
Tally killWhileRewriting(const fs::path& file, const std::string& oldBytes, const std::string& newBytes,
                         const char* tempMark, Write write, std::chrono::microseconds most) {
    Tally tally;
    Moments moments(most);
    const fs::path dir = file.parent_path();
    for (int round = 0; round < kRounds; ++round) {
        const pid_t pid = forkWork([&] {
            for (int i = 0;; ++i) write(i % 2 == 0 ? 1 : 0);
        });
        EXPECT_GT(pid, 0);
        if (killAfter(pid, moments.next())) ++tally.kills;
        const std::string now = readBytes(file);
        EXPECT_TRUE(now == oldBytes || now == newBytes) << "round " << round << ": " << now.size() << " bytes";
        for (const std::string& name : otherNames(dir, {file.filename().string()})) {
            EXPECT_NE(name.find(tempMark), std::string::npos) << name;
            fs::remove(dir / name);
            ++tally.leftTemp;
        }
    }
    return tally;
}

AccountEntry entry(const std::string& value) {
    std::string longDesc;
    while (longDesc.size() < 4000) longDesc += value;
    return {"https://v.douyin.com/x/",
            "73519046218",
            "MS4wLjABAAAA",
            "short",
            "昵称" + value,
            "1.5w",
            value,
            longDesc,
            "69" + value,
            "http://play/" + value};
}

TEST(CrashSafety, AccountFileIsOldOrNewAfterAKillDuringItsWrite) {
    vigilo::testing::TempDir dir;
    const fs::path file = dir.path() / "抖音账号信息.ini";
    // Other accounts' sections make every write a rewrite of a sizeable file.
    std::string others;
    for (int i = 0; i < 2000; ++i)
        others += "[" + std::to_string(100000 + i) + "]\r\n昵称=" + std::to_string(i) + "\r\n";
    writeBytes(file, utf8ToGbk(others));
    const AccountEntry versions[2] = {entry("旧"), entry("新")};
    ASSERT_TRUE(writeAccountEntry(file, versions[1]));
    const std::string newBytes = readBytes(file);
    ASSERT_TRUE(writeAccountEntry(file, versions[0]));
    const std::string oldBytes = readBytes(file);
    ASSERT_NE(oldBytes, newBytes);

    const Tally tally = killWhileRewriting(
        file, oldBytes, newBytes, ".tmp.", [&](int v) { writeAccountEntry(file, versions[v]); }, 20000us);
    tally.print("account file");
    EXPECT_GT(tally.kills, kRounds / 2);
}

TEST(CrashSafety, LinkFileIsOldOrNewAfterAKillDuringItsSave) {
    vigilo::testing::TempDir dir;
    const fs::path file = dir.path() / "文件1.txt";
    std::string texts[2];
    for (int i = 0; i < 40000; ++i) {
        texts[0] += "https://v.douyin.com/旧" + std::to_string(i) + "/\r\n";
        texts[1] += "https://v.douyin.com/新" + std::to_string(i) + "/\r\n";
    }
    ASSERT_TRUE(writeLinkFile(file, texts[1]));
    const std::string newBytes = readBytes(file);
    ASSERT_TRUE(writeLinkFile(file, texts[0]));
    const std::string oldBytes = readBytes(file);

    const Tally tally = killWhileRewriting(
        file, oldBytes, newBytes, ".tmp.", [&](int v) { writeLinkFile(file, texts[v]); }, 50000us);
    tally.print("link file");
    EXPECT_GT(tally.kills, kRounds / 2);
}

TEST(CrashSafety, VideoIsOldOrNewAfterAKillDuringItsDownload) {
    sim::Simulator sim;
    ASSERT_TRUE(startNamedSimulator(sim));
    Endpoints endpoints;
    endpoints.account = endpoints.live = sim.baseUrl();
    // Two posts whose videos the child downloads in turn under one file name.
    std::string bytes[2] = {"FLV" + std::string(4u << 20, 'o'), "FLV" + std::string(4u << 20, 'n')};
    bytes[0][3] = 'O';
    bytes[1][3] = 'N';
    std::string play[2];
    for (int v = 0; v < 2; ++v) {
        sim::Account a = makeAccount(std::to_string(v + 1), "号");
        a.posts = {{"7100000000000000" + std::to_string(v), "post", bytes[v]}};
        sim.addAccount(a);
        const PostList list = requestPostList(endpoints, a.secUid);
        ASSERT_FALSE(list.items.empty());
        play[v] = list.items[0].playAddress;
        ASSERT_FALSE(play[v].empty());
    }

    vigilo::testing::TempDir dir;
    RecordingUserInterface ui;
    AppContext ctx(Paths::forDirectory(dir.path()), Pacing{}, endpoints, ui);
    WorksMonitor works(ctx);
    const fs::path folder = dir.path() / "下载" / "号";
    const fs::path file = folder / "7-hello.mp4";
    works.downloadNewestVideo(play[0], "hello", "7", "号");
    ASSERT_EQ(readBytes(file), bytes[0]);

    // A download over loopback takes a few milliseconds of a child's life, most of which goes on
    // starting up and fetching the play page: each kill is aimed at a moment after the child's
    // temporary file shows, so the kills land in downloads rather than around them.
    const auto partShows = [&] {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec))
            if (entry.path().extension() == ".part") return true;
        return false;
    };
    Tally tally;
    Moments moments(20000us);
    for (int round = 0; round < kRounds; ++round) {
        const pid_t pid = forkWork([&] {
            for (int i = 1;; ++i) works.downloadNewestVideo(play[i % 2], "hello", "7", "号");
        });
        ASSERT_GT(pid, 0);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!partShows() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(200us);
        if (killAfter(pid, moments.next())) ++tally.kills;
        const std::string now = readBytes(file);
        EXPECT_TRUE(now == bytes[0] || now == bytes[1]) << "round " << round << ": " << now.size() << " bytes";
        // The description beside the video is whole or absent, never half written.
        const fs::path description = folder / "7-hello.json";
        if (fs::exists(description)) {
            const std::string text = readBytes(description);
            EXPECT_TRUE(text.find("\"id\": \"7\"") != std::string::npos && text.size() > 2 &&
                        text.substr(text.size() - 2) == "}\n")
                << "round " << round << ": " << text;
        }
        for (const std::string& name :
             otherNames(folder, {file.filename().string(), description.filename().string()})) {
            EXPECT_EQ(name.rfind(".vigilo-", 0), 0u) << name;
            EXPECT_EQ(name.substr(name.size() - 5), ".part") << name;
            fs::remove(folder / name);
            ++tally.leftTemp;
        }
    }
    tally.print("video download");
    EXPECT_GT(tally.kills, kRounds / 2);
    EXPECT_GT(tally.leftTemp, 0) << "no kill landed during a download";
}

TEST(CrashSafety, EveryRecordingIsWholeInOnePlaceAfterAKillDuringTheCollection) {
    Tally tally;
    Moments moments(60000us);
    std::set<std::string> finals;
    for (int round = 0; round < kRounds; ++round) {
        vigilo::testing::TempDir dir;
        const fs::path collection = dir.path() / "download";
        std::vector<std::pair<std::string, std::string>> recordings;
        for (int i = 0; i < 40; ++i) {
            const std::string name = "主播" + std::to_string(i) + ".mp4";
            const std::string bytes = name + std::string(20000 + i, static_cast<char>('a' + i % 26));
            writeBytes(dir.path() / name, bytes);
            recordings.emplace_back(name, bytes);
        }
        const pid_t pid = forkWork([&] {
            RecordingUserInterface ui;
            AppContext ctx(Paths::forDirectory(dir.path()), Pacing{}, Endpoints{}, ui);
            LiveMonitor live(ctx);
            live.stopRecording();
            ::pause();  // wait for the kill after the work too
        });
        ASSERT_GT(pid, 0);
        if (killAfter(pid, moments.next())) ++tally.kills;
        int moved = 0;
        for (const auto& [name, bytes] : recordings) {
            const bool here = fs::exists(dir.path() / name), there = fs::exists(collection / name);
            // Whole, in exactly one of the two places.
            EXPECT_NE(here, there) << name;
            EXPECT_EQ(readBytes((there ? collection : dir.path()) / name), bytes) << name;
            moved += there;
        }
        for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
            const std::string name = e.path().filename().string();
            EXPECT_TRUE(e.is_directory() || std::any_of(recordings.begin(), recordings.end(),
                                                        [&](const auto& r) { return r.first == name; }))
                << e.path();
        }
        if (moved > 0 && moved < static_cast<int>(recordings.size())) ++tally.leftTemp;
    }
    std::printf("[crash] collection: %d kills, %d in the middle of the moves, every recording whole in one place\n",
                tally.kills, tally.leftTemp);
    EXPECT_GT(tally.kills, kRounds / 2);
}

}  // namespace
}  // namespace vigilo::reliability
