// The recorder's command, ports, file names and the files it leaves behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fcntl.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "helpers.h"
#include "live/monitor.h"
#include "live/recorder.h"
#include "live/runner.h"
#include "sys/files.h"
#include "text/charset.h"

namespace vigilo {
namespace {

using livetest::readBytes;
using livetest::TempDir;
using livetest::writeBytes;

TEST(RecorderPort, EveryRowHasItsOwnValidPort) {
    struct Case {
        int row;
        int port;
    };
    const Case cases[] = {{0, 1110},   {1, 1111},    {3, 1113},    {9, 1119},      {10, 11110}, {12, 11112},
                          {99, 11199}, {100, 11200}, {101, 11201}, {54435, 65535}, {54436, -1}, {-1, -1}};
    for (const auto& c : cases) EXPECT_EQ(recorderPort(c.row), c.port) << "row " << c.row;

    std::set<int> seen;
    for (int row = 1; row <= 54435; ++row) {
        const int port = recorderPort(row);
        ASSERT_GT(port, 1023) << row;
        ASSERT_LE(port, 65535) << row;
        ASSERT_TRUE(seen.insert(port).second) << "row " << row << " shares port " << port;
    }
}

TEST(RecorderCommand, ArgumentVectorKeepsTheUrlAndTheFileWhole) {
    const std::string url = "http://127.0.0.1:8080/live/a b.flv?x=1&y=\"-i /etc/passwd\"";
    const std::vector<std::string> expected = {"-rw_timeout",
                                               "15000000",
                                               "-i",
                                               url,
                                               "-c",
                                               "copy",
                                               "-f",
                                               "mpegts",
                                               "-y",
                                               "udp://127.0.0.1:1112",
                                               "-c",
                                               "copy",
                                               "-movflags",
                                               "+frag_keyframe+default_base_moof",
                                               "-flush_packets",
                                               "1",
                                               "-metadata",
                                               "comment=vigilo:7400000000000000001",
                                               "./主播 -y x.mp4"};
    EXPECT_EQ(recorderArguments(url, recorderPort(2), "./主播 -y x.mp4", "7400000000000000001"), expected);
}

TEST(RecorderCommand, OnlyNetworkStreamsAreRecorded) {
    struct Case {
        const char* url;
        bool ok;
    };
    const Case cases[] = {
        {"http://127.0.0.1:8080/live.flv", true},
        {"https://pull-hls.example.com/stage/x.m3u8?k=v", true},
        {"rtmp://pull.example.com/live/x", true},
        {"rtmps://pull.example.com/live/x", true},
        {"HTTP://EXAMPLE.COM/x.flv", true},
        {"file:///etc/passwd", false},
        {"concat:a.flv|b.flv", false},
        {"/home/user/x.flv", false},
        {"x.flv", false},
        {"", false},
        {"http://", false},
        {"http:///etc/passwd", false},
        {"ftp://example.com/x.flv", false},
        {"subfile,,start,0,end,0,,:http://x/y", false},
        {"http://example.com/a\nb", false},
        {"http://example.com/a b", false},
        {"-i http://example.com/x", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isRecordableUrl(c.url), c.ok) << c.url;
}

TEST(RecorderNames, UniqueSafeNamesThatNeverReplaceARecording) {
    struct Case {
        std::string nickname;
        std::set<std::string> taken;
        std::string name;
    };
    const std::string longName(300, 'a');
    const Case cases[] = {
        {"abc", {}, "abc.mp4"},
        {"abc", {"abc.mp4"}, "abc-2.mp4"},
        {"abc", {"abc.mp4", "abc-2.mp4"}, "abc-3.mp4"},
        {"abc", {"abc-2.mp4"}, "abc.mp4"},
        {"主播 😀", {}, "主播 😀.mp4"},
        {"a/b", {}, "a_b.mp4"},
        {"../../etc/x", {}, "_._.._etc_x.mp4"},
        {"", {}, "_.mp4"},
        {".profile", {}, "_profile.mp4"},
        {"..", {}, "__.mp4"},
        {".", {}, "_.mp4"},
        {std::string("a\nb\tc\x7f", 6) + "\xc2\x85", {}, "a_b_c__.mp4"},
        {std::string("a\0b", 3), {}, "a_b.mp4"},
        {"bad\xff", {}, "bad\xef\xbf\xbd.mp4"},
        {"-y", {}, "-y.mp4"},
        {longName, {}, std::string(251, 'a') + ".mp4"},
        {longName, {std::string(251, 'a') + ".mp4"}, std::string(249, 'a') + "-2.mp4"},
    };
    for (const auto& c : cases) {
        const std::string name =
            uniqueRecordingName(c.nickname, [&](const std::string& n) { return c.taken.count(n) > 0; });
        EXPECT_EQ(name, c.name) << c.nickname;
    }

    // Cut on a character boundary: 100 three-byte characters leave 83 whole ones.
    std::string wide;
    for (int i = 0; i < 100; ++i) wide += "录";
    for (const std::set<std::string>& taken : {std::set<std::string>{}, std::set<std::string>{"x"}}) {
        const std::string name = uniqueRecordingName(wide, [&](const std::string& n) { return taken.count(n) > 0; });
        EXPECT_LE(name.size(), 255u);
        EXPECT_TRUE(isValidUtf8(name)) << name;
        EXPECT_EQ(name.substr(name.size() - 4), ".mp4");
    }
    std::set<std::string> taken;
    for (int i = 0; i < 12; ++i) {
        const std::string name = uniqueRecordingName(wide, [&](const std::string& n) { return taken.count(n) > 0; });
        EXPECT_LE(name.size(), 255u);
        EXPECT_TRUE(isValidUtf8(name));
        ASSERT_TRUE(taken.insert(name).second) << name;
    }
}

// A recorder is ours, and its room's, only by the exact command we build with its mark; a file
// name says nothing (主播A-2.mp4 may be the recording of the owner called 主播A-2).
TEST(RecorderMark, ARecorderIsKnownByItsCommandAndItsRoomNeverByItsFileName) {
    const std::string url = "http://127.0.0.1:8080/live/b.flv";
    const std::vector<std::string> ours = recorderArguments(url, 1112, "./主播A-2.mp4", "7400000000000000002");
    const auto with = [](std::vector<std::string> prefix, const std::vector<std::string>& rest) {
        prefix.insert(prefix.end(), rest.begin(), rest.end());
        return prefix;
    };
    const auto changed = [&](std::size_t at, const std::string& value) {
        std::vector<std::string> args = with({"ffmpeg"}, ours);
        args[at + 1] = value;
        return args;
    };
    std::vector<std::string> inserted = with({"ffmpeg"}, ours);
    inserted.insert(inserted.end() - 1, {"-t", "5"});
    const struct {
        const char* name;
        std::vector<std::string> commandLine;
        std::optional<std::string> room;
    } cases[] = {
        {"ours", with({"/usr/bin/ffmpeg"}, ours), "7400000000000000002"},
        {"ours through a script", with({"/bin/sh", "/opt/bin/ffmpeg"}, ours), "7400000000000000002"},
        {"the arguments alone, no program", ours, std::nullopt},
        {"a user's own job", {"ffmpeg", "-i", url, "-c", "copy", "user.mkv"}, std::nullopt},
        {"our shape without the mark", changed(ours.size() - 2, "comment=holiday"), std::nullopt},
        {"another program's mark", changed(ours.size() - 2, "comment=other:7400000000000000002"), std::nullopt},
        {"an output elsewhere", changed(ours.size() - 1, "/home/user/x.mp4"), std::nullopt},
        {"an output in a sub-folder", changed(ours.size() - 1, "./sub/x.mp4"), std::nullopt},
        {"an output above", changed(ours.size() - 1, "./../x.mp4"), std::nullopt},
        {"a port that is no number", changed(9, "udp://127.0.0.1:11x"), std::nullopt},
        {"another address", changed(9, "udp://10.0.0.1:1112"), std::nullopt},
        {"an option of its own", inserted, std::nullopt},
    };
    for (const auto& c : cases) {
        const std::optional<RecorderCommand> command = recorderCommandOf(c.commandLine);
        ASSERT_EQ(command.has_value(), c.room.has_value()) << c.name;
        if (!command) continue;
        EXPECT_EQ(command->roomId, *c.room) << c.name;
        EXPECT_EQ(command->streamUrl, url);
        EXPECT_EQ(command->port, 1112);
        EXPECT_EQ(command->outputFile, "./主播A-2.mp4");
    }
    EXPECT_EQ(roomOfMark("vigilo:123"), "123");
    EXPECT_EQ(roomOfMark("vigilo:"), "");
    EXPECT_FALSE(roomOfMark("Vigilo:123"));
    EXPECT_FALSE(roomOfMark("made by vigilo:123"));
}

// A recorder that keeps only the sound, or cuts its recording into parts, is known as well, with
// the name it reserved; a split command whose pattern is not one we build is not ours.
TEST(RecorderMark, SplitAndSoundOnlyRecordersAreKnownWithTheirReservedName) {
    const std::string url = "http://127.0.0.1:8080/live/b.m3u8";
    const auto program = [](std::vector<std::string> args) {
        args.insert(args.begin(), "ffmpeg");
        return args;
    };
    const struct {
        const char* name;
        std::string reserved;
        RecorderOptions options;
    } ours[] = {
        {"sound only", "./主播A.mp4", {true, 0}},
        {"split", "./主播A.mp4", {false, 600}},
        {"split, sound only, a % in the name", "./100%主播%d.mp4", {true, 60}},
    };
    for (const auto& c : ours) {
        const auto command =
            recorderCommandOf(program(recorderArguments(url, 1113, c.reserved, "7400000000000000004", c.options)));
        ASSERT_TRUE(command) << c.name;
        EXPECT_EQ(command->outputFile, c.reserved) << c.name;
        EXPECT_EQ(command->options, c.options) << c.name;
        EXPECT_EQ(command->roomId, "7400000000000000004") << c.name;
    }
    std::vector<std::string> single = program(recorderArguments(url, 1113, "./a.mp4", "1", {false, 60}));
    single.back() = "./a%.part%03d.mp4";  // a lone "%" is no stem of ours
    std::vector<std::string> plainName = program(recorderArguments(url, 1113, "./a.mp4", "1", {false, 60}));
    plainName.back() = "./a.mp4";
    std::vector<std::string> zero = program(recorderArguments(url, 1113, "./a.mp4", "1", {false, 60}));
    for (std::string& arg : zero)
        if (arg == "60") arg = "0";
    for (const auto& commandLine : {single, plainName, zero})
        EXPECT_FALSE(recorderCommandOf(commandLine)) << commandLine.back();

    EXPECT_EQ(recordingPartPattern("./100%主播%d.mp4"), "./100%%主播%%d.part%03d.mp4");
    EXPECT_EQ(stemOfRecordingPart("主播A.part001.mp4"), "主播A");
    EXPECT_FALSE(stemOfRecordingPart("主播A.part.mp4"));
    EXPECT_FALSE(stemOfRecordingPart(".part001.mp4"));
    EXPECT_TRUE(isRecordingPartOf("主播A.part1000.mp4", "主播A.mp4"));
    EXPECT_FALSE(isRecordingPartOf("主播A-2.part001.mp4", "主播A.mp4"));
}

// ffmpeg writes the mark into the file's movie header, where a recording is known as ours
// after its recorder has ended, and whichever name it has.
TEST(RecorderMark, ARecordingCarriesItsRoomsMark) {
    TempDir dir;
    const RunResult made =
        runProgram({"ffmpeg",
                    {"-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=64x48:rate=10", "-t", "1",
                     "-c:v", "mpeg4", "-movflags", "+frag_keyframe+default_base_moof", "-metadata",
                     "comment=" + recorderMark("7400000000000000003"), "./marked.mp4"},
                    dir.path(),
                    true});
    ASSERT_EQ(made.exitCode, 0) << made.collectedOutput;
    EXPECT_EQ(recordingMarkOf(dir.path() / "marked.mp4"), "7400000000000000003");

    const RunResult plain =
        runProgram({"ffmpeg",
                    {"-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=64x48:rate=10", "-t", "1",
                     "-c:v", "mpeg4", "-metadata", "comment=holiday vigilo:1", "./holiday.mp4"},
                    dir.path(),
                    true});
    ASSERT_EQ(plain.exitCode, 0) << plain.collectedOutput;
    EXPECT_FALSE(recordingMarkOf(dir.path() / "holiday.mp4"));
    writeBytes(dir.path() / "empty.mp4", "");
    EXPECT_FALSE(recordingMarkOf(dir.path() / "empty.mp4"));
    writeBytes(dir.path() / "text.mp4", "vigilo:1 vigilo:1 vigilo:1 vigilo:1");
    EXPECT_FALSE(recordingMarkOf(dir.path() / "text.mp4"));
    EXPECT_FALSE(recordingMarkOf(dir.path() / "missing.mp4"));
}

// A recording taken over from an earlier run is timed by its own fragments, reading only what
// is new at each look.
TEST(RecorderMark, ARecordingIsTimedByItsFragments) {
    TempDir dir;
    const RunResult made =
        runProgram({"ffmpeg",
                    {"-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=64x48:rate=10", "-t", "3",
                     "-c:v", "mpeg4", "-g", "10", "-movflags", "+frag_keyframe+default_base_moof", "./timed.mp4"},
                    dir.path(),
                    true});
    ASSERT_EQ(made.exitCode, 0) << made.collectedOutput;
    const std::string whole = readBytes(dir.path() / "timed.mp4");
    // Growing as a recorder writes it: cut inside a fragment, then whole.
    writeBytes(dir.path() / "growing.mp4", whole.substr(0, whole.size() / 2));
    FragmentScan scan;
    const std::optional<double> half = recordedSeconds(dir.path() / "growing.mp4", scan);
    ASSERT_TRUE(half);
    EXPECT_GT(*half, 0.5);
    EXPECT_LT(*half, 2.5);
    writeBytes(dir.path() / "growing.mp4", whole);
    const std::optional<double> full = recordedSeconds(dir.path() / "growing.mp4", scan);
    ASSERT_TRUE(full);
    EXPECT_NEAR(*full, 3.0, 0.2);
    FragmentScan fresh;
    EXPECT_EQ(recordedSeconds(dir.path() / "timed.mp4", fresh), full);

    writeBytes(dir.path() / "text.mp4", "not a recording");
    FragmentScan none;
    EXPECT_FALSE(recordedSeconds(dir.path() / "text.mp4", none));
    EXPECT_FALSE(recordedSeconds(dir.path() / "missing.mp4", none));
}

TEST(PlayScript, StartsThePlayerOnTheRowsPort) {
    struct Case {
        int port;
        const char* content;
    };
    const Case cases[] = {
        {1110, "#!/bin/sh\nffplay -x 360 -y 640 udp://127.0.0.1:1110\n"},
        {1111, "#!/bin/sh\nffplay -x 360 -y 640 udp://127.0.0.1:1111\n"},
        {11112, "#!/bin/sh\nffplay -x 360 -y 640 udp://127.0.0.1:11112\n"},
        {11200, "#!/bin/sh\nffplay -x 360 -y 640 udp://127.0.0.1:11200\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(playScriptContent(c.port), c.content);
}

TEST(RecordingFiles, CollectsMp4OfAnyCaseButNotSubFoldersAndNeverReplaces) {
    TempDir dir;
    for (const char* name : {"a.mp4", "B.MP4", "c.Mp4", "d.mp4.part", "e.txt", "mp4"})
        writeBytes(dir.path() / name, name);
    fs::create_directory(dir.path() / "sub");
    writeBytes(dir.path() / "sub" / "f.mp4", "f");
    fs::create_directory(dir.path() / "g.mp4");  // a folder with a recording's name
    fs::create_symlink("/etc/hostname", dir.path() / "h.mp4");
    EXPECT_EQ(recordingFilesIn(dir.path()), (std::vector<std::string>{"B.MP4", "a.mp4", "c.Mp4"}));

    writeBytes(dir.path() / "target.mp4", "old");
    EXPECT_FALSE(moveWithoutReplace(dir.path() / "a.mp4", dir.path() / "target.mp4"));
    EXPECT_EQ(readBytes(dir.path() / "target.mp4"), "old");
    EXPECT_EQ(readBytes(dir.path() / "a.mp4"), "a.mp4");
    EXPECT_TRUE(moveWithoutReplace(dir.path() / "a.mp4", dir.path() / "sub" / "a.mp4"));
    EXPECT_EQ(readBytes(dir.path() / "sub" / "a.mp4"), "a.mp4");
    EXPECT_FALSE(fs::exists(dir.path() / "a.mp4"));
}

TEST(RecordingFiles, OpenFilesAndRecordersAreFoundThroughProc) {
    TempDir dir;
    const fs::path file = dir.path() / "open.mp4";
    writeBytes(file, "x");
    EXPECT_FALSE(fileHeldOpen(file));
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fileHeldOpen(file));
    ::close(fd);
    EXPECT_FALSE(fileHeldOpen(file));

    // We run in some other directory under some other name: never found.
    EXPECT_TRUE(processesByNameInDirectory("ffmpeg", dir.path()).empty());
}

// A recorder left by an earlier run is timed from its own start, read from its stat line,
// whatever its command name holds.
TEST(ProcessStart, TheStartTimeIsReadAfterTheLastBracket) {
    const std::string tail = " S 1 1234 1234 0 -1 4194560 1234 0 0 0 10 5 0 0 20 0 1 0 987654 123456 789";
    struct Case {
        std::string stat;
        std::optional<unsigned long long> ticks;
    };
    const Case cases[] = {
        {"1234 (ffmpeg)" + tail, 987654},
        {"77 (a) b) S 9 9 (c)" + tail, 987654},
        {"77 ( ) )" + tail, 987654},
        {"1234 (ffmpeg) S 1 1234 1234 0 -1 4194560 1234 0 0 0 10 5 0 0 20 0 1 0 18446744073709551615",
         18446744073709551615ull},
        {"1234 (ffmpeg) S 1 1234 1234 0 -1 4194560 1234 0 0 0 10 5 0 0 20 0 1 0", std::nullopt},
        {"1234 (ffmpeg) S 1 1234 1234 0 -1 4194560 1234 0 0 0 10 5 0 0 20 0 1 0 -5 1", std::nullopt},
        {"1234 (ffmpeg) S 1 1234 1234 0 -1 4194560 1234 0 0 0 10 5 0 0 20 0 1 0 12x 1", std::nullopt},
        {"1234 ffmpeg" + tail, std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(startTicksOfStat(c.stat), c.ticks) << c.stat;
    // The state is the first field after the name, a trailing newline is not part of the last.
    EXPECT_EQ(statFieldsAfterName("9 (x) y) Z 1\n"), (std::vector<std::string_view>{"Z", "1"}));

    EXPECT_TRUE(processAge(::getpid()).has_value());
    EXPECT_FALSE(processAge(0).has_value());
}

}  // namespace
}  // namespace vigilo

namespace vigilo {
namespace {

// A recorder whose stream never gave a frame leaves an empty file or only the file type box;
// every other file, a real recording or something unknown, is a recording to keep.
TEST(RecordingFiles, AFileThatNeverGotAFrameIsToldFromARecording) {
    using namespace std::string_literals;
    const auto box = [](const std::string& type, const std::string& body) {
        const std::uint32_t n = static_cast<std::uint32_t>(body.size() + 8);
        return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)} + type + body;
    };
    const std::string ftyp = box("ftyp", "isom\0\0\2\0isomiso2"s);
    const struct {
        const char* name;
        std::string bytes;
        bool neverStarted;
    } cases[] = {
        {"empty", "", true},
        {"file type only", ftyp, true},
        {"file type and free space", ftyp + box("free", "xx"), true},
        {"file type, cut in the next box", ftyp + "\0\0"s, true},
        {"movie header only, stopped before the first fragment", ftyp + box("moov", "m"), true},
        {"movie header after a free box", ftyp + box("free", "") + box("moov", "m"), true},
        {"recording", ftyp + box("moov", "m") + box("moof", "f") + box("mdat", "d"), false},
        {"recording cut inside its first media", ftyp + box("moov", "m") + box("moof", "f") + "\0\0\1\0mdat"s, false},
        {"not an MP4 at all", "arbitrary bytes", false},
        {"a media box first", box("mdat", "d"), false},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const fs::path file = dir.path() / "x.mp4";
        writeBytes(file, c.bytes);
        EXPECT_EQ(recordingNeverStarted(file), c.neverStarted) << c.name;
    }
    EXPECT_FALSE(recordingNeverStarted(dir.path() / "missing.mp4"));
}

}  // namespace
}  // namespace vigilo
