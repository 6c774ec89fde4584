// A full file system, played by a file-size limit in a child process: downloads and recordings
// fail with a line in the log, nothing half-written lands under a final name, files that were
// there keep their content, and the monitors go on with the next piece of work.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <string>
#include <vector>

#include "app/context.h"
#include "app/linkfile.h"
#include "app/table.h"
#include "live/monitor.h"
#include "reliability/child.h"
#include "reliability/fixture.h"
#include "support/sim_support.h"
#include "text/charset.h"
#include "text/strings.h"
#include "works/monitor.h"
#include "works/names.h"

namespace vigilo::reliability {
namespace {

// Writes beyond this many bytes into one file fail with EFBIG, as on a full disk.
bool limitFileSize(rlim_t bytes) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
    limit.rlim_cur = bytes;
    return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}
bool liftFileSizeLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0) return false;
    limit.rlim_cur = limit.rlim_max;
    return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

// The report of a child: lines ended by LF or CR LF.
std::vector<std::string> reportLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

std::vector<std::string> logLinesWith(const std::string& log, const std::string& needle) {
    std::vector<std::string> found;
    for (const std::string& line : reportLines(log))
        if (line.find(needle) != std::string::npos) found.push_back(line);
    return found;
}

TEST(FullDisk, DownloadsAndFileWritesFailCleanlyAndTheWorksMonitorGoesOn) {
    // The videos' files are counted here; the files kept beside a video have their own tests.
    ::setenv("VIGILO_SIDECARS", "0", 1);
    vigilo::testing::TempDir dir;
    const Paths paths = Paths::forDirectory(dir.path());
    // Files that are there already and larger than the limit: a rewrite cannot fit.
    std::string others;
    while (others.size() < 300000) others += "[1" + std::to_string(others.size()) + "]\r\nx=1\r\n";
    writeBytes(paths.accountFile(), others);
    std::string links;
    while (links.size() < 300000) links += "https://v.douyin.com/abc/\r\n";
    writeBytes(paths.linkFile1(), links);

    Gate gate;
    TextPipe out;
    const pid_t pid = forkWork([&] {
        const std::vector<std::string> given = gate.wait();  // the service's address, the links
        if (given.size() != 2) ::_exit(3);
        RecordingUserInterface ui;
        Endpoints endpoints;
        endpoints.account = endpoints.live = given[0];
        AppContext ctx(paths, Pacing{}.scaled(0.01), endpoints, ui);
        WorksMonitor works(ctx);
        if (!limitFileSize(256 * 1024)) ::_exit(2);
        works.registerAccounts(given[1], true);
        waitFor([&] { return ctx.accountRegistrationPool.pendingCount() == 0; }, 20s);
        ctx.threads.waitIdle(20s);
        const bool linkSaved = writeLinkFile(paths.linkFile1(), links + links);
        // Both rows see a rise: the big video cannot be written, the small one can.
        for (int row : {0, 1}) {
            works.testCommand(row, "0");
            works.pollAccount(row + 1);
        }
        ctx.threads.waitIdle(20s);
        out.write(std::string(linkSaved ? "saved" : "refused") + "\n" + ctx.accountTable.cell(1, acol::Counter) + "\n" +
                  ctx.log.text());
    });
    ASSERT_GT(pid, 0);
    sim::Simulator sim;
    ASSERT_TRUE(startNamedSimulator(sim));
    sim::Account big = makeAccount("1", "甲"), small = makeAccount("2", "乙");
    big.posts = {{"7100000000000000001", "大", "FLV" + std::string(1u << 20, 'b')}};
    small.posts = {{"7100000000000000002", "小", "FLV" + std::string(20000, 's')}};
    sim.addAccount(big);
    sim.addAccount(small);
    gate.open({sim.baseUrl(), sim.accountShareLink(big.secUid) + "\r\n" + sim.accountShareLink(small.secUid)});
    const int status = waitChild(pid, 60s);
    const std::string report = out.readAll();
    ASSERT_EQ(status, 0) << report;
    const std::vector<std::string> lines = reportLines(report);
    ASSERT_GE(lines.size(), 2u) << report;

    // The files that were there keep their old content; nothing temporary is left beside them.
    EXPECT_EQ(lines[0], "refused");
    EXPECT_EQ(readBytes(paths.linkFile1()), links);
    EXPECT_EQ(readBytes(paths.accountFile()), others);
    // The big video failed with a line in the log and left nothing under any name; the small
    // one, polled after it, was saved whole.
    EXPECT_EQ(lines[1], "1");
    const auto failures = logLinesWith(report, "视频下载失败");
    ASSERT_EQ(failures.size(), 1u) << report;
    EXPECT_NE(failures[0].find(videoFileName(big.posts[0].awemeId, big.posts[0].desc)), std::string::npos);
    EXPECT_NE(failures[0].find("too large"), std::string::npos) << failures[0];
    const fs::path smallFile = paths.downloadsDir() / "乙" / videoFileName(small.posts[0].awemeId, small.posts[0].desc);
    EXPECT_EQ(readBytes(smallFile), small.posts[0].videoBytes);
    EXPECT_EQ(filesBelow(paths.downloadsDir()), std::vector<std::string>{"乙/" + smallFile.filename().string()});
    for (const auto& name : filesBelow(dir.path())) EXPECT_EQ(name.find(".tmp."), std::string::npos) << name;
}

TEST(FullDisk, ARecordingThatFillsTheDiskEndsWithALogLineAndTheRoomIsRecordedAgain) {
    if (!sim::Simulator::ffmpegAvailable()) GTEST_SKIP() << "ffmpeg is not installed";
    vigilo::testing::TempDir dir;
    const Paths paths = Paths::forDirectory(dir.path());
    constexpr rlim_t kLimit = 96 * 1024;
    Gate gate;
    TextPipe out;
    const pid_t pid = forkWork([&] {
        const std::vector<std::string> given = gate.wait();  // the service's address, the room's link
        if (given.size() != 2) ::_exit(3);
        Endpoints endpoints;
        endpoints.account = endpoints.live = given[0];
        const std::string& link = given[1];
        RecordingUserInterface ui;
        AppContext ctx(paths, Pacing{}.scaled(0.001), endpoints, ui);
        LiveMonitor live(ctx);
        if (!limitFileSize(kLimit)) ::_exit(2);
        live.registerRoom(link);
        // The recorder fills the file up to the limit and fails; the row says so.
        const bool ended = waitFor([&] { return live.runningRecorders() == 0; }, 40s);
        const std::string status =
            ctx.roomTable.cell(0, rcol::LiveStatus) + "|" + ctx.roomTable.cell(0, rcol::RecordStatus);
        // Space again: the next poll records the same show into a file of its own.
        liftFileSizeLimit();
        live.pollRoom(1);
        const bool again = waitFor(
            [&] {
                std::error_code ec;
                const auto size = fs::file_size(dir.path() / "主播-2.mp4", ec);
                return !ec && size > 2 * kLimit;
            },
            40s);
        const StopRecordingReport report = live.stopRecording();
        out.write(std::string(ended ? "ended" : "still running") + "\n" + status + "\n" +
                  (again ? "again" : "not again") + "\n" + std::to_string(report.moved.size()) + "\n" + ctx.log.text());
    });
    ASSERT_GT(pid, 0);
    sim::Simulator sim;
    ASSERT_TRUE(startNamedSimulator(sim));
    const sim::StreamUrls stream = sim.createStream("full");
    sim::Room room = makeRoom("6854151890994039560", "主播");
    room.liveRoomId = room.roomId;
    room.rtmpPullUrl = stream.flv;
    room.hlsPullUrl = stream.hls;
    sim.addRoom(room);
    gate.open({sim.baseUrl(), sim.roomShareLink(room.roomId)});
    const int status = waitChild(pid, 120s);
    const std::string report = out.readAll();
    ASSERT_EQ(status, 0) << report;
    const std::vector<std::string> lines = reportLines(report);
    ASSERT_GE(lines.size(), 4u) << report;
    EXPECT_EQ(lines[0], "ended");
    EXPECT_EQ(lines[1], "已下播|未直播|等待录制");
    EXPECT_EQ(lines[2], "again");
    EXPECT_EQ(lines[3], "2");
    const auto failures = logLinesWith(report, "录制中断：主播.mp4");
    ASSERT_EQ(failures.size(), 1u) << report;

    // What was recorded before the disk filled is kept and plays; nothing else was written.
    const fs::path first = paths.collectionDir() / "主播.mp4";
    EXPECT_LE(fs::file_size(first), kLimit);
    const auto streams = test::probeStreams(first.string(), 20s);
    EXPECT_NE(std::find(streams.begin(), streams.end(), "video"), streams.end());
    EXPECT_GT(fs::file_size(paths.collectionDir() / "主播-2.mp4"), 2 * kLimit);
    EXPECT_EQ(filesBelow(dir.path()), (std::vector<std::string>{"announced-shows.json", "download/主播-2.mp4",
                                                                "download/主播.mp4", "show-reports.json"}));
}

}  // namespace
}  // namespace vigilo::reliability
