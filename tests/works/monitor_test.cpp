#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/context.h"
#include "app/table.h"
#include "support/fixtures.h"
#include "text/charset.h"
#include "works/fixture.h"
#include "works/monitor.h"
#include "works/names.h"
#include "works/sidecars.h"

namespace vigilo {
namespace {

using std::chrono::milliseconds;

std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every regular file below `root`, relative to it.
std::vector<std::string> filesBelow(const fs::path& root) {
    std::vector<std::string> files;
    std::error_code ec;
    if (!fs::exists(root, ec)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(root, ec))
        if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), root).string());
    std::sort(files.begin(), files.end());
    return files;
}

// The shared account with two posts, the newer first.
sim::Account makeAccount(const std::string& key, const std::string& nickname, std::int64_t followers) {
    sim::Account a = testing::makeAccount(key, nickname);
    a.followerCount = followers;
    a.posts = {{"687233684575908942" + key, "最新 #话题 " + key, "FLV VIDEO-NEW-" + key},
               {"687233684575908900" + key, "更早 " + key, "FLV VIDEO-OLD-" + key}};
    return a;
}

class WorksMonitorTest : public ::testing::Test {
protected:
    // The video tests count the files of a download folder; the files kept beside a video are
    // turned on where a test looks at them.
    void SetUp() override {
        ::setenv("VIGILO_SIDECARS", "0", 1);
        ASSERT_TRUE(sim_.start());
    }

    // Built on first use, so a test can set the pacing first.
    AppContext& ctx() {
        if (!ctx_) {
            Endpoints endpoints;
            endpoints.account = sim_.baseUrl();
            endpoints.live = sim_.baseUrl();
            ctx_ = std::make_unique<AppContext>(Paths::forDirectory(dir_.path()), pacing_, endpoints, ui_);
            works_ = std::make_unique<WorksMonitor>(*ctx_);
        }
        return *ctx_;
    }
    WorksMonitor& works() {
        ctx();
        return *works_;
    }
    TableStore& table() { return ctx().accountTable; }

    void TearDown() override {
        if (!ctx_) return;
        stopMonitor();
        EXPECT_TRUE(waitFor([&] { return works_->monitorThreads() == 0; }));
        settle();
        works_.reset();
        ctx_.reset();
    }

    // Waits until the queries, polls, downloads and file writes started so far have ended.
    void settle() {
        EXPECT_TRUE(waitFor([&] { return ctx().accountRegistrationPool.pendingCount() == 0; }));
        EXPECT_TRUE(ctx().threads.waitIdle(std::chrono::seconds(20)));
    }

    void startMonitor() {
        ctx().worksStop = false;
        ctx().worksRunning = true;
        works().startMonitorThread();
    }
    void stopMonitor() {
        ctx().worksRunning = false;
        ctx().worksStop = true;
    }

    // The program ends and starts again on the same data folder: a new table and a new monitor.
    void restart() {
        if (!ctx_) return;
        stopMonitor();
        settle();
        works_.reset();
        ctx_.reset();
    }

    // Registers one more account in single mode and waits for its initial query.
    int registerOne(const sim::Account& account) {
        sim_.addAccount(account);
        works().registerAccounts(sim_.accountShareLink(account.secUid) + "\r\n", false);
        settle();
        return table().rowCount() - 1;
    }

    fs::path videoPath(const std::string& nickname, const std::string& id, const std::string& desc) const {
        return dir_.path() / "下载" / safeFileName(nickname) / videoFileName(id, desc);
    }

    std::vector<sim::RequestRecord> requestsTo(const char* endpoint) const {
        std::vector<sim::RequestRecord> found;
        for (const auto& r : sim_.requests())
            if (r.endpoint == endpoint) found.push_back(r);
        return found;
    }

    static std::string header(const sim::RequestRecord& r, const std::string& name) {
        for (const auto& [n, v] : r.headers)
            if (toLower(n) == toLower(name)) return v;
        return {};
    }
    static std::string toLower(std::string s) {
        for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    }

    TempDir dir_;
    sim::Simulator sim_;
    RecordingUserInterface ui_;
    Pacing pacing_ = Pacing{}.scaled(0.01);
    std::unique_ptr<AppContext> ctx_;
    std::unique_ptr<WorksMonitor> works_;
    std::mutex eventsMutex_;
};

TEST_F(WorksMonitorTest, MultiModeRebuildsTheTableAndWritesTheAccountFile) {
    const sim::Account a = makeAccount("1", "甲😀", 15000), b = makeAccount("2", "乙", 10000);
    sim_.addAccount(a);
    sim_.addAccount(b);
    const std::string linkA = sim_.accountShareLink(a.secUid), linkB = sim_.accountShareLink(b.secUid);
    table().setCell(table().appendRow(), acol::Link, "an earlier row");

    works().registerAccounts(linkA + "\r\n" + linkB + "\r\n", true);
    ASSERT_EQ(table().rowCount(), 2);
    settle();

    const sim::Account* accounts[] = {&a, &b};
    const std::string links[] = {linkA, linkB};
    const std::string followers[] = {"1.5w", "10000"};
    for (int row = 0; row < 2; ++row) {
        const sim::Account& acc = *accounts[row];
        const std::vector<std::string> expected = {
            links[row],     acc.uid, acc.secUid,        acc.shortId, acc.nickname,
            followers[row], "2",     acc.posts[0].desc, "0",         acc.posts[0].awemeId};
        auto cells = table().rowSnapshot(row);
        ASSERT_EQ(cells.size(), 11u);
        EXPECT_FALSE(cells[acol::PlayAddress].empty());
        cells.resize(10);
        EXPECT_EQ(cells, expected) << "row " << row;
    }

    // The post list goes out as GET with the mobile agent; the profile with the client's own.
    const auto posts = requestsTo(sim::kPosts);
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[0].method, "GET");
    EXPECT_NE(header(posts[0], "User-Agent").find("iPhone"), std::string::npos);
    const auto profiles = requestsTo(sim::kProfile);
    ASSERT_EQ(profiles.size(), 2u);
    EXPECT_EQ(header(profiles[0], "User-Agent").find("iPhone"), std::string::npos);

    // The account file: two sections of nine keys, in GBK with CR LF.
    const std::string bytes = readBytes(dir_.path() / "抖音账号信息.ini");
    EXPECT_NE(bytes.find(utf8ToGbk("最新作品链接=")), std::string::npos);
    const auto lines = splitLinesForTest(gbkToUtf8(bytes));
    ASSERT_EQ(lines.size(), 20u) << gbkToUtf8(bytes);
    for (int row = 0; row < 2; ++row) {
        const auto cells = table().rowSnapshot(row);
        auto at = std::find(lines.begin(), lines.end(), "[" + cells[acol::Uid] + "]");
        ASSERT_LE(at + 10, lines.end());
        std::vector<std::string> keys;
        for (auto it = at + 1; it != at + 10; ++it) keys.push_back(it->substr(0, it->find('=')));
        EXPECT_EQ(keys, (std::vector<std::string>{"分享链接", "sec_uid", "抖音ID", "昵称", "粉丝数", "作品数",
                                                  "最新作品标题", "最新作品id", "最新作品链接"}));
        EXPECT_EQ(at[1], "分享链接=" + cells[acol::Link]);
        EXPECT_EQ(at[5], "粉丝数=" + cells[acol::Followers]);
        EXPECT_EQ(at[9], "最新作品链接=" + cells[acol::PlayAddress]);
    }
    EXPECT_NE(std::find(lines.begin(), lines.end(), "昵称=乙"), lines.end());
}

TEST_F(WorksMonitorTest, SingleModeAddsTheLastLineAndBlankLinesGiveEmptyRows) {
    const sim::Account a = makeAccount("1", "甲", 1), b = makeAccount("2", "乙", 2);
    sim_.addAccount(a);
    sim_.addAccount(b);
    const std::string linkA = sim_.accountShareLink(a.secUid), linkB = sim_.accountShareLink(b.secUid);

    works().registerAccounts(linkA + "\r\n\r\n" + linkB, true);
    settle();
    ASSERT_EQ(table().rowCount(), 3);
    EXPECT_EQ(table().cell(1, acol::Link), "");
    EXPECT_EQ(table().cell(1, acol::Uid), "");
    EXPECT_EQ(table().cell(1, acol::SecUid), "");
    EXPECT_EQ(table().cell(2, acol::Uid), b.uid);

    works().registerAccounts("not a link\r\n" + linkA + "\r\n" + linkB + "\r\n", false);
    settle();
    ASSERT_EQ(table().rowCount(), 4);
    EXPECT_EQ(table().cell(0, acol::Nickname), "甲");
    EXPECT_EQ(table().cell(3, acol::Link), linkB);
    EXPECT_EQ(table().cell(3, acol::Nickname), "乙");
    EXPECT_EQ(table().cell(3, acol::Counter), "0");

    works().registerAccounts("", false);  // nothing to take
    EXPECT_EQ(table().rowCount(), 4);
    works().registerAccounts("", true);  // the box is the whole list: empty
    EXPECT_EQ(table().rowCount(), 0);
}

TEST_F(WorksMonitorTest, PollMovesTheCounterAndDownloadsOnARise) {
    struct Case {
        const char* name;
        std::function<void(const sim::Account&, int row)> change;
        std::string counter, postCount;
        bool newestCellsChange;
        bool download;
    };
    const Case cases[] = {
        {"a new post",
         [&](const sim::Account& acc, int) {
             sim_.addPost(acc.secUid, {"7000000000000000001", "新的 #一", "FLV VIDEO-ADDED"});
         },
         "1", "3", true, true},
        {"a removed post", [&](const sim::Account& acc, int) { sim_.removeNewestPost(acc.secUid); }, "-1", "1", true,
         false},
        // The stored count was lowered by hand: a rise whose newest post is the one we know.
        {"a rise with the same newest id", [&](const sim::Account&, int row) { works().testCommand(row, "1"); }, "1",
         "2", false, true},
        {"no change", [](const sim::Account&, int) {}, "0", "2", false, false},
        // Counts sent as quoted texts are still the same counts.
        {"no change, counts as texts",
         [&](const sim::Account&, int) { sim_.setFault(sim::kProfile, sim::Fault::SwappedTypes); }, "0", "2", false,
         false},
    };
    int key = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const sim::Account acc = makeAccount(std::to_string(key++), std::string("号") + c.name, 500);
        const int row = registerOne(acc);
        ASSERT_EQ(table().cell(row, acol::Counter), "0");
        const auto before = table().rowSnapshot(row);
        c.change(acc, row);
        sim_.clearRequests();

        works().pollAccount(row + 1);
        settle();

        const auto after = table().rowSnapshot(row);
        EXPECT_EQ(after[acol::Counter], c.counter);
        EXPECT_EQ(after[acol::PostCount], c.postCount);
        for (int column : {acol::Link, acol::Uid, acol::SecUid, acol::ShortId, acol::Nickname, acol::Followers})
            EXPECT_EQ(after[column], before[column]);
        if (c.newestCellsChange) {
            EXPECT_NE(after[acol::NewestId], before[acol::NewestId]);
            EXPECT_NE(after[acol::PlayAddress], before[acol::PlayAddress]);
        } else {
            for (int column : {acol::NewestDesc, acol::NewestId, acol::PlayAddress})
                EXPECT_EQ(after[column], before[column]);
        }
        const fs::path file = videoPath(acc.nickname, after[acol::NewestId], after[acol::NewestDesc]);
        const auto files = filesBelow(dir_.path() / "下载" / safeFileName(acc.nickname));
        if (c.download) {
            ASSERT_EQ(files.size(), 1u);
            EXPECT_EQ(file.filename().string(), files[0]);
            const std::string expected = c.newestCellsChange ? "FLV VIDEO-ADDED" : acc.posts[0].videoBytes;
            EXPECT_EQ(readBytes(file), expected);
            const auto plays = requestsTo(sim::kPlay);
            ASSERT_EQ(plays.size(), 1u);
            EXPECT_NE(header(plays[0], "User-Agent").find("iPhone"), std::string::npos);
        } else {
            EXPECT_TRUE(files.empty());
            EXPECT_TRUE(requestsTo(sim::kPlay).empty());
        }
        if (std::string(c.name).rfind("no change", 0) == 0) {
            EXPECT_TRUE(requestsTo(sim::kPosts).empty());
        }
        sim_.clearFaults();
    }
}

TEST_F(WorksMonitorTest, AFailedAnswerChangesNothingAndTheRiseIsCountedOnce) {
    struct Case {
        const char* endpoint;
        sim::Fault fault;
    };
    const Case cases[] = {
        {sim::kProfile, sim::Fault::Http500},      {sim::kProfile, sim::Fault::Empty404},
        {sim::kProfile, sim::Fault::Html},         {sim::kProfile, sim::Fault::TruncatedJson},
        {sim::kProfile, sim::Fault::ResetMidBody}, {sim::kProfile, sim::Fault::EmptyBody},
        {sim::kProfile, sim::Fault::Blocked},      {sim::kPosts, sim::Fault::Empty404},
        {sim::kPosts, sim::Fault::Html},           {sim::kPosts, sim::Fault::EmptyBody},
        {sim::kPosts, sim::Fault::Blocked},
    };
    int key = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.endpoint) + " " + sim::faultName(c.fault));
        const std::string k = std::to_string(key++);
        const sim::Account acc = makeAccount(k, "号" + k, 500);
        const int row = registerOne(acc);
        const auto before = table().rowSnapshot(row);
        sim_.addPost(acc.secUid, {"7100000000000000001", "新", "FLV VIDEO-ADDED"});

        sim_.setFault(c.endpoint, c.fault);
        works().pollAccount(row + 1);
        settle();
        EXPECT_EQ(table().rowSnapshot(row), before);
        EXPECT_TRUE(filesBelow(dir_.path() / "下载").empty());

        sim_.clearFaults();
        works().pollAccount(row + 1);
        settle();
        works().pollAccount(row + 1);
        settle();
        EXPECT_EQ(table().cell(row, acol::Counter), "1");
        EXPECT_EQ(table().cell(row, acol::PostCount), "3");
        EXPECT_EQ(readBytes(videoPath(acc.nickname, "7100000000000000001", "新")), "FLV VIDEO-ADDED");
        std::error_code ec;
        fs::remove_all(dir_.path() / "下载", ec);
    }
}

TEST_F(WorksMonitorTest, HostileNamesGiveASafeCompleteFile) {
    // The description and the cover beside each video take names of their own.
    ::setenv("VIGILO_SIDECARS", "1", 1);
    std::string longDesc = "第一行\n第二行 😀 #话题";
    while (longDesc.size() < 400) longDesc += "很长的描述";
    const std::string videoBytes = "FLV" + std::string(300000, 'v');
    struct Case {
        std::string nickname, desc, folder;
    } cases[] = {
        {"../逃/出😀", longDesc, "_._逃_出😀"},  // never a hidden folder
        {"..", "/etc/passwd", "__"},
        {"", "无名", "_"},  // no nickname: a visible stand-in folder
        {".hidden", "x", "_hidden"},
    };
    int key = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.nickname);
        sim::Account acc = makeAccount(std::to_string(key++), c.nickname, 1);
        const int row = registerOne(acc);
        const std::string id = "72000000000000000" + std::to_string(key);
        sim_.addPost(acc.secUid, {id, c.desc, videoBytes});
        works().pollAccount(row + 1);
        settle();

        const fs::path folder = c.folder.empty() ? dir_.path() / "下载" : dir_.path() / "下载" / c.folder;
        const std::string name = videoFileName(id, c.desc);
        EXPECT_LE(name.size(), 255u);
        EXPECT_EQ(name.rfind(id + "-", 0), 0u);
        EXPECT_EQ(readBytes(folder / name), videoBytes);
        fs::remove(folder / name);
        for (const char* extension : {".json", ".jpg"}) {
            const fs::path beside = folder / sidecarFileName(name, extension);
            EXPECT_LE(beside.filename().string().size(), 255u);
            EXPECT_TRUE(waitFor([&] { return fs::exists(beside); })) << beside;
            fs::remove(beside);
        }
    }
    // Nothing but the account file, the records of seen and pending posts and folders below 下载
    // remains: no name escaped its folder. The program ends first, so no file is being written.
    restart();
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path()))
        EXPECT_TRUE(entry.is_directory() || entry.path().filename() == "抖音账号信息.ini" ||
                    entry.path().filename() == "seen-posts.json" || entry.path().filename() == "pending-downloads.json")
            << entry.path();
    EXPECT_FALSE(fs::exists(dir_.path() / "逃"));
    EXPECT_FALSE(fs::exists(dir_.path().parent_path() / "逃"));
}

TEST_F(WorksMonitorTest, AFailedDownloadIsTriedAgainUntilTheVideoIsSaved) {
    struct Case {
        const char* endpoint;
        sim::Fault fault;
    };
    const Case cases[] = {
        {sim::kPlay, sim::Fault::Html},  // no anchor
        {sim::kPlay, sim::Fault::Empty404},      {sim::kVideo, sim::Fault::Http500},
        {sim::kVideo, sim::Fault::Empty404},     {sim::kVideo, sim::Fault::Html},
        {sim::kVideo, sim::Fault::ResetMidBody},  // a short body
        {sim::kVideo, sim::Fault::EmptyBody},
    };
    std::vector<std::string> saved;
    const int subscription = ctx().events.subscribe([&](const Event& e) {
        if (e.type == EventType::PostSaved) {
            std::lock_guard lock(eventsMutex_);
            saved.push_back(e.field("id") + " " + e.field("file"));
        }
    });
    const sim::Account acc = makeAccount("1", "号", 1);
    const int row = registerOne(acc);
    int key = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.endpoint) + " " + sim::faultName(c.fault));
        const std::string id = "740000000000000000" + std::to_string(key++);
        const std::string bytes = "FLV VIDEO-RETRIED-" + id;
        const fs::path file = videoPath(acc.nickname, id, "重试");
        const std::size_t logFrom = ctx().log.text().size();
        // Two answers fail, then the server is well again.
        sim_.setFault(c.endpoint, c.fault, 2);
        sim_.addPost(acc.secUid, {id, "重试", bytes});
        works().pollAccount(row + 1);
        ASSERT_TRUE(waitFor([&] { return readBytes(file) == bytes; }, std::chrono::seconds(30)));
        ASSERT_TRUE(waitFor([&] { return works().pendingDownloads().empty(); }));
        settle();
        const auto lines = splitLinesForTest(ctx().log.text().substr(logFrom));
        ASSERT_EQ(lines.size(), 3u) << ctx().log.text().substr(logFrom);
        const std::string name = videoFileName(id, "重试");
        for (int i = 0; i < 2; ++i)
            EXPECT_NE(lines[i].find("号：视频下载失败 " + name + "（"), std::string::npos) << lines[i];
        EXPECT_NE(lines[2].find("号：视频下载成功 " + name + "（第3次尝试）"), std::string::npos) << lines[2];
        // The list of pending videos is empty on disk too (written within a second), and nothing
        // half-written is left.
        EXPECT_TRUE(
            waitFor([&] { return readBytes(dir_.path() / "pending-downloads.json") == "{\"downloads\":[\n]}\n"; }));
        EXPECT_EQ(filesBelow(dir_.path() / "下载" / acc.nickname).size(), static_cast<std::size_t>(key));
        sim_.clearFaults();
    }
    // Events may reach their receivers off the saving thread.
    EXPECT_TRUE(waitFor([&] {
        std::lock_guard lock(eventsMutex_);
        return saved.size() == std::size(cases);
    }));
    ctx().events.unsubscribe(subscription);
}

TEST_F(WorksMonitorTest, AFailedDownloadKeepsAnEarlierFileAndIsGivenUpAfterItsTime) {
    pacing_.downloadGiveUp = milliseconds(400);
    std::vector<Event> givenUp;
    const int subscription = ctx().events.subscribe([&](const Event& e) {
        std::lock_guard lock(eventsMutex_);
        if (e.type == EventType::DownloadGivenUp) givenUp.push_back(e);
    });
    const sim::Account acc = makeAccount("1", "号", 1);
    const int row = registerOne(acc);
    const fs::path file = videoPath(acc.nickname, acc.posts[0].awemeId, acc.posts[0].desc);
    // A rise with the newest post already known saves that post again.
    auto riseWithSameNewest = [&] {
        works().testCommand(row, "1");
        works().pollAccount(row + 1);
    };
    riseWithSameNewest();
    settle();
    ASSERT_EQ(readBytes(file), acc.posts[0].videoBytes);

    sim_.setFault(sim::kVideo, sim::Fault::Http500);
    riseWithSameNewest();
    ASSERT_TRUE(
        waitFor([&] { return ctx().log.text().find("视频下载放弃") != std::string::npos; }, std::chrono::seconds(30)));
    ASSERT_TRUE(waitFor([&] { return works().pendingDownloads().empty(); }));
    settle();
    EXPECT_EQ(readBytes(file), acc.posts[0].videoBytes);
    EXPECT_EQ(filesBelow(dir_.path() / "下载").size(), 1u);
    const auto lines = splitLinesForTest(ctx().log.text());
    const auto fails = std::count_if(lines.begin(), lines.end(),
                                     [](const std::string& l) { return l.find("视频下载失败") != std::string::npos; });
    EXPECT_GE(fails, 2);
    EXPECT_NE(lines.back().find("号：视频下载放弃 " + videoFileName(acc.posts[0].awemeId, acc.posts[0].desc) + "（"),
              std::string::npos)
        << lines.back();
    EXPECT_NE(lines.back().find("the server answered 500"), std::string::npos) << lines.back();
    EXPECT_TRUE(waitFor([&] {
        std::lock_guard lock(eventsMutex_);
        return !givenUp.empty();
    }));
    ctx().events.unsubscribe(subscription);
    std::lock_guard lock(eventsMutex_);
    ASSERT_EQ(givenUp.size(), 1u);
    EXPECT_EQ(givenUp[0].field("id"), acc.posts[0].awemeId);
    EXPECT_EQ(givenUp[0].field("nickname"), "号");
    EXPECT_NE(givenUp[0].field("error").find("500"), std::string::npos);
}

TEST_F(WorksMonitorTest, PendingDownloadsSurviveARestart) {
    // A long first gap: the video waits in the file when this monitor goes away.
    pacing_.countdownTick = milliseconds(60000);
    const sim::Account acc = makeAccount("1", "号", 1);
    const int row = registerOne(acc);
    sim_.setFault(sim::kVideo, sim::Fault::Http500);
    sim_.addPost(acc.secUid, {"7500000000000000001", "等待 \"引号\"\n换行", "FLV VIDEO-AFTER-RESTART"});
    works().pollAccount(row + 1);
    settle();
    ASSERT_EQ(works().pendingDownloads().size(), 1u);
    works_.reset();
    const std::string stored = readBytes(dir_.path() / "pending-downloads.json");
    EXPECT_NE(stored.find("7500000000000000001"), std::string::npos) << stored;

    // The next run: the entry falls due at once, and the server is well again.
    std::string edited = stored;
    const std::size_t at = edited.find("\"next_try_ms\":");
    ASSERT_NE(at, std::string::npos);
    edited.replace(at, edited.find(',', at) - at, "\"next_try_ms\":0");
    std::ofstream(dir_.path() / "pending-downloads.json", std::ios::binary | std::ios::trunc) << edited;
    sim_.clearFaults();
    works_ = std::make_unique<WorksMonitor>(ctx());
    const fs::path file = videoPath("号", "7500000000000000001", "等待 \"引号\"\n换行");
    ASSERT_TRUE(waitFor([&] { return readBytes(file) == "FLV VIDEO-AFTER-RESTART"; }, std::chrono::seconds(30)));
    ASSERT_TRUE(waitFor([&] { return ctx().log.text().find("视频下载成功") != std::string::npos; }));
    EXPECT_TRUE(works().pendingDownloads().empty());
}

TEST_F(WorksMonitorTest, PostsMadeWhileTheProgramWasDownAreSavedAtTheNextRun) {
    const sim::Account acc = makeAccount("1", "甲", 1);
    sim_.addAccount(acc);
    const std::string links = sim_.accountShareLink(acc.secUid) + "\r\n";
    const fs::path record = dir_.path() / "seen-posts.json";
    works().registerAccounts(links, true);
    settle();
    // A first registration takes the account's back catalogue as seen.
    EXPECT_TRUE(filesBelow(dir_.path() / "下载").empty());
    ASSERT_TRUE(waitFor([&] { return readBytes(record).find(acc.posts[0].awemeId) != std::string::npos; }));
    restart();

    const sim::Post down[] = {{"7900000000000000001", "停机时 一", "FLV VIDEO-DOWN-1"},
                              {"7900000000000000002", "停机时\n二 😀", "FLV VIDEO-DOWN-2"}};
    for (const auto& post : down) sim_.addPost(acc.secUid, post);
    works().registerAccounts(links, true);
    settle();
    for (const auto& post : down)
        EXPECT_EQ(readBytes(videoPath("甲", post.awemeId, post.desc)), post.videoBytes) << post.awemeId;
    std::vector<std::string> expected;
    for (const auto& post : down)
        expected.push_back((fs::path("甲") / videoFileName(post.awemeId, post.desc)).string());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(filesBelow(dir_.path() / "下载"), expected);
    // The row is that of a registration; the log says what was fetched.
    EXPECT_EQ(table().cell(0, acol::Counter), "0");
    EXPECT_EQ(table().cell(0, acol::PostCount), "4");
    EXPECT_EQ(table().cell(0, acol::NewestId), down[1].awemeId);
    EXPECT_NE(ctx().log.text().find("甲：有更新2条\r\n"), std::string::npos) << ctx().log.text();

    // Once recorded, those posts are not new to the run after.
    ASSERT_TRUE(waitFor([&] { return readBytes(record).find(down[1].awemeId) != std::string::npos; }));
    restart();
    for (const auto& post : down) fs::remove(videoPath("甲", post.awemeId, post.desc));
    works().registerAccounts(links, true);
    settle();
    EXPECT_EQ(table().cell(0, acol::PostCount), "4");
    EXPECT_TRUE(filesBelow(dir_.path() / "下载").empty());
    EXPECT_EQ(ctx().log.text().find("有更新"), std::string::npos) << ctx().log.text();
}

TEST_F(WorksMonitorTest, APostMadeWhileTheFirstQueryIsRefusedIsSaved) {
    const sim::Account acc = makeAccount("2", "乙", 1);
    sim_.addAccount(acc);
    sim_.setFault(sim::kPosts, sim::Fault::Http500);
    works().registerAccounts(sim_.accountShareLink(acc.secUid) + "\r\n", true);
    // The profile has answered before the list is asked for: the post comes after it.
    ASSERT_TRUE(waitFor([&] { return !requestsTo(sim::kPosts).empty(); }));
    const sim::Post post{"7910000000000000001", "注册时", "FLV VIDEO-WHILE-REGISTERING"};
    sim_.addPost(acc.secUid, post);
    sim_.clearFaults();

    const fs::path file = videoPath("乙", post.awemeId, post.desc);
    ASSERT_TRUE(waitFor([&] { return readBytes(file) == post.videoBytes; }, std::chrono::seconds(30)));
    ASSERT_TRUE(waitFor([&] { return table().cell(0, acol::Counter) == "0"; }));
    settle();
    EXPECT_EQ(filesBelow(dir_.path() / "下载"),
              std::vector<std::string>{(fs::path("乙") / videoFileName(post.awemeId, post.desc)).string()});
}

TEST_F(WorksMonitorTest, AnUnusableRecordOfSeenPostsIsIgnoredWithOneLogLine) {
    const sim::Account acc = makeAccount("3", "丙", 1);
    sim_.addAccount(acc);
    const fs::path record = dir_.path() / "seen-posts.json";
    struct Case {
        const char* what;
        std::string content;
        std::string line;
    } cases[] = {
        {"cut short", "{\"accounts\":[{\"sec_uid\":\"" + acc.secUid + "\",\"ids\":[",
         "（not JSON），原文件已改名为 seen-posts.json.broken-"},
        {"another shape", "{\"accounts\":{\"" + acc.secUid + "\":{\"ids\":[]}}}",
         "（no list of accounts），原文件已改名为 seen-posts.json.broken-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        restart();
        std::ofstream(record, std::ios::binary | std::ios::trunc) << c.content;
        works().registerAccounts(sim_.accountShareLink(acc.secUid) + "\r\n", true);
        settle();
        const std::string log = ctx().log.text();
        const std::string line = "：已忽略无法使用的 seen-posts.json" + c.line;
        const std::size_t at = log.find(line);
        ASSERT_NE(at, std::string::npos) << log;
        const std::size_t end = log.find("\r\n", at);
        EXPECT_EQ(log.find("seen-posts.json", end), std::string::npos) << log;
        // The unusable file is kept, under the name the line gives, never overwritten.
        const std::string moved = log.substr(at + line.size() - std::string("seen-posts.json.broken-").size(),
                                             end - (at + line.size()) + std::string("seen-posts.json.broken-").size());
        EXPECT_EQ(readBytes(dir_.path() / moved), c.content) << moved;
        fs::remove(dir_.path() / moved);
        // As if there were no record: the row is filled, nothing of the back catalogue is fetched,
        // and the file is written anew.
        EXPECT_EQ(table().cell(0, acol::Nickname), "丙");
        EXPECT_TRUE(filesBelow(dir_.path() / "下载").empty());
        ASSERT_TRUE(waitFor([&] { return readBytes(record).find(acc.posts[0].awemeId) != std::string::npos; }));
        EXPECT_EQ(readBytes(record).rfind("{\"accounts\":[\n{\"sec_uid\":\"" + acc.secUid + "\"", 0), 0u);
    }
}

TEST_F(WorksMonitorTest, ThePlayAddressIsTheFourthOrTheLastOneListed) {
    struct Case {
        int lowbr, play, download;
        std::string path;  // "" when no address is listed at all
        int line;
    };
    const Case cases[] = {
        {4, 2, 2, "/aweme/v1/play/", 3},
        {6, 2, 2, "/aweme/v1/play/", 3},
        {2, 2, 2, "/aweme/v1/play/", 1},  // what the real service often sends
        {1, 2, 2, "/aweme/v1/play/", 0},
        {0, 3, 2, "/aweme/v1/play/", 2},    // no low-bit-rate list: play_addr
        {0, 0, 2, "/aweme/v1/playwm/", 1},  // then download_addr
        {0, 0, 0, "", 0},
    };
    int key = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.lowbr) + " " + std::to_string(c.play) + " " + std::to_string(c.download));
        const std::string k = std::to_string(key++);
        const sim::Account acc = makeAccount(k, "号" + k, 1);
        const int row = registerOne(acc);
        sim::Post post{"760000000000000000" + k, "地址", "FLV VIDEO-ADDRESS-" + k};
        post.playUrlCount = c.lowbr;
        post.playAddrCount = c.play;
        post.downloadAddrCount = c.download;
        sim_.addPost(acc.secUid, post);
        const std::size_t logFrom = ctx().log.text().size();
        works().pollAccount(row + 1);
        settle();

        const std::string address = table().cell(row, acol::PlayAddress);
        const fs::path file = videoPath(acc.nickname, post.awemeId, post.desc);
        if (c.path.empty()) {
            EXPECT_EQ(address, "");
            EXPECT_FALSE(fs::exists(file));
            EXPECT_NE(ctx().log.text().find(
                          "视频下载失败 " + file.filename().string() + "（the post has no play address）", logFrom),
                      std::string::npos)
                << ctx().log.text();
            continue;
        }
        EXPECT_EQ(address.rfind(sim_.baseUrl() + c.path + "?", 0), 0u) << address;
        EXPECT_NE(address.find("&line=" + std::to_string(c.line) + "&"), std::string::npos) << address;
        EXPECT_EQ(readBytes(file), post.videoBytes);
        // The address shown is the one the video came from.
        const auto plays = requestsTo(sim::kPlay);
        ASSERT_FALSE(plays.empty());
        EXPECT_EQ(sim_.baseUrl() + plays.back().target, address);
    }
}

TEST_F(WorksMonitorTest, EveryPostOfABurstIsSavedAndTheCounterMovesByTheChange) {
    sim::Account acc = makeAccount("1", "甲", 1);
    // More posts than one page lists, so older posts move up into the page after deletions.
    for (int i = 0; i < 22; ++i)
        acc.posts.push_back({"68000000000000000" + std::to_string(10 + i), "旧 " + std::to_string(i), "OLD"});
    const int row = registerOne(acc);
    ASSERT_EQ(table().cell(row, acol::PostCount), "24");

    // Two removed: the counter falls by two, and the older posts that moved up into the page
    // are not taken for new ones.
    sim_.removeNewestPost(acc.secUid);
    sim_.removeNewestPost(acc.secUid);
    works().pollAccount(row + 1);
    settle();
    EXPECT_EQ(table().cell(row, acol::Counter), "-2");
    EXPECT_EQ(table().cell(row, acol::PostCount), "22");
    EXPECT_TRUE(requestsTo(sim::kPlay).empty());

    // Three posts between two looks: all three saved, newest first.
    const std::vector<sim::Post> burst = {{"7700000000000000003", "三", "FLV VIDEO-3"},
                                          {"7700000000000000002", "二", "FLV VIDEO-2"},
                                          {"7700000000000000001", "一", "FLV VIDEO-1"}};
    sim_.editAccount(acc.secUid, [&](sim::Account& a) { a.posts.insert(a.posts.begin(), burst.begin(), burst.end()); });
    works().pollAccount(row + 1);
    settle();
    EXPECT_EQ(table().cell(row, acol::Counter), "1");
    EXPECT_EQ(table().cell(row, acol::PostCount), "25");
    EXPECT_EQ(table().cell(row, acol::NewestId), "7700000000000000003");
    EXPECT_EQ(table().cell(row, acol::NewestDesc), "三");
    for (const auto& p : burst) EXPECT_EQ(readBytes(videoPath("甲", p.awemeId, p.desc)), p.videoBytes) << p.desc;
    EXPECT_EQ(filesBelow(dir_.path() / "下载").size(), 3u);
    const auto videos = requestsTo(sim::kVideo);
    ASSERT_EQ(videos.size(), 3u);
    const auto plays = requestsTo(sim::kPlay);
    ASSERT_EQ(plays.size(), 3u);
    EXPECT_EQ(sim_.baseUrl() + plays[0].target, table().cell(row, acol::PlayAddress));

    // One new post among two deletions: a fall of one, and the new post is still saved.
    sim_.removeNewestPost(acc.secUid);
    sim_.removeNewestPost(acc.secUid);
    sim_.addPost(acc.secUid, {"7700000000000000009", "九", "FLV VIDEO-9"});
    works().pollAccount(row + 1);
    settle();
    EXPECT_EQ(table().cell(row, acol::Counter), "0");
    EXPECT_EQ(table().cell(row, acol::PostCount), "24");
    EXPECT_EQ(readBytes(videoPath("甲", "7700000000000000009", "九")), "FLV VIDEO-9");
    EXPECT_EQ(filesBelow(dir_.path() / "下载").size(), 4u);
}

TEST_F(WorksMonitorTest, ARefusedFirstQueryIsTriedAgainUntilItFillsTheRow) {
    // Once with the monitor running (its cycles try again), once stopped (the back-off does).
    for (const bool monitorRunning : {true, false}) {
        SCOPED_TRACE(monitorRunning ? "monitor running" : "monitor stopped");
        const std::string k = monitorRunning ? "1" : "2";
        sim::Account acc = makeAccount(k, "乙" + k, 25000);
        acc.emptyAnswers = 3;
        sim_.addAccount(acc);
        works().registerAccounts(sim_.accountShareLink(acc.secUid) + "\r\n", false);
        settle();
        const int row = table().rowCount() - 1;
        // Not yet queried: nothing but what registration knows, no account entry.
        auto cells = table().rowSnapshot(row);
        for (int column = acol::ShortId; column <= acol::PlayAddress; ++column) EXPECT_EQ(cells[column], "") << column;
        EXPECT_EQ(readBytes(dir_.path() / "抖音账号信息.ini").find(utf8ToGbk("乙" + k)), std::string::npos);

        if (monitorRunning) startMonitor();
        ASSERT_TRUE(waitFor([&] { return table().cell(row, acol::Nickname) == "乙" + k; }, std::chrono::seconds(30)));
        if (monitorRunning) {
            // A few more cycles with the row filled.
            const std::size_t from = ctx().log.text().size();
            ASSERT_TRUE(waitFor([&] {
                const std::string tail = ctx().log.text().substr(from);
                return tail.find("监控账号无更新") != tail.rfind("监控账号无更新");
            }));
            stopMonitor();
            ASSERT_TRUE(waitFor([&] { return works().monitorThreads() == 0; }));
        }
        settle();
        cells = table().rowSnapshot(row);
        EXPECT_EQ(cells, (std::vector<std::string>{cells[acol::Link], acc.uid, acc.secUid, acc.shortId, acc.nickname,
                                                   "2.5w", "2", acc.posts[0].desc, "0", acc.posts[0].awemeId,
                                                   cells[acol::PlayAddress]}));
        // A fresh registration: nothing downloaded, no update reported, the entry written now.
        EXPECT_TRUE(filesBelow(dir_.path() / "下载").empty());
        EXPECT_EQ(ctx().log.text().find("有更新"), std::string::npos) << ctx().log.text();
        EXPECT_NE(gbkToUtf8(readBytes(dir_.path() / "抖音账号信息.ini")).find("昵称=乙" + k + "\r\n"),
                  std::string::npos);
    }
    // No request ever went out without an account key.
    for (const auto& r : sim_.requests()) {
        if (r.endpoint == std::string(sim::kProfile) || r.endpoint == std::string(sim::kPosts)) {
            EXPECT_FALSE(r.param("sec_uid").empty()) << r.target;
        }
    }
}

TEST_F(WorksMonitorTest, ARowWhoseShareLinkFailedIsResolvedAgainAndNeverPolledWithoutAKey) {
    const sim::Account acc = makeAccount("1", "丙", 1);
    sim_.addAccount(acc);
    sim_.setFault(sim::kShare, sim::Fault::Http500, 2);
    works().registerAccounts(sim_.accountShareLink(acc.secUid) + "\r\n", true);
    settle();
    ASSERT_EQ(table().rowCount(), 1);
    EXPECT_EQ(table().cell(0, acol::SecUid), "");
    startMonitor();
    ASSERT_TRUE(waitFor([&] { return table().cell(0, acol::Counter) == "0"; }, std::chrono::seconds(30)));
    stopMonitor();
    ASSERT_TRUE(waitFor([&] { return works().monitorThreads() == 0; }));
    settle();
    EXPECT_EQ(table().cell(0, acol::SecUid), acc.secUid);
    EXPECT_EQ(table().cell(0, acol::Uid), acc.uid);
    EXPECT_EQ(table().cell(0, acol::Nickname), "丙");
    for (const auto& r : sim_.requests()) {
        if (r.endpoint == std::string(sim::kProfile) || r.endpoint == std::string(sim::kPosts)) {
            EXPECT_EQ(r.param("sec_uid"), acc.secUid) << r.target;
        }
    }
}

TEST_F(WorksMonitorTest, APollIsNotStartedWhileTheRowsPreviousPollRuns) {
    const sim::Account acc = makeAccount("1", "丁", 1);
    const int row = registerOne(acc);
    sim_.clearRequests();
    // The profile answer is held; cycles go on meanwhile.
    sim_.setFault(sim::kProfile, sim::Fault::Stall);
    startMonitor();
    const std::size_t from = ctx().log.text().size();
    ASSERT_TRUE(waitFor([&] {
        const std::string tail = ctx().log.text().substr(from);
        std::size_t n = 0;
        for (std::size_t at = tail.find("监控账号无更新"); at != std::string::npos;
             at = tail.find("监控账号无更新", at + 1))
            ++n;
        return n >= 3;
    }));
    EXPECT_EQ(requestsTo(sim::kProfile).size(), 1u);

    // The held answer lands after a new post: it is counted once and the video saved once.
    sim_.addPost(acc.secUid, {"7800000000000000001", "新", "FLV VIDEO-ONCE"});
    sim_.clearFaults();
    ASSERT_TRUE(waitFor([&] { return readBytes(videoPath("丁", "7800000000000000001", "新")) == "FLV VIDEO-ONCE"; }));
    const std::size_t after = sim_.requestCount(sim::kProfile);
    ASSERT_TRUE(sim_.waitForRequests(sim::kProfile, after + 3, std::chrono::seconds(20)));
    stopMonitor();
    ASSERT_TRUE(waitFor([&] { return works().monitorThreads() == 0; }));
    settle();
    EXPECT_EQ(table().cell(row, acol::Counter), "1");
    EXPECT_EQ(table().cell(row, acol::PostCount), "3");
    EXPECT_EQ(requestsTo(sim::kPlay).size(), 1u);
    EXPECT_EQ(filesBelow(dir_.path() / "下载").size(), 1u);
}

TEST_F(WorksMonitorTest, TheLoopReportsUpdatesAndCountsDown) {
    const sim::Account acc = makeAccount("1", "甲", 1);
    registerOne(acc);
    startMonitor();
    ASSERT_TRUE(waitFor([&] { return ctx().log.text().find("监控账号无更新\r\n") != std::string::npos; }));
    EXPECT_EQ(ctx().log.text().rfind("9\r\n8\r\n7\r\n6\r\n5\r\n4\r\n3\r\n2\r\n1\r\n0\r\n监控账号无更新\r\n", 0), 0u)
        << ctx().log.text();

    sim_.addPost(acc.secUid, {"7300000000000000001", "新", "FLV VIDEO-LOOP"});
    ASSERT_TRUE(waitFor([&] { return ctx().log.text().find("甲：有更新1条\r\n") != std::string::npos; }));
    // Two posts between two looks: the report gives the counter.
    sim_.editAccount(acc.secUid, [](sim::Account& a) {
        a.posts.insert(a.posts.begin(), {{"7300000000000000003", "三", "FLV VIDEO-THREE"},
                                         {"7300000000000000002", "二", "FLV VIDEO-TWO"}});
    });
    ASSERT_TRUE(waitFor([&] { return ctx().log.text().find("甲：有更新3条\r\n") != std::string::npos; }));
    stopMonitor();
    ASSERT_TRUE(waitFor([&] { return works().monitorThreads() == 0; }));
    settle();
    EXPECT_EQ(table().cell(0, acol::Counter), "3");
    EXPECT_EQ(readBytes(videoPath("甲", "7300000000000000001", "新")), "FLV VIDEO-LOOP");
    EXPECT_EQ(readBytes(videoPath("甲", "7300000000000000002", "二")), "FLV VIDEO-TWO");
    EXPECT_EQ(readBytes(videoPath("甲", "7300000000000000003", "三")), "FLV VIDEO-THREE");
}

TEST_F(WorksMonitorTest, StopDuringTheCountdownEndsWithinASecond) {
    pacing_.countdownTick = milliseconds(400);
    registerOne(makeAccount("1", "甲", 1));
    startMonitor();
    ASSERT_TRUE(waitFor([&] { return ctx().log.text().find("8\r\n") != std::string::npos; }));
    const auto stoppedAt = std::chrono::steady_clock::now();
    stopMonitor();
    ASSERT_TRUE(waitFor([&] { return works().monitorThreads() == 0; }, std::chrono::seconds(5)));
    EXPECT_LT(std::chrono::steady_clock::now() - stoppedAt, std::chrono::milliseconds(1500));
    // The countdown is written by the monitor's own thread, which has ended: the log is final.
    const std::string log = ctx().log.text();
    EXPECT_EQ(works().monitorThreads(), 0);
    EXPECT_EQ(ctx().log.text(), log);
    EXPECT_EQ(log.find("监控账号无更新"), std::string::npos);
}

TEST_F(WorksMonitorTest, AQuickStopThenStartKeepsOneMonitor) {
    pacing_.countdownTick = milliseconds(15);
    registerOne(makeAccount("1", "甲", 1));
    startMonitor();
    ASSERT_TRUE(waitFor([&] { return ctx().log.text().find("5\r\n") != std::string::npos; }));
    stopMonitor();
    startMonitor();
    EXPECT_EQ(works().monitorThreads(), 1);
    const std::size_t from = ctx().log.text().size();
    ASSERT_TRUE(waitFor([&] {
        const std::string tail = ctx().log.text().substr(from);
        std::size_t n = 0;
        for (std::size_t at = tail.find("监控账号无更新"); at != std::string::npos;
             at = tail.find("监控账号无更新", at + 1))
            ++n;
        return n >= 3;
    }));
    EXPECT_EQ(works().monitorThreads(), 1);

    // One countdown at a time: each line follows the one before it (a restart begins at 9).
    const auto lines = splitLinesForTest(ctx().log.text());
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string& prev = lines[i - 1];
        const std::string& line = lines[i];
        if (line == "9") continue;
        if (line == "监控账号无更新") {
            EXPECT_EQ(prev, "0") << i;
        } else {
            ASSERT_EQ(line.size(), 1u) << line;
            ASSERT_EQ(prev.size(), 1u) << "line " << i << ": " << prev << " then " << line;
            EXPECT_EQ(line[0] + 1, prev[0]) << "line " << i;
        }
    }
}

TEST_F(WorksMonitorTest, AnEmptyTableAsksForAccountsAndEnds) {
    startMonitor();
    ASSERT_TRUE(waitFor([&] { return works().monitorThreads() == 0; }));
    const auto messages = ui_.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "请加入列表后监控！");
    EXPECT_EQ(messages[0].caption, "提示");
    EXPECT_EQ(messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(ctx().log.text(), "");
}

}  // namespace
}  // namespace vigilo

namespace vigilo {
namespace {

class WorksDownloadTest : public WorksMonitorTest {
protected:
    std::vector<std::string> savedIds() {
        std::lock_guard lock(eventsMutex_);
        return saved_;
    }
    void watchSaves() {
        ctx().events.subscribe([this](const Event& e) {
            if (e.type != EventType::PostSaved) return;
            std::lock_guard lock(eventsMutex_);
            saved_.push_back(e.field("id"));
        });
    }
    // What the close command does to the work in flight, then a new run on the same folder.
    // Returns the log of the run that ended.
    std::string closeAndRestart() {
        ctx().closing = true;
        ctx().threads.requestStop();
        settle();
        const std::string log = ctx().log.text();
        restart();
        return log;
    }
    std::vector<std::string> saved_;
};

TEST_F(WorksDownloadTest, OneDownloadPerAccountNewestFirstAndAtMostTheLimitAtOnce) {
    watchSaves();
    sim_.setVideoRate(400 * 1024);
    const sim::Account acc = makeAccount("1", "甲", 1);
    const int row = registerOne(acc);
    std::vector<sim::Post> burst;
    for (int i = 4; i >= 1; --i)
        burst.push_back({"780000000000000000" + std::to_string(i), "连发" + std::to_string(i),
                         "FLV" + std::string(120000, char('0' + i))});
    sim_.editAccount(acc.secUid, [&](sim::Account& a) { a.posts.insert(a.posts.begin(), burst.begin(), burst.end()); });
    sim_.resetVideoPeak();
    works().pollAccount(row + 1);
    settle();
    for (const auto& p : burst) EXPECT_EQ(readBytes(videoPath("甲", p.awemeId, p.desc)), p.videoBytes) << p.desc;
    EXPECT_EQ(sim_.videoTransfers().peak, 1);
    // Events may reach their receivers off the saving thread.
    EXPECT_TRUE(waitFor([&] { return savedIds().size() == burst.size(); }));
    EXPECT_EQ(savedIds(),
              (std::vector<std::string>{burst[0].awemeId, burst[1].awemeId, burst[2].awemeId, burst[3].awemeId}));

    // Six accounts with a new post each, two downloads at once in the whole program.
    sim_.setVideoRate(200 * 1024);
    works().setDownloadLimit(2);
    std::vector<std::pair<sim::Account, int>> accounts;
    for (int k = 2; k <= 7; ++k) {
        const sim::Account a = makeAccount(std::to_string(k), "号" + std::to_string(k), 1);
        accounts.emplace_back(a, registerOne(a));
    }
    sim_.resetVideoPeak();
    for (const auto& [a, r] : accounts)
        sim_.addPost(a.secUid, {"79000000000000000" + a.shortId, "一条", "FLV" + std::string(120000, 'x') + a.shortId});
    for (const auto& [a, r] : accounts) works().pollAccount(r + 1);
    settle();
    for (const auto& [a, r] : accounts)
        EXPECT_EQ(readBytes(videoPath(a.nickname, "79000000000000000" + a.shortId, "一条")),
                  "FLV" + std::string(120000, 'x') + a.shortId);
    EXPECT_EQ(sim_.videoTransfers().peak, 2);
    EXPECT_TRUE(works().pendingDownloads().empty());
}

TEST_F(WorksDownloadTest, ATricklingVideoPastItsDeadlineIsAFailedTry) {
    // At 8 KB/s a 64 KB video would take 8 s; its deadline is 2 s (64 KB at 32 KB/s).
    sim_.setVideoRate(8 * 1024);
    const sim::Account acc = makeAccount("1", "乙", 1);
    const int row = registerOne(acc);
    const sim::Post post{"7810000000000000001", "慢", "FLV" + std::string(64 * 1024, 's')};
    sim_.addPost(acc.secUid, post);
    works().pollAccount(row + 1);
    const std::string name = videoFileName(post.awemeId, post.desc);
    ASSERT_TRUE(waitFor([&] { return ctx().log.text().find("乙：视频下载失败 " + name) != std::string::npos; },
                        std::chrono::seconds(30)));
    EXPECT_NE(ctx().log.text().find("not finished within 2 s"), std::string::npos) << ctx().log.text();
    EXPECT_FALSE(fs::exists(videoPath("乙", post.awemeId, post.desc)));
    sim_.setVideoRate(0);
    ASSERT_TRUE(waitFor([&] { return readBytes(videoPath("乙", post.awemeId, post.desc)) == post.videoBytes; },
                        std::chrono::seconds(30)));
    ASSERT_TRUE(
        waitFor([&] { return ctx().log.text().find("乙：视频下载成功 " + name + "（第") != std::string::npos; }));
}

TEST_F(WorksDownloadTest, AStopKeepsEveryUnsavedPostAndTheNextRunSavesThem) {
    sim_.setVideoRate(100 * 1024);
    const sim::Account acc = makeAccount("1", "丙", 1);
    const int row = registerOne(acc);
    std::vector<sim::Post> burst;
    for (int i = 3; i >= 1; --i)
        burst.push_back({"782000000000000000" + std::to_string(i), "停" + std::to_string(i),
                         "FLV" + std::string(150000, char('a' + i))});
    sim_.editAccount(acc.secUid, [&](sim::Account& a) { a.posts.insert(a.posts.begin(), burst.begin(), burst.end()); });
    works().pollAccount(row + 1);
    // The whole burst is on disk before the first byte of its first video.
    ASSERT_TRUE(sim_.waitForRequests(sim::kVideo, 1, std::chrono::seconds(20)));
    const std::string listed = readBytes(dir_.path() / "pending-downloads.json");
    for (const auto& p : burst) EXPECT_NE(listed.find(p.awemeId), std::string::npos) << p.awemeId;
    const std::string log = closeAndRestart();
    const std::string kept = readBytes(dir_.path() / "pending-downloads.json");
    std::size_t unsaved = 0;
    for (const auto& p : burst)
        if (readBytes(videoPath("丙", p.awemeId, p.desc)) != p.videoBytes) {
            ++unsaved;
            EXPECT_NE(kept.find(p.awemeId), std::string::npos) << p.awemeId;
        }
    EXPECT_GE(unsaved, 2u);
    // A stopped try is no failed try.
    EXPECT_EQ(log.find("视频下载失败"), std::string::npos) << log;

    // The next start resumes them at once, before any registration or poll.
    sim_.setVideoRate(0);
    works();
    for (const auto& p : burst)
        EXPECT_TRUE(waitFor([&] { return readBytes(videoPath("丙", p.awemeId, p.desc)) == p.videoBytes; },
                            std::chrono::seconds(30)))
            << p.awemeId;
    EXPECT_TRUE(waitFor([&] { return works().pendingDownloads().empty(); }));
}

TEST_F(WorksDownloadTest, AnUnreadablePendingListIsMovedAsideWithALogLine) {
    std::ofstream(dir_.path() / "pending-downloads.json", std::ios::binary) << "{\"downloads\":[{\"id\":";
    works();
    const std::string log = ctx().log.text();
    const std::string line =
        "：已忽略无法使用的 pending-downloads.json（not JSON），原文件已改名为 pending-downloads.json.broken-";
    const std::size_t at = log.find(line);
    ASSERT_NE(at, std::string::npos) << log;
    const std::string moved =
        log.substr(at + line.size() - std::string("pending-downloads.json.broken-").size(),
                   log.find("\r\n", at) - at - line.size() + std::string("pending-downloads.json.broken-").size());
    EXPECT_EQ(readBytes(dir_.path() / moved), "{\"downloads\":[{\"id\":");
}

}  // namespace
}  // namespace vigilo

namespace vigilo {
namespace {

std::size_t occurrences(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

TEST_F(WorksMonitorTest, AccountLinksThatFailAreLoggedOnceAndOnceMoreWhenTheyRecover) {
    const sim::Account a = makeAccount("1", "甲", 1), b = makeAccount("2", "乙", 1);
    sim_.addAccount(a);
    sim_.addAccount(b);
    const std::string linkA = sim_.accountShareLink(a.secUid), linkB = sim_.accountShareLink(b.secUid);
    // A's share page fails three times; B's profile is refused three times.
    sim_.setFault(sim::kShare, sim::Fault::Http500, 3);
    works().registerAccounts(linkA + "\r\n", false);
    settle();
    sim_.setFault(sim::kProfile, sim::Fault::Http500, 3);
    works().registerAccounts(linkB + "\r\n", false);
    settle();
    ASSERT_TRUE(
        waitFor([&] { return table().cell(0, acol::Nickname) == "甲" && table().cell(1, acol::Nickname) == "乙"; },
                std::chrono::seconds(30)));
    settle();
    const std::string log = ctx().log.text();
    EXPECT_EQ(occurrences(log, "：账号链接暂时无法打开，稍后重试：" + linkA + "\r\n"), 1u) << log;
    EXPECT_EQ(occurrences(log, "：账号链接已恢复：" + linkA + "\r\n"), 1u) << log;
    EXPECT_EQ(occurrences(log, "：账号首次查询失败，稍后重试：" + linkB + "（服务器返回 500）\r\n"), 1u) << log;
    EXPECT_EQ(occurrences(log, "：账号首次查询已恢复：" + linkB + "\r\n"), 1u) << log;
    // The recovery line follows the failure line.
    EXPECT_LT(log.find("账号链接暂时无法打开"), log.find("账号链接已恢复"));
    EXPECT_LT(log.find("账号首次查询失败"), log.find("账号首次查询已恢复"));
}

}  // namespace
}  // namespace vigilo
