// The files kept beside a saved video: what its post said, whole and as valid JSON whatever
// the service sent, and its cover, fetched like the video.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/context.h"
#include "app/table.h"
#include "text/filenames.h"
#include "text/strings.h"
#include "works/answers.h"
#include "works/fixture.h"
#include "works/monitor.h"
#include "works/names.h"
#include "works/pending.h"
#include "works/sidecars.h"

namespace vigilo {
namespace {

std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(Sidecars, AHostileDescriptionIsKeptWholeInValidJson) {
    std::string veryLong;
    while (veryLong.size() < kMaxDescriptionBytes - 8) veryLong += "长描述😀";
    struct Case {
        const char* name;
        std::string desc, expected;
    } cases[] = {
        {"control characters", std::string("a\x01\x1f\x7f\tb\r\n\"\\</script>", 18) + std::string(1, '\0') + "z",
         std::string("a\x01\x1f\x7f\tb\r\n\"\\</script>", 18) + std::string(1, '\0') + "z"},
        {"very long", veryLong, veryLong},
        // Bytes that are no UTF-8 become U+FFFD; the rest stays.
        {"invalid UTF-8", "好\xff\xfe坏\xc3", "好\xEF\xBF\xBD\xEF\xBF\xBD坏\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PendingDownload post;
        post.id = "7300000000000000001";
        post.desc = c.desc;
        post.nickname = "号\xff";
        post.secUid = "MS4wLjABAAAAsec";
        post.uid = "1234";
        post.createTime = 1700000000;
        post.statistics = {5, 4, 3, -1, 1};
        post.playAddress = "http://127.0.0.1:1/aweme/v1/play/?video_id=v";
        const std::string text = postDescriptionJson(post, "http://127.0.0.1:1/video", 1700000100123);
        // Strict parsing: any byte that is no UTF-8 would throw.
        nlohmann::json doc;
        ASSERT_NO_THROW(doc = nlohmann::json::parse(text)) << text;
        EXPECT_EQ(doc["description"], c.expected);
        EXPECT_EQ(doc["id"], post.id);
        EXPECT_EQ(doc["nickname"], "号\xEF\xBF\xBD");
        EXPECT_EQ(doc["uid"], "1234");
        EXPECT_EQ(doc["sec_uid"], "MS4wLjABAAAAsec");
        EXPECT_EQ(doc["create_time"], 1700000000);
        EXPECT_EQ(doc["create_time_utc"], "2023-11-14T22:13:20Z");
        EXPECT_EQ(doc["statistics"]["digg_count"], 5);
        EXPECT_TRUE(doc["statistics"]["play_count"].is_null());
        EXPECT_EQ(doc["video_address"], "http://127.0.0.1:1/video");
        EXPECT_EQ(doc["saved_at"], "2023-11-14T22:15:00Z");
    }
}

TEST(Sidecars, NamesFollowTheVideoAndStayWithinTheLimit) {
    const std::string longName = videoFileName("7300000000000000001", std::string(300, 'x') + "描述");
    const std::string emojiName =
        videoFileName("7300000000000000001", std::string(100, 'y') + std::string(60, 'z') + "😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀😀");
    struct Case {
        std::string video, extension;
    } cases[] = {{"1-短.mp4", ".json"}, {"1-短.mp4", ".jpg"}, {longName, ".json"}, {emojiName, ".json"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.video);
        const std::string name = sidecarFileName(c.video, c.extension);
        EXPECT_LE(name.size(), kMaxNameBytes);
        EXPECT_EQ(name.substr(name.size() - c.extension.size()), c.extension);
        const std::string stem = name.substr(0, name.size() - c.extension.size());
        EXPECT_EQ(c.video.rfind(stem, 0), 0u);  // the video's name, cut at most
        EXPECT_EQ(safeFileName(name), name);    // whole characters only
    }
    EXPECT_EQ(sidecarFileName("1-短.mp4", ".json"), "1-短.json");
}

TEST(Sidecars, ThePostListGivesCoverTimeCountsAndAuthor) {
    HttpResult result;
    result.statusCode = 200;
    const std::string body = R"({"aweme_list":[{"aweme_id":"73","desc":"d","create_time":1700000000,
        "author":{"uid":"42","sec_uid":"MS4sec","nickname":"作者"},
        "statistics":{"digg_count":7,"comment_count":"8","share_count":null,"play_count":-3},
        "video":{"play_addr":{"url_list":["http://p"]},"cover":{"url_list":["","http://c1","http://c2"]}}},
        {"aweme_id":"74","create_time":"soon","video":{}}]})";
    result.body.assign(body.begin(), body.end());
    const PostList list = parsePostList(result);
    ASSERT_TRUE(list.ok);
    ASSERT_EQ(list.items.size(), 2u);
    const PostItem& a = list.items[0];
    EXPECT_EQ(a.coverAddress, "http://c1");
    EXPECT_EQ(a.createTime, 1700000000);
    EXPECT_EQ(a.statistics.likes, 7);
    EXPECT_EQ(a.statistics.comments, 8);
    EXPECT_EQ(a.statistics.shares, -1);
    EXPECT_EQ(a.statistics.plays, -1);
    EXPECT_EQ(a.authorUid, "42");
    EXPECT_EQ(a.authorSecUid, "MS4sec");
    EXPECT_EQ(a.authorNickname, "作者");
    EXPECT_EQ(list.items[1].coverAddress, "");
    EXPECT_EQ(list.items[1].createTime, 0);
}

TEST(Sidecars, APendingEntryKeepsWhatThePostSaidAcrossARestart) {
    TempDir dir;
    PendingDownload e;
    e.id = "7300000000000000009";
    e.desc = "d";
    e.nickname = "n";
    e.secUid = "s";
    e.coverAddress = "http://cover";
    e.uid = "42";
    e.author = "作者";
    e.createTime = 1700000000;
    e.statistics = {1, 2, 3, 4, 5};
    e.coverOnly = true;
    {
        PendingDownloads pending(dir.path() / "p.json");
        ASSERT_TRUE(pending.add(e));
        ASSERT_TRUE(pending.flushIfDue(true));
    }
    PendingDownloads again(dir.path() / "p.json");
    ASSERT_TRUE(again.load(1800000000000).problem.empty());
    const auto entries = again.entries();
    ASSERT_EQ(entries.size(), 1u);
    const PendingDownload& r = entries[0];
    EXPECT_EQ(r.coverAddress, e.coverAddress);
    EXPECT_EQ(r.uid, e.uid);
    EXPECT_EQ(r.author, e.author);
    EXPECT_EQ(r.createTime, e.createTime);
    EXPECT_EQ(r.statistics.likes, 1);
    EXPECT_EQ(r.statistics.collects, 5);
    EXPECT_TRUE(r.coverOnly);
}

// Through the simulated service: a post's video, its description and its cover.
class SidecarDownloadTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim_.start()); }
    void TearDown() override {
        if (ctx_) {
            EXPECT_TRUE(ctx_->threads.waitIdle(std::chrono::seconds(20)));
        }
        works_.reset();
        ctx_.reset();
        ::setenv("VIGILO_SIDECARS", "1", 1);
    }
    void start(const char* sidecars) {
        ::setenv("VIGILO_SIDECARS", sidecars, 1);
        Endpoints endpoints;
        endpoints.account = sim_.baseUrl();
        endpoints.live = sim_.baseUrl();
        ctx_ = std::make_unique<AppContext>(Paths::forDirectory(dir_.path()), Pacing{}.scaled(0.01), endpoints, ui_);
        works_ = std::make_unique<WorksMonitor>(*ctx_);
    }
    // An account registered, then a new post found by a poll.
    void postAndPoll(const sim::Post& post) {
        sim::Account a;
        a.uid = "73519046211";
        a.secUid = "MS4wLjABAAAAside_-";
        a.shortId = "101";
        a.nickname = "旁注";
        a.posts = {{"6872336845759089001", "旧", "FLV OLD"}};
        sim_.addAccount(a);
        works_->registerAccounts(sim_.accountShareLink(a.secUid) + "\r\n", false);
        ASSERT_TRUE(waitFor(
            [&] { return ctx_->accountTable.rowCount() == 1 && ctx_->accountTable.cell(0, acol::Counter) == "0"; }));
        ASSERT_TRUE(ctx_->threads.waitIdle(std::chrono::seconds(20)));
        sim_.addPost(a.secUid, post);
        works_->pollAccount(1);
    }
    fs::path folder() const { return dir_.path() / "下载" / "旁注"; }

    TempDir dir_;
    sim::Simulator sim_;
    RecordingUserInterface ui_;
    std::unique_ptr<AppContext> ctx_;
    std::unique_ptr<WorksMonitor> works_;
};

TEST_F(SidecarDownloadTest, TheDescriptionAndTheCoverLieBesideTheVideo) {
    start("1");
    sim::Post post{"7300000000000000021", "全文 #话题\n第二行", "FLV VIDEO-21"};
    post.coverBytes = std::string("\xFF\xD8\xFF\xE0", 4) + "COVER-21" + std::string(5000, 'c');
    post.createTime = 1700000000;
    // The cover fails once: it is tried again without fetching the video again.
    sim_.setFault(sim::kCover, sim::Fault::Http500, 1);
    postAndPoll(post);
    const std::string video = videoFileName(post.awemeId, post.desc);
    const fs::path cover = folder() / sidecarFileName(video, ".jpg");
    ASSERT_TRUE(waitFor([&] { return readBytes(cover) == post.coverBytes; }, std::chrono::seconds(30)));
    EXPECT_EQ(readBytes(folder() / video), post.videoBytes);
    EXPECT_EQ(sim_.requestCount(sim::kVideo), 1u);
    const std::string log = ctx_->log.text();
    EXPECT_NE(log.find("旁注：封面下载失败 " + cover.filename().string() + "（the server answered 500）"),
              std::string::npos)
        << log;
    EXPECT_TRUE(waitFor([&] {
        return ctx_->log.text().find("旁注：封面下载成功 " + cover.filename().string() + "（第2次尝试）") !=
               std::string::npos;
    }));
    EXPECT_TRUE(waitFor([&] { return works_->pendingDownloads().empty(); }));

    const nlohmann::json doc = nlohmann::json::parse(readBytes(folder() / sidecarFileName(video, ".json")));
    EXPECT_EQ(doc["id"], post.awemeId);
    EXPECT_EQ(doc["description"], post.desc);
    EXPECT_EQ(doc["nickname"], "旁注");
    EXPECT_EQ(doc["uid"], "73519046211");
    EXPECT_EQ(doc["sec_uid"], "MS4wLjABAAAAside_-");
    EXPECT_EQ(doc["create_time"], 1700000000);
    for (const char* count : {"digg_count", "comment_count", "share_count", "play_count"})
        EXPECT_TRUE(doc["statistics"][count].is_number()) << count;
    const std::string from = doc["video_address"];
    EXPECT_EQ(from.rfind(sim_.baseUrl() + "/", 0), 0u) << from;
    EXPECT_NE(from.find("/video/tos/"), std::string::npos) << from;
    EXPECT_EQ(doc["cover_address"].get<std::string>().rfind(sim_.baseUrl() + "/cover/", 0), 0u);
    EXPECT_EQ(std::string(doc["saved_at"]).size(), 20u);
    // Nothing else was left in the folder (no temporary file).
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder())) names.push_back(entry.path().filename().string());
    EXPECT_EQ(names.size(), 3u);
}

TEST_F(SidecarDownloadTest, TurnedOffOnlyTheVideoIsSaved) {
    start("0");
    postAndPoll({"7300000000000000022", "只要视频", "FLV VIDEO-22"});
    const std::string video = videoFileName("7300000000000000022", "只要视频");
    ASSERT_TRUE(waitFor([&] { return readBytes(folder() / video) == "FLV VIDEO-22"; }, std::chrono::seconds(30)));
    ASSERT_TRUE(waitFor([&] { return works_->pendingDownloads().empty(); }));
    ASSERT_TRUE(ctx_->threads.waitIdle(std::chrono::seconds(20)));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder())) names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{video});
    EXPECT_EQ(sim_.requestCount(sim::kCover), 0u);
}

}  // namespace
}  // namespace vigilo
