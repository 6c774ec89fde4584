// One large video through the works monitor's own download (play address, redirect page,
// streamed body, file renamed into place), side by side with `curl -o` of the same video, both
// against the simulated service on loopback in a process of its own.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/context.h"
#include "bench.h"
#include "sim/simulator.h"
#include "support.h"
#include "text/charset.h"
#include "works/engine.h"
#include "works/monitor.h"

namespace vigilo::bench {
namespace {

constexpr const char* kSecUid = "MS4wLjABAAAAdownloadBenchAccount";
constexpr const char* kPostId = "7900000000000000001";

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// The service's process: serves one account whose post is a video of `bytes` bytes, prints its
// address, and ends when its standard input closes.
[[noreturn]] void serve(std::size_t bytes, int readFd, int writeFd) {
    sim::Simulator sim;
    sim.setRequestLogLimit(100);
    if (!sim.start()) ::_exit(1);
    sim::Account account;
    account.uid = "79000000001";
    account.secUid = kSecUid;
    account.nickname = "bench";
    // Begins like a video (an FLV header), as the download checks.
    std::string video(bytes, 'v');
    if (video.size() >= 3) video.replace(0, 3, "FLV");
    account.posts = {{kPostId, "download", video}};
    sim.addAccount(account);
    const std::string line = sim.baseUrl() + "\n";
    if (::write(writeFd, line.data(), line.size()) < 0) ::_exit(1);
    char c;
    while (::read(readFd, &c, 1) > 0) {
    }
    sim.stop();
    ::_exit(0);
}

struct Run {
    double wall = 0, cpu = 0;
    // With the file flushed to disk after curl ends, as our download flushes its file before
    // renaming it into place: the same work on both sides.
    double wallSynced = 0, cpuSynced = 0;
    bool whole = false;
};

bool sizeIs(const std::string& file, std::size_t bytes) {
    std::error_code ec;
    return std::filesystem::file_size(file, ec) == bytes && !ec;
}

Run curlRun(const std::string& url, const std::string& file, std::size_t bytes) {
    Run run;
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execlp("curl", "curl", "-s", "-o", file.c_str(), url.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    run.wall = secondsSince(start);
    run.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    run.whole = WIFEXITED(status) && WEXITSTATUS(status) == 0 && sizeIs(file, bytes);
    const double syncCpu0 = threadCpuSeconds();
    const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
    run.whole = run.whole && fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    run.wallSynced = secondsSince(start);
    run.cpuSynced = run.cpu + threadCpuSeconds() - syncCpu0;
    std::filesystem::remove(file);
    return run;
}

}  // namespace

int runDownloadBench(const std::vector<std::string>& args) {
    const std::size_t megabytes = static_cast<std::size_t>(std::stoul(option(args, "--size-mb", "200")));
    const int runs = std::max(1, std::stoi(option(args, "--runs", "3")));
    const std::size_t bytes = megabytes * 1000 * 1000;

    // The service is forked before this process starts any thread.
    int toChild[2], fromChild[2];
    if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) return 1;
    const pid_t server = ::fork();
    if (server == 0) {
        ::close(toChild[1]);
        ::close(fromChild[0]);
        serve(bytes, toChild[0], fromChild[1]);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    std::string base;
    char c;
    while (::read(fromChild[0], &c, 1) == 1 && c != '\n') base.push_back(c);
    ::close(fromChild[0]);
    if (base.empty()) {
        std::fprintf(stderr, "download: the simulated service did not start\n");
        return 1;
    }

    Endpoints endpoints;
    endpoints.account = base;
    endpoints.live = base;
    const PostList list = requestPostList(endpoints, kSecUid);
    const std::string play = list.items.empty() ? std::string() : list.items[0].playAddress;
    // curl gets the video's own address: the address the play page leads to.
    HttpRequestOptions options;
    options.url = play;
    options.noRedirect = true;
    const HttpResult page = NativeHttpClient::send(options);
    const std::string video = anchorTarget(page.text.empty() ? bodyToText(page.body) : page.text);
    if (play.empty() || video.empty()) {
        std::fprintf(stderr, "download: no play address or video address\n");
        return 1;
    }

    const std::string dir = makeTempDir("vigilo-bench-download");
    RecordingUserInterface ui;
    AppContext ctx(Paths::forDirectory(dir), Pacing{}, endpoints, ui);
    WorksMonitor works(ctx);
    const std::string saved = dir + "/下载/bench/" + std::string(kPostId) + "-download.mp4";

    std::vector<double> ourWall, ourCpu, curlWall, curlCpu, syncedWall, syncedCpu;
    bool whole = true;
    for (int i = 0; i < runs; ++i) {
        std::fprintf(stderr, "download: run %d of %d, %zu MB\n", i + 1, runs, megabytes);
        // Alternating which goes first, so neither always meets a warmer page cache.
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == (i % 2 == 0)) {
                const double cpu0 = processCpuSeconds();
                const auto start = Clock::now();
                works.downloadNewestVideo(play, "download", kPostId, "bench");
                ourWall.push_back(secondsSince(start));
                ourCpu.push_back(processCpuSeconds() - cpu0);
                whole = whole && sizeIs(saved, bytes);
                std::filesystem::remove(saved);
            } else {
                const Run run = curlRun(video, dir + "/curl.mp4", bytes);
                curlWall.push_back(run.wall);
                curlCpu.push_back(run.cpu);
                syncedWall.push_back(run.wallSynced);
                syncedCpu.push_back(run.cpuSynced);
                whole = whole && run.whole;
            }
        }
    }
    ::close(toChild[1]);
    int status = 0;
    ::waitpid(server, &status, 0);
    removeTree(dir);

    const std::string name = "download " + std::to_string(megabytes) + " MB";
    const auto ratio = [](const std::vector<double>& a, const std::vector<double>& b) {
        return median(a) / std::max(median(b), 1e-9);
    };
    const double wallRatio = ratio(ourWall, syncedWall), cpuRatio = ratio(ourCpu, syncedCpu);
    report(name, "saved whole by both", whole ? "yes" : "no", "yes", verdict(whole));
    report(name, "wall s, vigilo / curl -o + fsync / curl -o (median of " + std::to_string(runs) + ")",
           fixed(median(ourWall), 2) + " / " + fixed(median(syncedWall), 2) + " / " + fixed(median(curlWall), 2));
    report(name, "CPU s, vigilo / curl -o + fsync / curl -o",
           fixed(median(ourCpu), 2) + " / " + fixed(median(syncedCpu), 2) + " / " + fixed(median(curlCpu), 2));
    // The target holds against the same work; beside curl -o alone the flush is ours only.
    report(name, "wall ratio, vigilo / curl -o + fsync (/ curl -o)",
           fixed(wallRatio, 2) + " (" + fixed(ratio(ourWall, curlWall), 2) + ")", "<= 1.1", verdict(wallRatio <= 1.1));
    report(name, "CPU ratio, vigilo / curl -o + fsync (/ curl -o)",
           fixed(cpuRatio, 2) + " (" + fixed(ratio(ourCpu, curlCpu), 2) + ")", "<= 1.1", verdict(cpuRatio <= 1.1));
    return whole ? 0 : 1;
}

}  // namespace vigilo::bench
