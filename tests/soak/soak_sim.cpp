// The simulated service for long runs: many accounts that post now and then, and rooms that
// take turns on air with generated streams, so a watching program keeps polling, downloading
// and recording for as long as it runs. scripts/soak starts it next to the real program.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "sim/demo.h"
#include "sim/simulator.h"

namespace {

using vigilo::sim::Account;
using vigilo::sim::Post;
using vigilo::sim::Room;
using vigilo::sim::Simulator;

const char* const kUsage =
    "Usage: vigilo-soak-sim --data-dir DIR --env-file FILE [options]\n"
    "  --accounts N       accounts to serve (500)\n"
    "  --rooms N          rooms to serve (20)\n"
    "  --live N           rooms on air at any time, each with a generated stream (10)\n"
    "  --post-every S     one account posts a new video every S seconds (10)\n"
    "  --rotate-every S   every S seconds the longest show ends and another room goes on air (60)\n"
    "Writes the link files into DIR and the environment lines into FILE, then serves until\n"
    "SIGINT or SIGTERM, printing one line per event.\n";

bool writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string secUidOf(int i) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "MS4wLjABAAAAsoak%06dQz3_vJ0k2YfE5pLr8TqWn1cUoG4sAiK", i);
    return buf;
}

std::string roomIdOf(int i) { return std::to_string(7282900000000000000ull + static_cast<unsigned long long>(i)); }

void event(const std::string& line) {
    std::printf("%ld %s\n", static_cast<long>(std::time(nullptr)), line.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    int accounts = 500, rooms = 20, live = 10;
    double postEvery = 10, rotateEvery = 60;
    std::string dataDir, envFile;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!value) {
            std::fprintf(stderr, "vigilo-soak-sim: %s needs a value\n%s", arg.c_str(), kUsage);
            return 2;
        }
        ++i;
        if (arg == "--accounts") accounts = std::atoi(value);
        else if (arg == "--rooms") rooms = std::atoi(value);
        else if (arg == "--live") live = std::atoi(value);
        else if (arg == "--post-every") postEvery = std::atof(value);
        else if (arg == "--rotate-every") rotateEvery = std::atof(value);
        else if (arg == "--data-dir") dataDir = value;
        else if (arg == "--env-file") envFile = value;
        else {
            std::fprintf(stderr, "vigilo-soak-sim: unknown option %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    if (dataDir.empty() || envFile.empty() || accounts < 1 || rooms < 1 || live < 0 || live > rooms ||
        !(postEvery > 0) || !(rotateEvery > 0)) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Simulator sim;
    if (!sim.start()) {
        std::fprintf(stderr, "vigilo-soak-sim: cannot listen\n");
        return 1;
    }
    // A long run must not keep every request it served.
    sim.setRequestLogLimit(1000);
    const std::string video = vigilo::sim::makeDemoVideo();

    std::mt19937 random(20240601);
    unsigned long long nextPost = 1;
    auto makePost = [&] {
        Post p;
        p.awemeId = std::to_string(6990000000000000000ull + nextPost);
        p.desc = "第" + std::to_string(nextPost) + "条 #日常 #soak\n第二行🌇";
        p.videoBytes = video;
        ++nextPost;
        return p;
    };

    std::string accountLinks, roomLinks;
    for (int i = 0; i < accounts; ++i) {
        Account a;
        a.uid = std::to_string(73519000000ull + static_cast<unsigned long long>(i));
        a.secUid = secUidOf(i);
        a.shortId = std::to_string(1589000000 + i);
        a.uniqueId = "soak_" + std::to_string(i);
        a.nickname = "账号" + std::to_string(i) + (i % 3 == 0 ? "🐻" : "");
        a.signature = "长跑测试\n第二行";
        a.followerCount = 1000 + i;
        for (int k = 0; k < 2; ++k) {
            Post p = makePost();
            p.videoBytes = "old";  // never downloaded: only posts that appear later are
            a.posts.insert(a.posts.begin(), p);
        }
        sim.addAccount(a);
        accountLinks += sim.accountShareLink(a.secUid) + "\r\n";
    }
    for (int i = 0; i < rooms; ++i) {
        Room r;
        r.roomId = roomIdOf(i);
        r.ownerId = std::to_string(90281000000ull + static_cast<unsigned long long>(i));
        r.ownerNickname = "主播" + std::to_string(i) + (i % 2 == 0 ? "🍊" : "");
        r.ownerSecUid = "MS4wLjABAAAAroom" + std::to_string(i);
        sim.addRoom(r);
        roomLinks += sim.roomShareLink(r.roomId) + "\r\n";
    }

    std::filesystem::create_directories(dataDir);
    const std::string env = "export VIGILO_ACCOUNT_ENDPOINT=" + sim.baseUrl() + "\nexport VIGILO_LIVE_ENDPOINT=" +
                            sim.baseUrl() + "\nexport VIGILO_NOTICE_URL=" + sim.noticeUrl() + "\n";
    // The links are ASCII, which GBK holds unchanged.
    if (!writeFile(std::filesystem::path(dataDir) / "文件1.txt", accountLinks) ||
        !writeFile(std::filesystem::path(dataDir) / "文件2.txt", roomLinks) || !writeFile(envFile, env)) {
        std::fprintf(stderr, "vigilo-soak-sim: cannot write into %s\n", dataDir.c_str());
        return 1;
    }

    // On air: oldest first. Off air: the rooms waiting for their turn.
    std::deque<int> onAir, offAir;
    for (int i = 0; i < rooms; ++i) {
        if (i < live) {
            sim.goLiveWithStream(roomIdOf(i));
            onAir.push_back(i);
            event("live " + roomIdOf(i));
        } else {
            offAir.push_back(i);
        }
    }
    event("ready " + sim.baseUrl());

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    double nextPostAt = postEvery, nextRotateAt = rotateEvery;
    for (;;) {
        const timespec wait{0, 200 * 1000 * 1000};
        const int sig = sigtimedwait(&signals, nullptr, &wait);
        if (sig == SIGINT || sig == SIGTERM) break;
        const double now = seconds();
        while (now >= nextPostAt) {
            nextPostAt += postEvery;
            const int who = static_cast<int>(random() % static_cast<unsigned>(accounts));
            const Post p = makePost();
            sim.addPost(secUidOf(who), p);
            event("post " + std::to_string(who) + " " + p.awemeId);
        }
        while (now >= nextRotateAt) {
            nextRotateAt += rotateEvery;
            if (onAir.empty() || offAir.empty()) continue;
            const int ending = onAir.front();
            onAir.pop_front();
            sim.endShow(roomIdOf(ending));
            offAir.push_back(ending);
            event("ended " + roomIdOf(ending));
            const int starting = offAir.front();
            offAir.pop_front();
            sim.goLiveWithStream(roomIdOf(starting));
            onAir.push_back(starting);
            event("live " + roomIdOf(starting));
        }
    }
    event("stopping");
    sim.stop();
    return 0;
}
