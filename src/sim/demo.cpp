#include "sim/demo.h"

#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

#include "sim/live_source.h"
#include "sim/process.h"

namespace vigilo::sim {

namespace {

const char* kDescriptions[] = {
    "今天的晚霞太好看了🌇 #日落 #治愈系",
    "第一次做红烧肉，成功了吗？\n评论区告诉我 #美食 #家常菜",
    "周末去爬山⛰️ 累但是值得 #户外 #周末去哪儿",
    "小猫又在键盘上睡着了🐱 #萌宠",
    "一分钟学会折纸鹤 #手工 #教程",
};

bool writeBytes(const std::string& path, const std::string& bytes) {
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

// Quotes only when the shell would otherwise split or expand the value.
std::string shellQuote(const std::string& s) {
    bool plain = !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) ||
               std::string_view("_./:-@%+=,").find(c) != std::string_view::npos;
    });
    if (plain) return s;
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out.push_back(c);
    }
    return out + "'";
}

}  // namespace

std::string makeDemoVideo() {
    std::string placeholder = "not a real video: ffmpeg was not found when the simulator started\n";
    if (!findExecutable("ffmpeg")) return placeholder;
    std::string tmpl = (std::filesystem::temp_directory_path() / "vigilo-sim-video-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) return placeholder;
    std::string file = tmpl + "/demo.mp4";
    bool ok = runToEnd({"ffmpeg",
                        "-hide_banner",
                        "-nostdin",
                        "-loglevel",
                        "error",
                        "-f",
                        "lavfi",
                        "-i",
                        "testsrc=size=320x240:rate=15:duration=3",
                        "-f",
                        "lavfi",
                        "-i",
                        "sine=frequency=660:sample_rate=44100:duration=3",
                        "-c:v",
                        LiveSource::videoEncoder("ffmpeg", false) == "libx264" ? "libx264" : "mpeg4",
                        "-pix_fmt",
                        "yuv420p",
                        "-c:a",
                        "aac",
                        "-shortest",
                        "-movflags",
                        "+faststart",
                        "-y",
                        file},
                       std::chrono::seconds(60));
    std::string bytes;
    if (ok) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        bytes = ss.str();
    }
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
    return bytes.empty() ? placeholder : bytes;
}

DemoScenario::DemoScenario(Simulator& sim, DemoOptions options) : sim_(sim), options_(options) {}

std::chrono::steady_clock::duration DemoScenario::scaled(double seconds) const {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds * options_.timeScale));
}

Post DemoScenario::makePost() {
    Post p;
    p.awemeId =
        std::to_string(6990000000000000000ull + 7310000000ull + static_cast<unsigned long long>(nextPostIndex_));
    p.desc = kDescriptions[(nextPostIndex_ - 1) % 5];
    p.videoBytes = video_;
    ++nextPostIndex_;
    return p;
}

void DemoScenario::setUp() {
    video_ = makeDemoVideo();

    Account poster;
    poster.uid = "73519046218";
    poster.secUid = kPosterSecUid;
    poster.shortId = "1589043172";
    poster.uniqueId = "xiaoxiong_daily";
    poster.nickname = "小熊看世界🐻";
    poster.signature = "每天分享一点快乐\n合作请私信";
    poster.followerCount = 128400;
    for (int i = 0; i < 3; ++i) poster.posts.insert(poster.posts.begin(), makePost());

    Account food;
    food.uid = "58203917746";
    food.secUid = "MS4wLjABAAAAp2LmX8Rk0vQe7TbZ4nYwHs1JcFa9UdOi3gKxNqE6rBw";
    food.shortId = "2201984467";
    food.uniqueId = "";
    food.nickname = "山城美食记";
    food.signature = "重庆 | 只吃不说";
    food.followerCount = 45210;
    for (int i = 0; i < 2; ++i) food.posts.insert(food.posts.begin(), makePost());

    Account lena;
    lena.uid = "96611270385";
    lena.secUid = "MS4wLjABAAAAe5Vq1ZcN8hWk3TjR0mPyLs7GdXf2BoUa6iKtJnE9wCx";
    lena.shortId = "3340871925";
    lena.uniqueId = "lena.days";
    lena.nickname = "Lena的日常✨";
    lena.signature = "vlog / 读书 / 跑步";
    lena.followerCount = 9876;
    // The real service often refuses the first look at an account.
    lena.emptyAnswers = 2;
    lena.posts.insert(lena.posts.begin(), makePost());

    sim_.addAccount(poster);
    sim_.addAccount(food);
    sim_.addAccount(lena);

    Room live;
    live.roomId = kLiveRoom;
    live.ownerId = "90281734562";
    live.ownerNickname = "橙子直播间🍊";
    live.ownerSecUid = "MS4wLjABAAAAj4Kw9Xr2TnVb6QeLz1HsYc8PmDu0GaFo3iRtNkE5lWy";
    live.defaultResolution = "HD1";
    sim_.addRoom(live);

    Room later;
    later.roomId = kLaterRoom;
    later.ownerId = "61735092841";
    later.ownerNickname = "夜跑的阿杰";
    later.ownerSecUid = "MS4wLjABAAAAs0DxT7Lq4WcJ9NzB2VhRk6PeYm1GuFa8oKiEtZn3bXw";
    later.defaultResolution = "HD1";
    sim_.addRoom(later);

    if (options_.liveStreams)
        sim_.goLiveWithStream(kLiveRoom);
    else
        sim_.goLive(kLiveRoom, sim_.baseUrl() + "/stage/stream-demo-live.flv");

    sim_.setUpdateFile("#!/bin/sh\necho \"vgmon: the update file of the simulated service\"\n");
}

std::vector<std::string> DemoScenario::advance(std::chrono::steady_clock::duration elapsed) {
    std::vector<std::string> events;
    while (elapsed >= scaled(30.0 * (postsMade_ + 1))) {
        ++postsMade_;
        Post p = makePost();
        sim_.addPost(kPosterSecUid, p);
        events.push_back("new post " + p.awemeId + " by 小熊看世界🐻");
    }
    if (!burstMade_ && elapsed >= scaled(45)) {
        // Three posts between two looks, and a video server that refuses the first tries.
        burstMade_ = true;
        for (int i = 0; i < 3; ++i) sim_.addPost("MS4wLjABAAAAp2LmX8Rk0vQe7TbZ4nYwHs1JcFa9UdOi3gKxNqE6rBw", makePost());
        sim_.setFault(kVideo, Fault::Http500, 2);
        events.push_back("three new posts by 山城美食记; the video server fails twice");
    }
    if (!laterLive_ && elapsed >= scaled(60)) {
        laterLive_ = true;
        if (options_.liveStreams)
            sim_.goLiveWithStream(kLaterRoom);
        else
            sim_.goLive(kLaterRoom, sim_.baseUrl() + "/stage/stream-demo-later.flv");
        events.push_back(std::string("room ") + kLaterRoom + " is live");
    }
    if (!throttled_ && elapsed >= scaled(75)) {
        // A minute in which the service allows a few requests and refuses the rest with 429.
        throttled_ = true;
        sim_.setRequestLimit(kThrottledPerMinute, std::chrono::duration_cast<std::chrono::milliseconds>(scaled(60)));
        events.push_back("the service allows " + std::to_string(kThrottledPerMinute) +
                         " requests a minute and refuses the rest (429) for a minute");
    }
    if (throttled_ && !unthrottled_ && elapsed >= scaled(135)) {
        unthrottled_ = true;
        sim_.setRequestLimit(0);
        events.push_back("the service lifts its limit");
    }
    if (laterLive_ && !laterEnded_ && elapsed >= scaled(360)) {
        laterEnded_ = true;
        sim_.endShow(kLaterRoom);
        events.push_back(std::string("room ") + kLaterRoom + " ended its show");
    }
    return events;
}

std::vector<std::string> DemoScenario::accountLinks() const {
    return {sim_.accountShareLink(kPosterSecUid),
            sim_.accountShareLink("MS4wLjABAAAAp2LmX8Rk0vQe7TbZ4nYwHs1JcFa9UdOi3gKxNqE6rBw"),
            sim_.accountShareLink("MS4wLjABAAAAe5Vq1ZcN8hWk3TjR0mPyLs7GdXf2BoUa6iKtJnE9wCx")};
}

std::vector<std::string> DemoScenario::roomLinks() const {
    return {sim_.roomShareLink(kLiveRoom), sim_.roomShareLink(kLaterRoom)};
}

bool DemoScenario::writeLinkFiles(const std::string& dir) const {
    // The links are plain ASCII, which GBK holds unchanged.
    auto join = [](const std::vector<std::string>& links) {
        std::string out;
        for (const auto& l : links) out += l + "\r\n";
        return out;
    };
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return writeBytes(dir + "/文件1.txt", join(accountLinks())) && writeBytes(dir + "/文件2.txt", join(roomLinks()));
}

std::string DemoScenario::environment(const std::string& dataDir) const {
    std::string out;
    out += "export VIGILO_ACCOUNT_ENDPOINT=" + shellQuote(sim_.baseUrl()) + "\n";
    out += "export VIGILO_LIVE_ENDPOINT=" + shellQuote(sim_.baseUrl()) + "\n";
    out += "export VIGILO_NOTICE_URL=" + shellQuote(sim_.noticeUrl()) + "\n";
    if (sim_.baseUrl().rfind("https:", 0) == 0) out += "export VIGILO_INSECURE_TLS=1\n";
    if (!dataDir.empty()) out += "export VIGILO_HOME=" + shellQuote(dataDir) + "\n";
    return out;
}

}  // namespace vigilo::sim
