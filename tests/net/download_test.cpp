// Streamed downloads: exact bytes, progress figures, failures that leave nothing half-written.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "net/download.h"
#include "net/videocheck.h"
#include "support/loopback.h"

namespace vigilo {
namespace {

namespace fs = std::filesystem;
using testing::LoopbackServer;
using testing::sorted;

std::string patternBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) % 256);
    return bytes;
}

// Bytes that begin like an MP4: a file type box, then the pattern.
std::string videoBytes(std::size_t size) {
    using namespace std::string_literals;
    return "\0\0\0\x18"
           "ftypisom"s +
           patternBytes(size - 12);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct Progress {
    std::int64_t total, position, elapsed, received;
};

class DownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ =
            fs::temp_directory_path() / (std::string("vigilo-net-") + info->name() + "-" + std::to_string(::getpid()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);

        server_.on(R"(/file/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(patternBytes(std::stoul(req.matches[1])), "application/octet-stream");
        });
        server_.on(R"(/video/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content(videoBytes(std::stoul(req.matches[1])), "video/mp4");
        });
        // An answer with the given Content-Type and body ("video", "pattern" or the text itself).
        server_.on("/typed", [](const httplib::Request& req, httplib::Response& res) {
            const std::string type = req.get_param_value("type");
            const std::string body = req.get_param_value("body");
            res.set_header("Content-Type", type);
            res.body = body == "video" ? videoBytes(40000) : body == "pattern" ? patternBytes(40000) : body;
        });
        server_.on(R"(/chunked/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
            const std::string body = patternBytes(std::stoul(req.matches[1]));
            res.set_chunked_content_provider("application/octet-stream",
                                             [body](size_t offset, httplib::DataSink& sink) {
                                                 if (offset >= body.size()) {
                                                     sink.done();
                                                     return true;
                                                 }
                                                 const size_t piece = std::min<size_t>(3001, body.size() - offset);
                                                 sink.write(body.data() + offset, piece);
                                                 return true;
                                             });
        });
        server_.on("/missing", [](const httplib::Request&, httplib::Response& res) {
            res.status = 404;
            res.set_content("<html>not found</html>", "text/html");
        });
        server_.on("/empty", [](const httplib::Request&, httplib::Response& res) { res.set_content("", "video/mp4"); });
        server_.on("/moved", [this](const httplib::Request&, httplib::Response& res) {
            res.status = 302;
            res.set_header("Location", server_.url("/video/54321"));
            res.set_content("<a href=\"x\">Found</a>.", "text/html");
        });
        server_.on("/truncated", [](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(50000, "video/mp4", [](size_t offset, size_t, httplib::DataSink& sink) {
                if (offset >= 20000) return false;
                const std::string part = patternBytes(20000);
                sink.write(part.data(), part.size());
                return true;
            });
        });
        ASSERT_TRUE(server_.start());
    }

    void TearDown() override {
        server_.stop();
        fs::remove_all(folder_);
    }

    fs::path folder_;
    LoopbackServer server_;
};

std::string closedUrl() {
    LoopbackServer gone;
    if (!gone.start()) return "http://127.0.0.1:9/";
    return gone.url("/file/10");
}

TEST_F(DownloadTest, UpdateDownloadWritesExactBytesAndReportsEveryChunk) {
    struct Case {
        std::size_t size;
        bool chunked;  // no Content-Length: total stays 0
        bool resume;
    };
    const Case cases[] = {{0, false, false},      {1, false, true},     {10240, false, false}, {20480, false, true},
                          {102400, false, false}, {12345, false, true}, {100001, true, false}, {0, true, true}};
    for (const Case& c : cases) {
        const std::string label = std::to_string(c.size) + (c.chunked ? " chunked" : "") + (c.resume ? " resume" : "");
        SCOPED_TRACE(label);
        const fs::path target = folder_ / "vgmon";
        fs::remove(target);
        std::vector<Progress> calls;
        const std::string url = server_.url((c.chunked ? "/chunked/" : "/file/") + std::to_string(c.size));
        const DownloadResult result = downloadFile(
            url, target.string(),
            [&](std::int64_t total, std::int64_t position, std::int64_t elapsed, std::int64_t received) {
                calls.push_back({total, position, elapsed, received});
            },
            0, c.resume);
        EXPECT_EQ(result.code, 0) << result.message << " " << result.error;
        EXPECT_EQ(readFile(target), patternBytes(c.size));
        EXPECT_EQ(entries(folder_), std::vector<std::string>{"vgmon"});

        EXPECT_GE(calls.size(), (c.size + 10239) / 10240);
        std::int64_t previous = 0;
        for (const Progress& p : calls) {
            EXPECT_EQ(p.total, c.chunked ? 0 : static_cast<std::int64_t>(c.size));
            EXPECT_GT(p.position, previous);
            EXPECT_LE(p.position - previous, 10240);
            EXPECT_EQ(p.received, p.position);
            EXPECT_GT(p.elapsed, 0);
            previous = p.position;
        }
        EXPECT_EQ(previous, static_cast<std::int64_t>(c.size));
        // From the first byte no range is asked for.
        for (const std::string& line : server_.last().headers) EXPECT_NE(line.rfind("Range", 0), 0u) << line;
    }
}

TEST_F(DownloadTest, ResumeAsksForTheRestAndKeepsThePrefix) {
    const std::string body = patternBytes(30000);
    const fs::path target = folder_ / "vgmon";
    writeFile(target, body.substr(0, 5000));
    std::vector<Progress> calls;
    const DownloadResult result = downloadFile(
        server_.url("/file/30000"), target.string(),
        [&](std::int64_t total, std::int64_t position, std::int64_t elapsed, std::int64_t received) {
            calls.push_back({total, position, elapsed, received});
        },
        5000, true);
    ASSERT_EQ(result.code, 0) << result.error;
    EXPECT_EQ(result.statusCode, 206);
    EXPECT_EQ(readFile(target), body);
    const auto headers = server_.last().headers;
    EXPECT_NE(std::find(headers.begin(), headers.end(), "Range: bytes=5000-"), headers.end());
    ASSERT_FALSE(calls.empty());
    EXPECT_GT(calls.front().position, 5000);
    EXPECT_EQ(calls.back().position, 30000);
    EXPECT_EQ(calls.back().received, 25000);
    EXPECT_EQ(calls.back().total, 25000);
    EXPECT_EQ(entries(folder_), std::vector<std::string>{"vgmon"});
}

TEST_F(DownloadTest, UpdateDownloadFailuresLeaveNothingBehind) {
    struct Case {
        const char* name;
        std::string url;
        std::string file;
        std::string message;
        int status;
    };
    const std::string old = "previous build";
    const Case cases[] = {
        {"404 page", server_.url("/missing"), "vgmon", "地址失效，请进入官网下载最新版本", 404},
        {"unreachable", closedUrl(), "vgmon", "地址失效，请进入官网下载最新版本", 0},
        {"bad address", "no address", "vgmon", "地址失效，请进入官网下载最新版本", 0},
        {"missing folder", server_.url("/file/10"), "no-such-folder/vgmon", "不能打开本地的文件!", 200},
        {"body breaks off", server_.url("/truncated"), "vgmon", "读文件出错!", 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(folder_ / "vgmon", old);
        int calls = 0;
        const DownloadResult result = downloadFile(
            c.url, (folder_ / c.file).string(), [&](auto, auto, auto, auto) { ++calls; }, 0, true);
        EXPECT_EQ(result.code, -1);
        EXPECT_EQ(result.message, c.message);
        EXPECT_FALSE(result.error.empty());
        EXPECT_EQ(result.statusCode, c.status);
        EXPECT_EQ(readFile(folder_ / "vgmon"), old);
        EXPECT_EQ(entries(folder_), std::vector<std::string>{"vgmon"});
    }
}

TEST_F(DownloadTest, VideoLandsOnlyWhenWholeAndNonEmpty) {
    const fs::path target = folder_ / "7-hello.mp4";
    const FileDownload good = plainDownloadToFile(server_.url("/moved"), target.string());
    EXPECT_TRUE(good.ok) << good.error;
    EXPECT_EQ(good.statusCode, 200);
    EXPECT_EQ(good.bytes, 54321);
    EXPECT_EQ(readFile(target), videoBytes(54321));
    EXPECT_EQ(server_.last().headers, sorted({"Accept: */*", "Host: 127.0.0.1:" + std::to_string(server_.port())}));

    struct Case {
        const char* name;
        std::string url;
    };
    const Case failures[] = {
        {"404", server_.url("/missing")},
        {"empty answer", server_.url("/empty")},
        {"body breaks off", server_.url("/truncated")},
        {"unreachable", closedUrl()},
        {"no address", ""},
    };
    for (const Case& c : failures) {
        SCOPED_TRACE(c.name);
        const FileDownload failed = plainDownloadToFile(c.url, target.string());
        EXPECT_FALSE(failed.ok);
        EXPECT_FALSE(failed.error.empty());
        EXPECT_EQ(readFile(target), videoBytes(54321));
        EXPECT_EQ(entries(folder_), std::vector<std::string>{"7-hello.mp4"});
    }
}

TEST(VideoAnswer, PagesAndForeignBytesAreNoVideo) {
    using namespace std::string_literals;
    const std::string mp4 =
        "\0\0\0\x20"
        "ftyp"s;
    const std::string flv = "FLV\x01\x05\0\0\0"s;
    struct Case {
        const char* type;
        std::string head;
        bool video;
    };
    const Case cases[] = {
        {"video/mp4", mp4, true},
        {"video/x-flv", flv, true},
        {"application/octet-stream", mp4, true},
        {"", mp4, true},  // no Content-Type: the bytes decide
        {"", flv, true},
        {"", "FLV", true},
        {"Video/MP4; codecs=avc1", mp4, true},
        {"text/plain", mp4, false},
        {"TEXT/HTML; charset=utf-8", mp4, false},
        {"text/x-whatever", flv, false},
        {"application/xhtml+xml", mp4, false},
        {"application/xml", mp4, false},
        {"image/svg+xml", mp4, false},
        {"application/json", mp4, false},
        {"application/problem+json", mp4, false},
        {"", "<!DOCTYPE", false},
        {"video/mp4", "<html><b", false},
        {"video/mp4",
         "\0\0\0\x20"
         "moov"s,
         false},  // an MP4 box, but not the file type box first
        {"video/mp4",
         "\0\0\0\x20"
         "fty"s,
         false},  // cut before the box type ends
        {"application/octet-stream", "", false},
        {"video/mp4", "flv\x01\x05\0\0\0"s, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.type) + " / " + c.head);
        const std::string problem = videoAnswerProblem(c.type, c.head);
        EXPECT_EQ(problem.empty(), c.video) << problem;
    }
    EXPECT_EQ(contentTypeOf("HTTP/1.1 200 OK\r\ncontent-TYPE:  text/plain \r\nX: y\r\n\r\n"), "text/plain");
    EXPECT_EQ(contentTypeOf("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n"), "");
}

// Each page answered with 200 is a failed try with its reason; the earlier file stays.
TEST_F(DownloadTest, PagesAnsweredAsVideosAreRefused) {
    const std::string video = videoBytes(40000);
    const fs::path target = folder_ / "7-hello.mp4";
    writeFile(target, "earlier");
    struct Case {
        const char* type;
        std::string body;
        const char* reason;
    };
    const Case cases[] = {
        {"text/plain", "video", "text/plain"},
        {"application/xhtml+xml", "video", "application/xhtml+xml"},
        {"text/html", "<html>verify you are human</html>", "MP4 or FLV"},
        {"application/octet-stream", "pattern", "MP4 or FLV"},
        {"video/mp4", "tiny", "MP4 or FLV"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        const std::string url = server_.url("/typed") + "?type=" + httplib::detail::encode_query_param(c.type) +
                                "&body=" + httplib::detail::encode_query_param(c.body);
        const FileDownload failed = plainDownloadToFile(url, target.string());
        EXPECT_FALSE(failed.ok);
        EXPECT_EQ(failed.bytes, 0);
        EXPECT_NE(failed.error.find(c.reason), std::string::npos) << failed.error;
        EXPECT_EQ(readFile(target), "earlier");
        EXPECT_EQ(entries(folder_), std::vector<std::string>{"7-hello.mp4"});
    }
    // A type that says nothing, but a video's bytes: saved.
    const std::string url = server_.url("/typed") + "?type=application/octet-stream&body=video";
    const FileDownload saved = plainDownloadToFile(url, target.string());
    EXPECT_TRUE(saved.ok) << saved.error;
    EXPECT_EQ(readFile(target), video);
}

TEST_F(DownloadTest, FullDiskFailsCleanly) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const fs::path video = folder_ / "v.mp4";
    writeFile(video, "old video");
    writeFile(folder_ / "vgmon", "old build");

    rlimit limited = saved;
    limited.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const FileDownload failed = plainDownloadToFile(server_.url("/video/200000"), video.string());
    const DownloadResult update =
        downloadFile(server_.url("/file/200000"), (folder_ / "vgmon").string(), nullptr, 0, true);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);

    EXPECT_FALSE(failed.ok);
    EXPECT_NE(failed.error.find("too large"), std::string::npos) << failed.error;
    EXPECT_EQ(update.code, -1);
    EXPECT_EQ(update.message, "读文件出错!");
    EXPECT_EQ(readFile(video), "old video");
    EXPECT_EQ(readFile(folder_ / "vgmon"), "old build");
    EXPECT_EQ(entries(folder_), (std::vector<std::string>{"v.mp4", "vgmon"}));
}

}  // namespace
}  // namespace vigilo
