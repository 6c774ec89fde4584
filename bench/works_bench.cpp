// Works-monitor scale: N accounts polled by the real monitor loop and poll code, with the
// product's pacing, against the simulated service in a process of its own (so the CPU figures
// are the client's alone). Every account's post count drops by one before each cycle, so every
// poll fetches both the profile and the post list and downloads nothing: the same two
// exchanges the bare baseline makes.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "accounts.h"
#include "app/context.h"
#include "bench.h"
#include "net/http.h"
#include "net/service.h"
#include "support.h"
#include "works/monitor.h"

namespace vigilo::bench {
namespace {

// The simulated service counts down from here.
constexpr const char* kFirstCount = "1000000";

struct Sample {
    double time;        // seconds since the monitor started
    double cpu;         // process CPU seconds
    double samplerCpu;  // the sampler's own share of it
    long threads, rss;
    int fds;
};

// Watches the process every few milliseconds from a thread of its own.
class Sampler {
public:
    explicit Sampler(Clock::time_point origin) : origin_(origin) {
        thread_ = std::thread([this] { loop(); });
    }
    ~Sampler() { stop(); }
    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
    }
    std::vector<Sample> samples() const {
        std::lock_guard lock(mutex_);
        return samples_;
    }

private:
    void loop() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            lock.unlock();
            Sample s{secondsSince(origin_), processCpuSeconds(), 0, threadCount(), rssKb(), openFds()};
            s.samplerCpu = threadCpuSeconds();
            lock.lock();
            samples_.push_back(s);
            wake_.wait_for(lock, std::chrono::milliseconds(10));
        }
    }

    Clock::time_point origin_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::vector<Sample> samples_;
    std::thread thread_;
};

struct CycleMarks {
    double start = -1, passEnd = -1, countdownEnd = -1, lastFinish = -1;
    int finished = 0;
    int socketsAtEnd = 0;
};

// What the monitor shows, in time: pass ends ("9"), countdown ends ("0"), finished polls (the
// counter cell, which drops to -k in cycle k).
class Marks {
public:
    Marks(Clock::time_point origin, int cycles, double tickSeconds)
        : origin_(origin), cycles_(static_cast<size_t>(cycles) + 2), tick_(tickSeconds) {
        cycles_[1].start = 0;
    }

    void onLog(const std::string& line, ChildProgram& server) {
        const double now = secondsSince(origin_);
        std::lock_guard lock(mutex_);
        if (line == "9\r\n" && current_ < cycles_.size()) {
            cycles_[current_].passEnd = now;
        } else if (line == "0\r\n" && current_ < cycles_.size()) {
            cycles_[current_].countdownEnd = now;
            cycles_[current_].socketsAtEnd = openSockets();
            // The next pass must see a change on every account.
            server.writeLine("lower");
            ++current_;
            if (current_ < cycles_.size()) cycles_[current_].start = now + tick_;
            changed_.notify_all();
        }
    }

    void onCounter(const std::string& text) {
        const double now = secondsSince(origin_);
        const long cycle = -std::lround(std::strtod(text.c_str(), nullptr));
        std::lock_guard lock(mutex_);
        if (cycle < 1 || static_cast<size_t>(cycle) >= cycles_.size()) return;
        auto& c = cycles_[static_cast<size_t>(cycle)];
        ++c.finished;
        c.lastFinish = std::max(c.lastFinish, now);
    }

    // Waits until `count` countdowns have ended; false past the bound.
    bool waitCycles(size_t count, std::chrono::seconds bound) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, bound, [&] { return current_ > count; });
    }

    std::vector<CycleMarks> cycles() const {
        std::lock_guard lock(mutex_);
        return cycles_;
    }

private:
    Clock::time_point origin_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<CycleMarks> cycles_;
    size_t current_ = 1;
    double tick_;
};

struct Baseline {
    double cpuPerPoll = 0;
    double faultsPerPoll = 0;
    int polls = 0;
    bool ok = false;
};

// The bare cost of a poll's exchanges: one kept handle, two GETs, two parses, the same reads.
Baseline runBaseline(const Endpoints& endpoints, const std::vector<std::string>& secUids, int polls,
                     std::chrono::milliseconds gap) {
    Baseline result;
    CURL* handle = curl_easy_init();
    curl_slist* mobile = curl_slist_append(nullptr, std::string(kMobileAgentLine).c_str());
    size_t sink = 0;
    int good = 0;
    auto one = [&](const std::string& secUid) {
        const std::string profile = bareGet(handle, profileUrl(endpoints, secUid), nullptr);
        const std::string posts = bareGet(handle, postListUrl(endpoints, secUid), mobile);
        const auto p = nlohmann::json::parse(profile, nullptr, false);
        const auto l = nlohmann::json::parse(posts, nullptr, false);
        if (p.is_discarded() || l.is_discarded() || !p.contains("user_info") || !l.contains("aweme_list")) return;
        const auto& user = p["user_info"];
        sink += user.value("nickname", std::string()).size() + user.value("short_id", std::string()).size();
        sink += user["aweme_count"].dump().size() + user["follower_count"].dump().size();
        const auto& list = l["aweme_list"];
        // Every listed post, as a poll reads them: id, description, the fourth (or last)
        // low-bit-rate address.
        if (list.is_array()) {
            for (const auto& item : list) {
                sink += item.value("aweme_id", std::string()).size() + item.value("desc", std::string()).size();
                const auto& urls = item["video"]["play_addr_lowbr"]["url_list"];
                if (urls.is_array() && !urls.empty())
                    sink += urls[std::min<std::size_t>(3, urls.size() - 1)].get<std::string>().size();
            }
        }
        ++good;
    };
    one(secUids[0]);  // the connection is up before the clock starts, as it is for the monitor
    good = 0;
    const double start = threadCpuSeconds();
    const long faults = threadMinorFaults();
    for (int i = 0; i < polls; ++i) {
        one(secUids[static_cast<size_t>(i) % secUids.size()]);
        if (gap.count() > 0) std::this_thread::sleep_for(gap);
    }
    const double cpu = threadCpuSeconds() - start;
    result.faultsPerPoll = static_cast<double>(threadMinorFaults() - faults) / polls;
    curl_slist_free_all(mobile);
    curl_easy_cleanup(handle);
    result.polls = polls;
    result.cpuPerPoll = cpu / polls;
    result.ok = good == polls && sink > 0;
    return result;
}

const Sample* lastSampleBefore(const std::vector<Sample>& samples, double time) {
    const Sample* found = samples.empty() ? nullptr : &samples.front();
    for (const auto& s : samples) {
        if (s.time > time) break;
        found = &s;
    }
    return found;
}

}  // namespace

int runWorksBench(const std::vector<std::string>& args) {
    const int accounts = std::stoi(option(args, "--accounts", "100"));
    const int cycleCount = std::stoi(option(args, "--cycles", "3"));
    const bool tls = flag(args, "--tls");
    const double pacingScale = std::stod(option(args, "--pacing-scale", "1"));
    const int baselinePolls = std::stoi(option(args, "--baseline-polls", std::to_string(std::min(accounts, 1000))));
    const int pacedPolls = std::stoi(option(args, "--paced-polls", std::to_string(std::min(accounts, 250))));
    const std::string label = std::string(tls ? "https" : "http") + " N=" + std::to_string(accounts);
    const std::string name = "works " + label;

    const std::string dir = makeTempDir("vigilo-bench-works");
    ChildProgram server;
    std::vector<std::string> serverArgs = {programDirectory() + "/vigilo-bench-server", "--accounts",
                                           std::to_string(accounts)};
    if (tls) serverArgs.insert(serverArgs.end(), {"--tls", dir});
    std::string base;
    for (bool started = server.start(serverArgs);;) {
        const auto line = started ? server.readLine(std::chrono::seconds(120)) : std::nullopt;
        if (!line) {
            std::fprintf(stderr, "%s: the simulated service did not start\n", name.c_str());
            server.stop();
            removeTree(dir);
            return 1;
        }
        if (line->rfind("base ", 0) == 0) base = line->substr(5);
        if (*line == "ready") break;
    }

    NetConfig config = NetConfig::fromEnvironment();
    config.insecureTls = tls;
    setNetConfig(config);
    Endpoints endpoints;
    endpoints.account = base;
    endpoints.live = base;

    std::vector<std::string> secUids;
    std::vector<sim::Account> made;
    made.reserve(static_cast<size_t>(accounts));
    for (int i = 0; i < accounts; ++i) {
        made.push_back(makeAccount(i, 0));
        secUids.push_back(made.back().secUid);
    }

    Pacing pacing = Pacing{}.scaled(pacingScale);
    // Back to back, as cheap as the exchanges get with hot caches; and with the monitor's gap
    // between polls, as the monitor's polls run.
    std::fprintf(stderr, "%s: baselines, %d polls back to back, %d paced\n", name.c_str(), baselinePolls, pacedPolls);
    const Baseline baseline = runBaseline(endpoints, secUids, baselinePolls, std::chrono::milliseconds(0));
    const Baseline paced = runBaseline(endpoints, secUids, pacedPolls, pacing.pollGap);
    if (!baseline.ok || !paced.ok) std::fprintf(stderr, "%s: the baseline did not read every answer\n", name.c_str());

    RecordingUserInterface ui;
    const std::string dataDir = dir + "/data";
    AppContext ctx(Paths::forDirectory(dataDir), pacing, endpoints, ui);
    {
        std::error_code ec;
        fs::create_directories(dataDir, ec);
    }
    // The rows as the initial query leaves them.
    for (int i = 0; i < accounts; ++i) {
        const sim::Account& a = made[static_cast<size_t>(i)];
        const int row = ctx.accountTable.appendRow();
        const std::string cells[] = {"https://v.douyin.com/bench" + std::to_string(i) + "/",
                                     a.uid,
                                     a.secUid,
                                     a.shortId,
                                     a.nickname,
                                     "1000",
                                     kFirstCount,
                                     "",
                                     "0",
                                     "",
                                     ""};
        for (int column = 0; column < static_cast<int>(std::size(cells)); ++column)
            ctx.accountTable.setCell(row, column, cells[column]);
    }
    WorksMonitor monitor(ctx);

    if (flag(args, "--direct")) {
        // Where a poll's cost goes: the poll code alone on this thread, then each poll on a
        // thread of its own as the monitor runs them, without the monitor's pacing.
        server.writeLine("lower");
        server.readLine(std::chrono::seconds(60));
        double start = processCpuSeconds();
        long faults = processMinorFaults();
        for (int i = 1; i <= accounts; ++i) monitor.pollAccount(i);
        const double direct = (processCpuSeconds() - start) / accounts;
        const double directFaults = static_cast<double>(processMinorFaults() - faults) / accounts;
        server.writeLine("lower");
        server.readLine(std::chrono::seconds(60));
        start = processCpuSeconds();
        faults = processMinorFaults();
        for (int i = 1; i <= accounts; ++i) std::thread([&monitor, i] { monitor.pollAccount(i); }).join();
        const double threaded = (processCpuSeconds() - start) / accounts;
        const double threadedFaults = static_cast<double>(processMinorFaults() - faults) / accounts;
        report(name, "poll code alone on one thread, CPU us per poll (/ baseline)",
               fixed(direct * 1e6, 0) + " (" + fixed(direct / baseline.cpuPerPoll, 2) + ")");
        report(name, "each poll on a new thread, CPU us per poll (/ baseline)",
               fixed(threaded * 1e6, 0) + " (" + fixed(threaded / baseline.cpuPerPoll, 2) + ")");
        report(name, "minor page faults per poll: baseline / alone / on a new thread",
               fixed(baseline.faultsPerPoll, 1) + " / " + fixed(directFaults, 1) + " / " + fixed(threadedFaults, 1));
        server.writeLine("quit");
        server.stop();
        removeTree(dir);
        return 0;
    }
    // The first pass must see a change on every account too.
    server.writeLine("lower");
    server.readLine(std::chrono::seconds(60));

    const auto origin = Clock::now();
    Sampler sampler(origin);
    const long idleThreads = threadCount();
    const int idleFds = openFds();
    const int idleSockets = openSockets();
    Marks marks(origin, cycleCount, std::chrono::duration<double>(pacing.countdownTick).count());
    ctx.log.addObserver([&](const std::string& line) { marks.onLog(line, server); });
    ctx.accountTable.addObserver([&](const TableChange& change) {
        if (change.kind == TableChange::Kind::CellWritten && change.column == acol::Counter)
            marks.onCounter(change.text);
    });
    std::fprintf(stderr, "%s: %d cycles\n", name.c_str(), cycleCount);
    ctx.worksRunning = true;
    monitor.startMonitorThread();
    const double passSeconds = accounts * std::chrono::duration<double>(pacing.pollGap).count();
    const auto bound = std::chrono::seconds(static_cast<long>(
        cycleCount * (passSeconds * 3 + 30 +
                      2 * pacing.countdownTicks * std::chrono::duration<double>(pacing.countdownTick).count())));
    const bool complete = marks.waitCycles(static_cast<size_t>(cycleCount), bound);
    ctx.worksStop = true;
    ctx.worksRunning = false;
    ctx.threads.waitIdle(std::chrono::seconds(60));
    sampler.stop();
    if (!complete) std::fprintf(stderr, "%s: the cycles did not end in time\n", name.c_str());

    const auto cycles = marks.cycles();
    const auto samples = sampler.samples();
    double worstCpuPerPoll = 0, worstLateness = -1e9, totalCpu = 0;
    long totalPolls = 0;
    long peakThreads = 0;
    bool threadsBack = true, fdsBack = true, allFinished = true;
    std::string cycleTimes, cpuPerPolls, endThreads, endFds;
    for (int k = 1; k <= cycleCount; ++k) {
        const CycleMarks& c = cycles[static_cast<size_t>(k)];
        const double end =
            cycles[static_cast<size_t>(k) + 1].start > 0 ? cycles[static_cast<size_t>(k) + 1].start : c.countdownEnd;
        const Sample* first = lastSampleBefore(samples, c.start);
        const Sample* last = lastSampleBefore(samples, end);
        if (first == nullptr || last == nullptr || c.finished == 0) {
            allFinished = false;
            continue;
        }
        const double cpu = (last->cpu - first->cpu) - (last->samplerCpu - first->samplerCpu);
        const double perPoll = cpu / c.finished;
        totalCpu += cpu;
        totalPolls += c.finished;
        worstCpuPerPoll = std::max(worstCpuPerPoll, perPoll);
        for (const auto& s : samples)
            if (s.time >= c.start && s.time <= end) peakThreads = std::max(peakThreads, s.threads);
        if (c.finished != accounts) allFinished = false;
        // Within the cycle: the last poll ends before the next pass starts.
        worstLateness = std::max(worstLateness, c.lastFinish - end);
        // By the end of the countdown only the monitor thread is left of the cycle's threads,
        // and the descriptors besides the kept connections are as before the first cycle. (The
        // sample is taken at the last countdown line, a second clear of the next pass.)
        const Sample* settled = lastSampleBefore(samples, c.countdownEnd);
        threadsBack = threadsBack && settled->threads <= idleThreads + 1;
        fdsBack = fdsBack && settled->fds - c.socketsAtEnd <= idleFds - idleSockets;
        const std::string sep = k > 1 ? " / " : "";
        cycleTimes += sep + fixed(c.lastFinish - c.start, 1) + " of " + fixed(end - c.start, 1);
        cpuPerPolls += sep + fixed(perPoll * 1e6, 0);
        endThreads += sep + std::to_string(settled->threads);
        endFds += sep + std::to_string(settled->fds) + " (" + std::to_string(c.socketsAtEnd) + " sockets)";
    }
    const double ratio = worstCpuPerPoll / baseline.cpuPerPoll;
    const double pacedRatio = worstCpuPerPoll / paced.cpuPerPoll;
    // The activity log keeps every line: its growth per cycle, and per day at this cycle length.
    const double logBytes = static_cast<double>(ctx.log.text().size());
    const double cycleSeconds = cycles[static_cast<size_t>(std::min(2, cycleCount))].start - cycles[1].start;
    const long peakRss = peakRssKb();

    report(name, "polls per cycle done", allFinished ? std::to_string(accounts) + " each" : "MISSING POLLS");
    report(name, "cycle start to last poll end, s (of cycle length)", cycleTimes, "last poll within its cycle",
           verdict(allFinished && worstLateness <= 0));
    report(name, "CPU per poll per cycle, us", cpuPerPolls);
    report(name, "baseline bare libcurl + parse, CPU us per poll: back to back / paced",
           fixed(baseline.cpuPerPoll * 1e6, 0) + " / " + fixed(paced.cpuPerPoll * 1e6, 0));
    report(name, "CPU per poll / baseline, worst cycle: back to back / paced",
           fixed(ratio, 2) + " / " + fixed(pacedRatio, 2), "<= 1.5 / <= 1.3",
           verdict(ratio <= 1.5 && pacedRatio <= 1.3));
    report(name, "peak RSS, MB", fixed(static_cast<double>(peakRss) / 1024.0, 1), "<= 200",
           verdict(peakRss <= 200 * 1024));
    if (cycleCount >= 2 && cycleSeconds > 0) {
        const double perCycle = logBytes / cycleCount;
        report(name, "activity log growth per cycle, KB (per day, MB)",
               fixed(perCycle / 1024, 0) + " (" + fixed(perCycle * 86400 / cycleSeconds / 1048576, 0) + ")");
    }
    report(name, "threads idle / peak / after each cycle",
           std::to_string(idleThreads) + " / " + std::to_string(peakThreads) + " / " + endThreads, "idle + monitor",
           verdict(threadsBack));
    report(name, "fds idle / after each cycle", std::to_string(idleFds) + " / " + endFds, "idle + kept connections",
           verdict(fdsBack));
    // Machine-readable line for the HTTPS-over-HTTP ratio.
    std::printf("CPU\t%s\t%d\t%.9f\n", tls ? "https" : "http", accounts,
                totalPolls > 0 ? totalCpu / static_cast<double>(totalPolls) : 0.0);
    std::fflush(stdout);

    server.writeLine("quit");
    server.stop();
    removeTree(dir);
    return complete ? 0 : 1;
}

}  // namespace vigilo::bench
