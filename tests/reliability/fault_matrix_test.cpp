// Every fault the simulated service can play, on every endpoint the two monitors use: the
// exchange ends within its time-out, the tables change only as a good answer would change
// them, nothing is downloaded or recorded from a failed answer, and the program gives back
// the threads, descriptors and memory the fault made it take. The time-outs are the product's,
// scaled down a hundredfold (none below a second).
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/context.h"
#include "app/table.h"
#include "live/monitor.h"
#include "net/http.h"
#include "reliability/fixture.h"
#include "text/filenames.h"
#include "works/monitor.h"
#include "works/names.h"

namespace vigilo::reliability {
namespace {

constexpr double kTimeoutScale = 0.01;
// The longest page exchange (300 s overall) scaled, plus room for a slow machine.
constexpr long long kExchangeBoundMs = 3000 + 3000;
// A 200 MB body that is a valid video only has to end.
constexpr long long kHugeVideoBoundMs = 90000;

enum class Where { Profile, Posts, WorksShare, Play, Video, LiveShare, Room, LiveRoom };

struct Place {
    Where where;
    const char* name;      // for test names and the report
    const char* endpoint;  // the simulator's endpoint that plays the fault
    const char* before;    // the request after which a refusal starts (nullptr: at once)
};

const Place kPlaces[] = {
    {Where::Profile, "works_profile", sim::kProfile, nullptr},
    {Where::Posts, "works_posts", sim::kPosts, sim::kProfile},
    {Where::WorksShare, "works_share", sim::kShare, nullptr},
    {Where::Play, "works_play", sim::kPlay, sim::kPosts},
    {Where::Video, "works_video", sim::kVideo, sim::kPlay},
    {Where::LiveShare, "live_share", sim::kShare, nullptr},
    {Where::Room, "live_room", sim::kRoom, nullptr},
    // The second room request of a poll: the owner's live room, read once the first said live.
    {Where::LiveRoom, "live_room2", sim::kRoom, sim::kRoom},
};

struct Case {
    Place place;
    bool refused = false;
    sim::Fault fault = sim::Fault::None;
    std::string faultText() const { return refused ? "refused" : sim::faultName(fault); }
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.place.name << " " << c.faultText(); }

std::vector<Case> allCases() {
    std::vector<Case> cases;
    for (const Place& place : kPlaces) {
        cases.push_back({place, true, sim::Fault::None});
        for (sim::Fault fault : sim::allFaults()) cases.push_back({place, false, fault});
    }
    return cases;
}

// What a case must come to.
enum class Outcome {
    Failed,     // the answer is no good: nothing changes that it would have changed
    AsNormal,   // the fault leaves what the monitor reads alone: the normal result
    HalfVideo,  // the body is cut in half but announced at that length: saved as served
};

bool jsonOnly(sim::Fault f) {
    return f == sim::Fault::EmptyOwnRoom || f == sim::Fault::SwappedTypes || f == sim::Fault::Blocked;
}

// The service failed to answer (no connection, a time-out, a server error, an answer cut off or
// too big) rather than answered something else.
bool noAnswer(const Case& c) {
    const sim::Fault f = c.fault;
    return c.refused || f == sim::Fault::Stall || f == sim::Fault::Slow || f == sim::Fault::ResetMidBody ||
           f == sim::Fault::Http500 || f == sim::Fault::DeepNesting || f == sim::Fault::Huge ||
           f == sim::Fault::HugeHeader;
}

Outcome expectedOutcome(const Case& c) {
    if (c.refused) return Outcome::Failed;
    const sim::Fault f = c.fault;
    switch (c.place.where) {
        case Where::Profile:
        case Where::Posts:
            return f == sim::Fault::EmptyOwnRoom || f == sim::Fault::SwappedTypes ? Outcome::AsNormal : Outcome::Failed;
        case Where::WorksShare:
            // Half a redirect page still holds the whole target the program reads.
            return jsonOnly(f) || f == sim::Fault::TruncatedJson ? Outcome::AsNormal : Outcome::Failed;
        case Where::LiveShare:
            // A redirect without its page still names its target in its Location header.
            return jsonOnly(f) || f == sim::Fault::TruncatedJson || f == sim::Fault::EmptyBody ? Outcome::AsNormal
                                                                                               : Outcome::Failed;
        case Where::Play: return jsonOnly(f) ? Outcome::AsNormal : Outcome::Failed;
        case Where::Video:
            if (jsonOnly(f) || f == sim::Fault::Huge) return Outcome::AsNormal;
            return f == sim::Fault::TruncatedJson ? Outcome::HalfVideo : Outcome::Failed;
        case Where::Room:
            // An empty own_room says the owner is not live; ids turned into numbers name no room.
            return Outcome::Failed;
        case Where::LiveRoom:
            // The live room's own_room and ids are not read; its stream address stays text.
            return f == sim::Fault::EmptyOwnRoom || f == sim::Fault::SwappedTypes ? Outcome::AsNormal : Outcome::Failed;
    }
    return Outcome::Failed;
}

const char* outcomeText(const Case& c, Outcome o) {
    const Where w = c.place.where;
    if (o == Outcome::HalfVideo) return "half the video, announced at that length, saved as served";
    if (o == Outcome::AsNormal) {
        if (w == Where::Video && c.fault == sim::Fault::Huge) return "200 MB video saved whole, streamed to disk";
        if (w == Where::LiveShare || w == Where::LiveRoom) return "as normal: row live, recorder started";
        if (w == Where::WorksShare) return "as normal: row filled";
        return "as normal: counted, video saved";
    }
    switch (w) {
        case Where::Profile:
        case Where::Posts: return "row unchanged, no download";
        case Where::WorksShare: return "row with the link only (empty ids), no download";
        case Where::Play:
        case Where::Video: return "row counted (good post list), no file";
        case Where::LiveShare:
            return noAnswer(c) ? "no row, no message, link tried again at the next pass"
                               : "no row, message box, no recorder";
        case Where::Room:
        case Where::LiveRoom: return "row unchanged, no recorder";
    }
    return "";
}

class FaultMatrix : public ::testing::TestWithParam<Case> {
protected:
    static void SetUpTestSuite() {
        sim_ = new sim::Simulator;
        ASSERT_TRUE(startNamedSimulator(*sim_));
        sim_->setRequestLogLimit(64);
        // Answers that close their connection: each exchange opens its own, so a refusal can
        // start between two exchanges of one poll, and kept connections do not blur the counts.
        for (const char* e : {sim::kProfile, sim::kPosts, sim::kShare, sim::kPlay, sim::kVideo, sim::kRoom})
            sim_->addResponseHeader(e, "Connection", "close");
        savedNet_ = new NetConfig(netConfig());
        NetConfig quick = *savedNet_;
        quick.timeoutScale = kTimeoutScale;
        setNetConfig(quick);
    }
    static void TearDownTestSuite() {
        setNetConfig(*savedNet_);
        delete savedNet_;
        delete sim_;
        sim_ = nullptr;
    }

    void SetUp() override {
        // The videos' files are counted here; the files kept beside a video have their own tests.
        ::setenv("VIGILO_SIDECARS", "0", 1);
        ASSERT_NE(sim_, nullptr);
        sim_->clearFaults();
        sim_->setRequestObserver(nullptr);
        Endpoints endpoints;
        endpoints.account = endpoints.live = sim_->baseUrl();
        Paths paths = Paths::forDirectory(dir_.path());
        paths.programDir = dir_.path() / "bin";  // where the recorder stub is found
        fs::create_directories(paths.programDir);
        writeRecorderStub(paths.programDir / "ffmpeg", calls_);
        Pacing pacing = Pacing{}.scaled(0.01);
        // A failed video or first query is tried again a cycle later; cycles a minute long keep
        // those tries out of the case that caused them (they have tests of their own).
        pacing.countdownTick = std::chrono::milliseconds(6000);
        ctx_ = std::make_unique<AppContext>(paths, pacing, endpoints, ui_);
        works_ = std::make_unique<WorksMonitor>(*ctx_);
        live_ = std::make_unique<LiveMonitor>(*ctx_);
        key_ = std::to_string(++counter_);
    }

    void TearDown() override {
        disarm();
        settle();
        live_.reset();
        works_.reset();
        ctx_.reset();
    }

    // Waits for the registrations, downloads, file writes and recorders started so far.
    void settle() {
        EXPECT_TRUE(waitFor([&] { return ctx_->accountRegistrationPool.pendingCount() == 0; }, 30s));
        EXPECT_TRUE(ctx_->threads.waitIdle(30s));
        EXPECT_TRUE(waitFor([&] { return live_->runningRecorders() == 0; }, 30s));
    }

    void arm(const Case& c) {
        if (c.refused) {
            if (c.place.before == nullptr) {
                sim_->setRefusing(true);
                return;
            }
            auto done = std::make_shared<std::atomic<bool>>(false);
            sim::Simulator* s = sim_;
            const std::string before = c.place.before;
            sim_->setRequestObserver([s, before, done](const sim::RequestRecord& r) {
                if (r.endpoint == before && !done->exchange(true)) s->setRefusing(true);
            });
            return;
        }
        if (c.place.where == Where::LiveRoom) {
            // Set as the second room request arrives, which then takes it.
            auto seen = std::make_shared<std::atomic<int>>(0);
            sim::Simulator* s = sim_;
            const sim::Fault fault = c.fault;
            sim_->setRequestObserver([s, seen, fault](const sim::RequestRecord& r) {
                if (r.endpoint == sim::kRoom && ++*seen == 2) s->setFault(sim::kRoom, fault);
            });
            return;
        }
        sim_->setFault(c.place.endpoint, c.fault);
    }

    void disarm() {
        sim_->setRequestObserver(nullptr);
        sim_->clearFaults();
        sim_->setRefusing(false);
    }

    fs::path videoPath(const std::string& nickname, const sim::Post& post) const {
        return dir_.path() / "下载" / safeFileName(nickname) / videoFileName(post.awemeId, post.desc);
    }

    // The video files below 下载 that hold exactly these bytes.
    int filesHolding(const std::string& bytes) const {
        int n = 0;
        for (const auto& f : filesBelow(dir_.path() / "下载"))
            if (readBytes(dir_.path() / "下载" / f) == bytes) ++n;
        return n;
    }

    std::size_t recorderStarts() const { return recorderCalls(calls_).size(); }

    // Registers an account in single mode and waits for its initial query.
    int registerAccount(const sim::Account& a) {
        sim_->addAccount(a);
        works_->registerAccounts(sim_->accountShareLink(a.secUid) + "\r\n", false);
        settle();
        return ctx_->accountTable.rowCount() - 1;
    }

    // A room whose owner is live with addresses the recorder stub is happy to be given.
    sim::Room liveRoom(const std::string& id, const std::string& nickname) const {
        sim::Room room = makeRoom(id, nickname);
        room.liveRoomId = id;
        room.rtmpPullUrl = sim_->baseUrl() + "/stage/" + id + ".flv";
        room.hlsPullUrl = sim_->baseUrl() + "/stage/" + id + ".m3u8";
        return room;
    }

    void report(const Case& c, Outcome o, long long ms) {
        std::printf("[matrix] %s | %s | %s | %lld ms\n", c.place.name, c.faultText().c_str(), outcomeText(c, o), ms);
        RecordProperty("exchange_ms", std::to_string(ms));
    }

    void runWorks(const Case& c, Outcome expected);
    void runLive(const Case& c, Outcome expected);

    static sim::Simulator* sim_;
    static NetConfig* savedNet_;
    static int counter_;

    vigilo::testing::TempDir dir_;
    fs::path calls_ = dir_.path() / "recorder-calls";
    RecordingUserInterface ui_;
    std::unique_ptr<AppContext> ctx_;
    std::unique_ptr<WorksMonitor> works_;
    std::unique_ptr<LiveMonitor> live_;
    std::string key_;
};

sim::Simulator* FaultMatrix::sim_ = nullptr;
NetConfig* FaultMatrix::savedNet_ = nullptr;
int FaultMatrix::counter_ = 0;

void FaultMatrix::runWorks(const Case& c, Outcome expected) {
    const Where w = c.place.where;
    TableStore& table = ctx_->accountTable;
    const int port = sim_->port();

    const sim::Account account = makeAccount(key_, "号" + key_);
    const sim::Post added{"71000000000000" + key_, "新作品 " + key_, "FLV VIDEO-ADDED-" + key_};
    const sim::Post later{"72000000000000" + key_, "又一个 " + key_, "FLV VIDEO-LATER-" + key_};
    int row = -1;
    // The same path once without a fault, so that pools, folders and kept handles exist before
    // the count is taken.
    if (w == Where::WorksShare) {
        registerAccount(makeAccount(key_ + "0", "热身" + key_));
    } else {
        row = registerAccount(account);
        sim_->addPost(account.secUid, {"70000000000000" + key_, "热身", "FLV VIDEO-WARM-" + key_});
        works_->pollAccount(row + 1);
        settle();
        ASSERT_EQ(table.cell(row, acol::Counter), "1");
        ASSERT_EQ(filesHolding("FLV VIDEO-WARM-" + key_), 1);
        fs::remove_all(dir_.path() / "下载");
    }
    const Resources before = measureResources(port);
    const auto rowsBefore = table.snapshot();

    arm(c);
    const auto start = Clock::now();
    if (w == Where::WorksShare) {
        sim_->addAccount(account);
        works_->registerAccounts(sim_->accountShareLink(account.secUid) + "\r\n", false);
    } else {
        sim_->addPost(account.secUid, added);
        works_->pollAccount(row + 1);
    }
    settle();
    const long long ms = millisSince(start);
    disarm();
    report(c, expected, ms);
    EXPECT_LE(ms, c.fault == sim::Fault::Huge && w == Where::Video ? kHugeVideoBoundMs : kExchangeBoundMs);

    // What the tables and the downloads folder show.
    const auto rowsAfter = table.snapshot();
    const std::vector<std::string> files = filesBelow(dir_.path() / "下载");
    switch (w) {
        case Where::Profile:
        case Where::Posts:
            if (expected == Outcome::Failed) {
                EXPECT_EQ(rowsAfter, rowsBefore);
                EXPECT_TRUE(files.empty()) << files.size();
            } else {
                EXPECT_EQ(table.cell(row, acol::Counter), "2");
                EXPECT_EQ(filesHolding(added.videoBytes), 1);
            }
            break;
        case Where::WorksShare: {
            ASSERT_EQ(rowsAfter.size(), rowsBefore.size() + 1);
            const auto& added = rowsAfter.back();
            EXPECT_EQ(added[acol::Link], sim_->accountShareLink(account.secUid));
            if (expected == Outcome::Failed) {
                EXPECT_EQ(added[acol::Uid], "");
                EXPECT_EQ(added[acol::SecUid], "");
                EXPECT_EQ(added[acol::Nickname], "");
            } else {
                EXPECT_EQ(added[acol::SecUid], account.secUid);
                EXPECT_EQ(added[acol::Nickname], account.nickname);
            }
            EXPECT_TRUE(files.empty());
            break;
        }
        case Where::Play:
        case Where::Video:
            // The post list was good, so the rise is counted whatever the download does.
            EXPECT_EQ(table.cell(row, acol::Counter), "2");
            EXPECT_EQ(table.cell(row, acol::NewestId), added.awemeId);
            // A lost video is named in the log; a saved one is not.
            EXPECT_EQ(
                ctx_->log.text().find("视频下载失败 " + videoFileName(added.awemeId, added.desc)) != std::string::npos,
                expected == Outcome::Failed)
                << ctx_->log.text();
            if (expected == Outcome::Failed) {
                EXPECT_TRUE(files.empty()) << (files.empty() ? "" : files[0]);
            } else if (expected == Outcome::HalfVideo) {
                ASSERT_EQ(files.size(), 1u);
                EXPECT_EQ(readBytes(videoPath(account.nickname, added)),
                          added.videoBytes.substr(0, added.videoBytes.size() / 2));
            } else if (c.fault == sim::Fault::Huge) {
                ASSERT_EQ(files.size(), 1u);
                EXPECT_EQ(fs::file_size(videoPath(account.nickname, added)), std::uintmax_t{200} << 20);
            } else {
                EXPECT_EQ(readBytes(videoPath(account.nickname, added)), added.videoBytes);
            }
            break;
        default: break;
    }
    // Nothing half-written is left under any name.
    for (const auto& f : files) EXPECT_EQ(f.find(".part"), std::string::npos) << f;
    fs::remove_all(dir_.path() / "下载");

    // The monitor goes on: the next good answers are used as if nothing had happened.
    if (w == Where::WorksShare) {
        works_->registerAccounts(sim_->accountShareLink(account.secUid) + "\r\n", false);
        settle();
        EXPECT_EQ(table.cell(table.rowCount() - 1, acol::Nickname), account.nickname);
    } else {
        const bool counted = !(expected == Outcome::Failed && (w == Where::Profile || w == Where::Posts));
        const sim::Post& next = counted ? later : added;
        if (counted) sim_->addPost(account.secUid, later);
        works_->pollAccount(row + 1);
        settle();
        EXPECT_EQ(table.cell(row, acol::Counter), counted ? "3" : "2");
        EXPECT_EQ(readBytes(videoPath(account.nickname, next)), next.videoBytes);
    }
    fs::remove_all(dir_.path() / "下载");

    Resources now;
    EXPECT_TRUE(waitFor([&] { return backTo(before, port, &now); }, 10s))
        << "before: " << describe(before) << "\nafter:  " << describe(now);
}

void FaultMatrix::runLive(const Case& c, Outcome expected) {
    const Where w = c.place.where;
    TableStore& table = ctx_->roomTable;
    const int port = sim_->port();
    const std::string id = "68541518909940" + std::string(5 - std::min<std::size_t>(5, key_.size()), '0') + key_;
    const std::string nickname = "主播" + key_;

    int row = -1;
    if (w == Where::LiveShare) {
        // Warm-up: a live room registered and recorded once.
        const sim::Room warm = liveRoom(id + "9", "热身" + key_);
        sim_->addRoom(warm);
        live_->registerRoom(sim_->roomShareLink(warm.roomId));
        settle();
        ASSERT_EQ(recorderStarts(), 1u);
        sim_->addRoom(liveRoom(id, nickname));
    } else {
        // Registered while offline, polled once, then the owner goes live in another room.
        sim_->addRoom(makeRoom(id, nickname));
        live_->registerRoom(sim_->roomShareLink(id));
        row = table.rowCount() - 1;
        ASSERT_EQ(table.cell(row, rcol::Owner), nickname);
        live_->pollRoom(row + 1);
        settle();
        const std::string liveId = "69" + id.substr(2);
        sim_->goLiveWithUrls(id, sim_->baseUrl() + "/stage/" + id + ".flv", sim_->baseUrl() + "/stage/" + id + ".m3u8",
                             liveId);
    }
    const Resources before = measureResources(port);
    const auto rowsBefore = table.snapshot();
    const std::size_t startsBefore = recorderStarts();
    const std::size_t messagesBefore = ui_.messages().size();

    arm(c);
    const auto start = Clock::now();
    if (w == Where::LiveShare)
        live_->registerRoom(sim_->roomShareLink(id));
    else
        live_->pollRoom(row + 1);
    const long long ms = millisSince(start);
    settle();
    disarm();
    report(c, expected, ms);
    EXPECT_LE(ms, kExchangeBoundMs);

    const auto rowsAfter = table.snapshot();
    if (expected == Outcome::Failed) {
        EXPECT_EQ(rowsAfter, rowsBefore);
        EXPECT_EQ(recorderStarts(), startsBefore);
        if (w == Where::LiveShare && noAnswer(c)) {
            EXPECT_EQ(ui_.messages().size(), messagesBefore);
            EXPECT_TRUE(live_->hasUnansweredLinks());
        } else if (w == Where::LiveShare) {
            ASSERT_EQ(ui_.messages().size(), messagesBefore + 1);
            EXPECT_EQ(ui_.messages().back().text, "请输入直播间分享链接，非主页链接");
            EXPECT_FALSE(live_->hasUnansweredLinks());
        }
    } else {
        EXPECT_EQ(recorderStarts(), startsBefore + 1);
        const int r = w == Where::LiveShare ? static_cast<int>(rowsAfter.size()) - 1 : row;
        ASSERT_GE(r, 0);
        EXPECT_EQ(table.cell(r, rcol::Owner), nickname);
        EXPECT_NE(table.cell(r, rcol::LatestRoomId), "");
    }

    // The monitor goes on: the next good answer starts the recording.
    const std::size_t startsNow = recorderStarts();
    if (w == Where::LiveShare)
        live_->registerRoom(sim_->roomShareLink(id));
    else
        live_->pollRoom(row + 1);
    settle();
    EXPECT_EQ(recorderStarts(), startsNow + 1);
    const std::string lastOwner = table.cell(w == Where::LiveShare ? table.rowCount() - 1 : row, rcol::Owner);
    EXPECT_EQ(lastOwner, nickname);

    Resources now;
    EXPECT_TRUE(waitFor([&] { return backTo(before, port, &now); }, 10s))
        << "before: " << describe(before) << "\nafter:  " << describe(now);
}

TEST_P(FaultMatrix, EndsInTimeChangesOnlyWhatAGoodAnswerWouldAndGivesBackWhatItTook) {
    const Case& c = GetParam();
    const Outcome expected = expectedOutcome(c);
    switch (c.place.where) {
        case Where::Profile:
        case Where::Posts:
        case Where::WorksShare:
        case Where::Play:
        case Where::Video: runWorks(c, expected); break;
        default: runLive(c, expected); break;
    }
}

std::string caseName(const ::testing::TestParamInfo<Case>& info) {
    std::string name = std::string(info.param.place.name) + "_" + info.param.faultText();
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(AllFaults, FaultMatrix, ::testing::ValuesIn(allCases()), caseName);

}  // namespace
}  // namespace vigilo::reliability
