// What the service sends is never trusted: names become one clean file name inside their own
// folder, a recording name stays one argument that ffmpeg cannot read as an option, a stream
// address that is not a network stream starts nothing, and ids never leave their query value.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "app/table.h"
#include "control/startup.h"
#include "live/recorder.h"
#include "net/budget.h"
#include "net/download.h"
#include "net/http.h"
#include "reliability/monitors.h"
#include "support/sim_support.h"
#include "text/charset.h"
#include "text/filenames.h"
#include "text/strings.h"
#include "works/names.h"

namespace vigilo::reliability {
namespace {

std::string thousandBytes() {
    std::string s;
    while (s.size() < 1000) s += "名😀x/";
    return s.substr(0, 1000);
}

struct HostileName {
    const char* what;
    std::string nickname, desc;
};

std::vector<HostileName> hostileNames() {
    return {
        {"option-like", "-y", "-i x"},
        {"two words, an option first", "-i x", "-f null -"},
        {"slashes and dots", "../../etc", "../../x/.."},
        {"a dot name", ".", ".."},
        {"a hidden name", ".hidden", ".profile"},
        {"NUL", std::string("a\0b", 3), std::string("c\0d", 3)},
        {"control characters", "\x01\x1b[31m\x7f", "\t\r\n\x08"},
        {"1000 bytes", thousandBytes(), thousandBytes()},
        {"emoji", "😀🎉", "🎬 #话题"},
        {"not UTF-8", "\xff\xfe\xc3(", "\xe4\xb8"},
        {"INI lines", "x\r\n[evil]\r\n昵称=1", "y\r\n[evil2]\r\nz=1"},
    };
}

bool cleanComponent(const std::string& name) {
    return !name.empty() && name[0] != '.' && name.size() <= kMaxNameBytes && isValidUtf8(name) &&
           name.find('/') == std::string::npos && std::none_of(name.begin(), name.end(), [](char c) {
               return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
           });
}

class HostileService : public MonitorsTest {
protected:
    // The videos' files are counted here; the files kept beside a video have their own tests.
    void SetUp() override {
        ::setenv("VIGILO_SIDECARS", "0", 1);
        MonitorsTest::SetUp();
    }
};

TEST_F(HostileService, NamesBecomeOneCleanFileInTheirOwnFolderAndWellFormedAccountLines) {
    std::set<std::string> uids;
    int key = 10;
    for (const auto& c : hostileNames()) {
        SCOPED_TRACE(c.what);
        const std::string k = std::to_string(key++);
        sim::Account account = makeAccount(k, c.nickname);
        const int row = registerAccount(account);
        uids.insert(account.uid);
        const sim::Post post{"7100000000000000" + k, c.desc, "FLV VIDEO-" + k + std::string(100000, 'v')};
        sim_.addPost(account.secUid, post);
        works_->pollAccount(row + 1);
        settle();

        // Exactly one file holds the video: 下载/<folder>/<name>, every part visible.
        std::vector<std::string> holding;
        for (const auto& f : filesBelow(data() / "下载"))
            if (readBytes(data() / "下载" / f) == post.videoBytes) holding.push_back(f);
        ASSERT_EQ(holding.size(), 1u);
        const fs::path rel = holding[0];
        // Bytes that are not UTF-8 arrive as U+FFFD, as every answer body is read.
        const std::string folder = safeFileName(toValidUtf8(c.nickname));
        std::vector<std::string> parts;
        for (const auto& part : rel) parts.push_back(part.string());
        ASSERT_EQ(parts.size(), folder.empty() ? 1u : 2u) << rel;
        if (!folder.empty()) {
            EXPECT_EQ(parts[0], folder);
        }
        EXPECT_EQ(parts.back(), videoFileName(post.awemeId, toValidUtf8(post.desc)));
        EXPECT_EQ(parts.back().rfind(post.awemeId + "-", 0), 0u);
        for (const auto& part : parts) EXPECT_TRUE(cleanComponent(part)) << part;
        fs::remove_all(data() / "下载");
    }

    // One pass of the monitor reports every account on a line of its own; no name adds one.
    ctx_->worksStop = false;
    ctx_->worksRunning = true;
    works_->startMonitorThread();
    const std::size_t accounts = uids.size();
    auto reported = [&] {
        std::size_t n = 0;
        for (const std::string& line : splitCrLf(ctx_->log.text()))
            if (line.find("：有更新1条") != std::string::npos) ++n;
        return n;
    };
    EXPECT_TRUE(waitFor([&] { return reported() >= accounts; }, 20s));
    ctx_->worksRunning = false;
    ctx_->worksStop = true;
    EXPECT_TRUE(waitFor([&] { return works_->monitorThreads() == 0; }, 10s));
    settle();
    for (const std::string& line : splitCrLf(ctx_->log.text())) {
        EXPECT_NE(line.rfind("[evil]", 0), 0u) << line;
        EXPECT_EQ(line.find_first_of(std::string("\0\x01\x1b\x7f", 4)), std::string::npos);
    }

    // Nothing was written beside or above the data directory. The monitor ends first: the
    // record of seen posts is written as it goes, and no file is being written while listed.
    works_.reset();
    std::set<std::string> top;
    for (const auto& e : fs::directory_iterator(data())) top.insert(e.path().filename().string());
    EXPECT_EQ(top, (std::set<std::string>{"抖音账号信息.ini", "seen-posts.json", "pending-downloads.json"}));
    std::set<std::string> scratch;
    for (const auto& e : fs::directory_iterator(dir_.path())) scratch.insert(e.path().filename().string());
    EXPECT_EQ(scratch, (std::set<std::string>{"bin", "data", "recorder-calls"}));

    // The account file: one section per account, nine key lines each, and no line that a
    // name could have added.
    const std::string text = gbkToUtf8(readBytes(data() / "抖音账号信息.ini"));
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    std::set<std::string> sections;
    int keysInSection = 0;
    for (const std::string& line : splitCrLf(text.substr(0, text.size() - 2))) {
        if (!line.empty() && line.front() == '[') {
            if (!sections.empty()) {
                EXPECT_EQ(keysInSection, 9);
            }
            EXPECT_TRUE(sections.insert(line.substr(1, line.size() - 2)).second) << line;
            keysInSection = 0;
        } else {
            EXPECT_NE(line.find('='), std::string::npos) << line;
            ++keysInSection;
        }
    }
    EXPECT_EQ(keysInSection, 9);
    EXPECT_EQ(sections, uids);
}

TEST_F(HostileService, ARecordingNameIsOneArgumentAfterTheOptionsInsideTheDataFolder) {
    int key = 10;
    std::vector<std::pair<std::string, std::string>> expected;  // nickname, stream address
    for (const auto& c : hostileNames()) {
        const std::string id = "68541518909940000" + std::to_string(key++);
        sim::Room room = makeRoom(id, c.nickname);
        room.liveRoomId = id;
        room.rtmpPullUrl = sim_.baseUrl() + "/stage/" + id + ".flv";
        room.hlsPullUrl = sim_.baseUrl() + "/stage/" + id + ".m3u8";
        sim_.addRoom(room);
        live_->registerRoom(sim_.roomShareLink(id));
        settle();
        expected.emplace_back(c.nickname, room.rtmpPullUrl);
    }
    const auto calls = recorderCalls(calls_);
    ASSERT_EQ(calls.size(), expected.size());
    std::set<std::string> outputs;
    for (const auto& args : calls) {
        ASSERT_FALSE(args.empty());
        const std::string output = args.back();
        SCOPED_TRACE(output);
        // The only argument the service's text reaches: "./" and one clean name, after every
        // option, so ffmpeg can only take it as its last output file.
        ASSERT_EQ(output.rfind("./", 0), 0u);
        const std::string name = output.substr(2);
        EXPECT_TRUE(cleanComponent(name));
        EXPECT_EQ(name.substr(name.size() - 4), ".mp4");
        const auto row = std::find_if(expected.begin(), expected.end(), [&](const auto& e) {
            return std::find(args.begin(), args.end(), e.second) != args.end();
        });
        ASSERT_NE(row, expected.end());
        const int rowNumber = static_cast<int>(row - expected.begin()) + 1;
        EXPECT_EQ(args, recorderArguments(row->second, recorderPort(rowNumber), output,
                                          ctx_->roomTable.cell(rowNumber - 1, rcol::RoomId)));
        EXPECT_EQ(name, recordingStem(row->first) + ".mp4");
        outputs.insert(name);
    }
    EXPECT_EQ(outputs.size(), expected.size());
    // The stub wrote nothing, so the reserved names were given back, and nothing else appeared
    // but the records of the shows announced and of their reports.
    EXPECT_EQ(filesBelow(data()), (std::vector<std::string>{"announced-shows.json", "show-reports.json"}));
    std::set<std::string> scratch;
    for (const auto& e : fs::directory_iterator(dir_.path())) scratch.insert(e.path().filename().string());
    EXPECT_EQ(scratch, (std::set<std::string>{"bin", "data", "recorder-calls"}));
}

TEST_F(HostileService, FfmpegWritesADashNicknameToItsOwnFileAndReadsNoOption) {
    if (!sim::Simulator::ffmpegAvailable()) GTEST_SKIP() << "ffmpeg is not installed";
    // The real ffmpeg this time: no stub beside the program.
    fs::remove(ctx_->paths.programDir / "ffmpeg");
    const sim::StreamUrls stream = sim_.createStream("dash");
    const std::vector<std::string> nicknames = {"-y", "-i x", "-f null -"};
    int key = 10;
    for (const std::string& nickname : nicknames) {
        const std::string id = "68541518909940000" + std::to_string(key++);
        sim::Room room = makeRoom(id, nickname);
        room.liveRoomId = id;
        room.rtmpPullUrl = stream.flv;
        room.hlsPullUrl = stream.hls;
        sim_.addRoom(room);
        live_->registerRoom(sim_.roomShareLink(id));
    }
    ASSERT_TRUE(waitFor(
        [&] {
            for (const std::string& n : nicknames)
                if (std::error_code ec; fs::file_size(data() / (n + ".mp4"), ec) < 20000 || ec) return false;
            return true;
        },
        30s))
        << ctx_->log.text();
    const StopRecordingReport report = live_->stopRecording();
    EXPECT_TRUE(report.leftOver.empty());
    std::set<std::string> moved(report.moved.begin(), report.moved.end());
    EXPECT_EQ(moved, (std::set<std::string>{"-y.mp4", "-i x.mp4", "-f null -.mp4"}));
    for (const std::string& n : nicknames) {
        const auto streams = test::probeStreams((ctx_->paths.collectionDir() / (n + ".mp4")).string(), 20s);
        EXPECT_NE(std::find(streams.begin(), streams.end(), "video"), streams.end()) << n;
    }
    // Had any name been read as options, ffmpeg would have written "x", "-" or "null" files,
    // or refused to start.
    EXPECT_EQ(filesBelow(data()),
              (std::vector<std::string>{"announced-shows.json", "download/-f null -.mp4", "download/-i x.mp4",
                                        "download/-y.mp4", "show-reports.json"}));
}

TEST_F(HostileService, StreamAddressesThatAreNotNetworkStreamsStartNoRecorder) {
    const std::vector<std::string> addresses = {
        "file:///etc/passwd",
        "concat:http://127.0.0.1/a.flv|http://127.0.0.1/b.flv",
        "subfile,,start,0,end,0,,:/etc/passwd",
        "-i /etc/passwd",
        "http://127.0.0.1/x.flv -f null -y /tmp/x",
        "pipe:0",
        "/etc/passwd",
        "hls+http://127.0.0.1/x.m3u8",
        "cache:http://127.0.0.1/x.flv",
        "tcp://127.0.0.1:1",
        "http://127.0.0.1/x.flv\r\n12:00:00：伪造的一行",
    };
    int key = 10;
    for (const std::string& address : addresses) {
        SCOPED_TRACE(address);
        // Live at registration: the address of the default resolution (rtmp_pull_url).
        const std::string id = "68541518909940000" + std::to_string(key++);
        sim::Room room = makeRoom(id, "主播" + std::to_string(key));
        room.liveRoomId = id;
        room.rtmpPullUrl = room.hlsPullUrl = address;
        sim_.addRoom(room);
        live_->registerRoom(sim_.roomShareLink(id));
        // Offline at registration, live at the next poll: the HLS address.
        const std::string other = "68541518909940000" + std::to_string(key++);
        sim_.addRoom(makeRoom(other, "主播" + std::to_string(key)));
        live_->registerRoom(sim_.roomShareLink(other));
        sim_.goLiveWithUrls(other, address, address);
        live_->pollRoom(ctx_->roomTable.rowCount());
        settle();
        // Live, and not recorded: the row says so, and the next pass tries again.
        for (int row : {ctx_->roomTable.rowCount() - 2, ctx_->roomTable.rowCount() - 1}) {
            EXPECT_EQ(ctx_->roomTable.cell(row, rcol::LiveStatus), "正在直播");
            EXPECT_EQ(ctx_->roomTable.cell(row, rcol::RecordStatus), "录制失败");
        }
    }
    EXPECT_TRUE(recorderCalls(calls_).empty());
    EXPECT_EQ(filesBelow(data()), (std::vector<std::string>{"announced-shows.json", "show-reports.json"}));
    // Each refusal is one log line naming the address; no text of the service forges a line.
    const std::string log = ctx_->log.text();
    int refusals = 0;
    for (const std::string& line : splitCrLf(log)) {
        const bool refusal = line.find("拒绝录制非网络直播源：") != std::string::npos;
        if (refusal) ++refusals;
        if (line.find("伪造") != std::string::npos) {
            EXPECT_TRUE(refusal) << line;
        }
    }
    EXPECT_EQ(refusals, static_cast<int>(2 * addresses.size())) << log;
}

// The characters that would end a query value, start a fragment, or end the request line.
const std::vector<std::string>& hostileIds() {
    static const std::vector<std::string> ids = {
        "MS4w&x=1",
        "MS4w#frag",
        "MS4w?a=b",
        "MS4w a b",
        "MS4w\r\nX-Injected: 1",
        "MS4w%0D%0AX-Injected:%201",
        "MS4w HTTP/1.1\r\nHost: evil\r\n\r\nGET /",
    };
    return ids;
}

void expectCleanRequest(const sim::RequestRecord& r, const char* idParam, const std::string& id,
                        const std::set<std::string>& paramNames, const std::vector<std::string>& headerNames) {
    SCOPED_TRACE(r.target);
    EXPECT_EQ(r.version, "HTTP/1.1");
    for (unsigned char ch : r.target) EXPECT_TRUE(ch > 0x20 && ch < 0x7F && ch != '#') << int(ch);
    EXPECT_EQ(r.param(idParam), id);
    std::set<std::string> names;
    for (const auto& [name, value] : r.params) names.insert(name);
    EXPECT_EQ(names, paramNames);
    std::vector<std::string> headers;
    for (const auto& [name, value] : r.headers) {
        headers.push_back(name);
        EXPECT_EQ(value.find_first_of("\r\n"), std::string::npos);
    }
    EXPECT_EQ(headers, headerNames);
    EXPECT_TRUE(r.header("X-Injected").empty());
}

TEST_F(HostileService, IdsFromTheServiceStayInsideTheirQueryValue) {
    // What a request of each kind looks like for a plain id.
    const sim::Account plain = makeAccount("1", "甲");
    registerAccount(plain);
    sim_.addRoom(makeRoom("6854151890994000001", "乙"));
    live_->registerRoom(sim_.roomShareLink("6854151890994000001"));
    settle();
    auto names = [](const sim::RequestRecord& r) {
        std::set<std::string> params;
        for (const auto& [n, v] : r.params) params.insert(n);
        std::vector<std::string> headers;
        for (const auto& [n, v] : r.headers) headers.push_back(n);
        return std::pair{params, headers};
    };
    const auto profileShape = names(sim_.requests(sim::kProfile).back());
    const auto postsShape = names(sim_.requests(sim::kPosts).back());
    const auto roomShape = names(sim_.requests(sim::kRoom).back());

    int key = 10;
    for (const std::string& hostile : hostileIds()) {
        SCOPED_TRACE(hostile);
        sim_.clearRequests();
        // An account whose sec_uid the share page carries as it is.
        sim::Account account = makeAccount(std::to_string(key++), "丙");
        account.secUid = hostile;
        const int row = registerAccount(account);
        const std::string secUid = ctx_->accountTable.cell(row, acol::SecUid);
        EXPECT_EQ(hostile.rfind(secUid, 0), 0u) << "the id read from the page is a prefix of the real one";
        // A poll as well, on the id the row holds.
        works_->pollAccount(row + 1);
        // A room row holding the id, polled.
        const int roomRow = ctx_->roomTable.appendRow();
        ctx_->roomTable.setCell(roomRow, rcol::RoomId, hostile);
        ctx_->roomTable.setCell(roomRow, rcol::LiveStatus, "已下播|未直播");
        live_->pollRoom(roomRow + 1);
        settle();

        ASSERT_FALSE(sim_.requests(sim::kProfile).empty());
        for (const auto& r : sim_.requests(sim::kProfile))
            expectCleanRequest(r, "sec_uid", secUid, profileShape.first, profileShape.second);
        for (const auto& r : sim_.requests(sim::kPosts))
            expectCleanRequest(r, "sec_uid", secUid, postsShape.first, postsShape.second);
        ASSERT_EQ(sim_.requests(sim::kRoom).size(), 1u);
        expectCleanRequest(sim_.requests(sim::kRoom).front(), "room_id", hostile, roomShape.first, roomShape.second);
        // Every request the simulator saw was one of these kinds: nothing was split off.
        for (const auto& r : sim_.requests()) EXPECT_NE(r.endpoint, "other") << r.target;
    }
}

// A video body that never ends, or a disk running out, stops the download with a log line
// that says why, and leaves no file behind: neither the video nor its temporary file.
TEST_F(HostileService, EndlessVideoStopsAtItsLimitWithALogLineAndLeavesNoFile) {
    const NetConfig saved = netConfig();
    struct Case {
        const char* what;
        std::int64_t maxVideoBytes, minFreeBytes;
        std::string logged;
    } cases[] = {
        {"over the size cap", std::int64_t{2} << 20, 0, "the video is larger than 2 MB"},
        {"free space under the limit", std::int64_t{1} << 60, std::int64_t{1} << 60,
         "less than " + std::to_string((std::int64_t{1} << 60) >> 20) + " MB free on the disk of the download folder"},
    };
    sim_.setHostileAnswer(sim::kVideo, {sim::HostileKind::Endless, 0});
    int key = 40;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        NetConfig config = saved;
        config.maxVideoBytes = c.maxVideoBytes;
        config.minFreeBytes = c.minFreeBytes;
        setNetConfig(config);
        const std::string k = std::to_string(key++);
        const sim::Account account = makeAccount(k, "主播" + k);
        const int row = registerAccount(account);
        sim_.addPost(account.secUid, {"7200000000000000" + k, "新作品", "unused"});
        works_->pollAccount(row + 1);
        settle();

        EXPECT_EQ(filesBelow(data() / "下载"), std::vector<std::string>{});
        int failures = 0;
        for (const std::string& line : splitCrLf(ctx_->log.text()))
            if (line.find("主播" + k + "：视频下载失败") != std::string::npos &&
                line.find(c.logged) != std::string::npos)
                ++failures;
        EXPECT_EQ(failures, 1) << ctx_->log.text();
        // The row still counts the new post: only the video is missing, and the log says so.
        EXPECT_EQ(ctx_->accountTable.cell(row, acol::Counter), "1");
    }
    setNetConfig(saved);
}

// What a run that was killed left half-downloaded goes at the next start; files of a process
// that still runs, and files that only look alike, stay.
TEST_F(HostileService, StalePartFilesGoAtStartAndOnlyThey) {
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ASSERT_GT(gone, 0);
    ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
    const fs::path folder = data() / "下载" / "主播";
    fs::create_directories(folder);
    const std::string stale = ".vigilo-" + std::to_string(gone) + "-3.part";
    const std::string staleTop = ".vigilo-" + std::to_string(gone) + "-0.part";
    const std::string running = ".vigilo-" + std::to_string(::getppid()) + "-1.part";
    const std::vector<std::string> kept = {running, ".vigilo-notes.part", ".vigilo-" + std::to_string(gone) + "-x.part",
                                           "7100-x.mp4"};
    for (const auto& name : kept) writeBytes(folder / name, "keep");
    writeBytes(folder / stale, std::string(1000, 'v'));
    writeBytes(data() / "下载" / staleTop, "v");

    startUp(*ctx_, "");

    std::vector<std::string> expected;
    for (const auto& name : kept) expected.push_back("主播/" + name);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(filesBelow(data() / "下载"), expected);
}

// Texts of any length the answer cap lets through are cut before they reach a cell, a log
// line or a name; the account still works.
TEST_F(HostileService, LongServiceTextsAreCutBeforeCellsLogLinesAndNames) {
    // Each post of the list carries its author's nickname too: the answers stay under the cap.
    const std::string nickname = "名" + std::string(1 << 20, 'n');
    const std::string desc = std::string(2 << 20, 'd');
    sim::Account account = makeAccount("50", nickname);
    const int row = registerAccount(account);
    EXPECT_EQ(ctx_->accountTable.cell(row, acol::Nickname), cutServiceText(nickname, kMaxNicknameBytes));
    const sim::Post post{"7300000000000000050", desc, "FLV VIDEO-50"};
    sim_.addPost(account.secUid, post);
    works_->pollAccount(row + 1);
    settle();
    EXPECT_EQ(ctx_->accountTable.cell(row, acol::NewestDesc), desc.substr(0, kMaxDescriptionBytes));
    EXPECT_EQ(ctx_->accountTable.cell(row, acol::Counter), "1");
    const std::vector<std::string> files = filesBelow(data() / "下载");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(readBytes(data() / "下载" / files[0]), post.videoBytes);
    for (const auto& part : fs::path(files[0])) EXPECT_LE(part.string().size(), kMaxNameBytes);

    ctx_->worksStop = false;
    ctx_->worksRunning = true;
    works_->startMonitorThread();
    EXPECT_TRUE(waitFor([&] { return ctx_->log.text().find("：有更新1条") != std::string::npos; }, 20s));
    ctx_->worksRunning = false;
    ctx_->worksStop = true;
    EXPECT_TRUE(waitFor([&] { return works_->monitorThreads() == 0; }, 10s));
    settle();
    for (const std::string& line : splitCrLf(ctx_->log.text())) EXPECT_LT(line.size(), 2u * kMaxNicknameBytes);
}

// An answer over the cap is no answer, however valid; one just under it is read whole, and its
// long unread array is never built.
TEST_F(HostileService, AnswersOverTheCapFailAndLongUnreadArraysAreSkipped) {
    sim::Account account = makeAccount("60", "大答案");
    const int row = registerAccount(account);
    ASSERT_EQ(ctx_->accountTable.cell(row, acol::Nickname), "大答案");
    sim_.addPost(account.secUid, {"7400000000000000060", "新", "FLV VIDEO-60"});

    sim_.setHostileAnswer(sim::kProfile, {sim::HostileKind::LongArray, std::size_t{60} << 20});
    works_->pollAccount(row + 1);
    settle();
    EXPECT_EQ(ctx_->accountTable.cell(row, acol::Counter), "0");
    EXPECT_EQ(ctx_->accountTable.cell(row, acol::PostCount), "1");
    EXPECT_EQ(net::answerBudget().held(), 0u);

    for (const char* endpoint : {sim::kProfile, sim::kPosts})
        sim_.setHostileAnswer(endpoint, {sim::HostileKind::LongArray, kMaxJsonAnswerBytes - 4096});
    works_->pollAccount(row + 1);
    settle();
    EXPECT_EQ(ctx_->accountTable.cell(row, acol::Counter), "1") << ctx_->log.text();
    EXPECT_EQ(ctx_->accountTable.cell(row, acol::NewestId), "7400000000000000060");
    EXPECT_EQ(readBytes(data() / "下载" / "大答案" / videoFileName("7400000000000000060", "新")), "FLV VIDEO-60");
    EXPECT_EQ(net::answerBudget().held(), 0u);
}

}  // namespace
}  // namespace vigilo::reliability
