// Long recordings: a ten-hour recorder log, one progress line every half second, fed through
// the real recording path (LiveMonitor::startRecording -> the runner -> the output handler ->
// the room table) with 20 rooms in the table. The cost of each chunk is the recording thread's
// CPU time between two duration cells written; the first minute of the show is compared with
// its last hour. The first minute is only 120 chunks, a tenth of a second of CPU, so one slow
// moment of a shared machine moves it by a third: the show is fed several times and the median
// run's ratio is the figure.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/context.h"
#include "bench.h"
#include "live/monitor.h"
#include "support.h"

namespace vigilo::bench {

namespace {

struct RecordingRun {
    long lines = 0, chunks = 0;
    double wall = 0;
    std::string duration;
    double first = 0, tail = 0, firstMedian = 0, tailMedian = 0, ratio = 0;
    double growthMb = 0, growthAfterMinuteMb = 0;
};

RecordingRun feedOnce(double hours) {
    RecordingRun run;
    const std::string dir = makeTempDir("vigilo-bench-rec");

    RecordingUserInterface ui;
    AppContext ctx(Paths::forDirectory(dir), Pacing{}, Endpoints{}, ui);
    constexpr int kRows = 20;
    constexpr int kRecordingRow = 7;
    for (int i = 0; i < kRows; ++i) {
        const int row = ctx.roomTable.appendRow();
        ctx.roomTable.setCell(row, rcol::Owner, "直播间主播" + std::to_string(i + 1) + "🎤");
        ctx.roomTable.setCell(row, rcol::RoomId, std::to_string(7100000000000000000ll + i));
        ctx.roomTable.setCell(row, rcol::LiveStatus, "正在直播");
    }
    const std::string nickname = ctx.roomTable.cell(kRecordingRow - 1, rcol::Owner);

    const long lines = static_cast<long>(hours * 7200);
    // CPU seconds per chunk; filled in before the first figure so its own pages do not count
    // as the program's growth.
    std::vector<double> cost(static_cast<size_t>(lines) + 16, 0.0);
    size_t chunkCount = 0;
    double last = threadCpuSeconds();
    long rssAfterMinute = 0;
    const long rssStart = rssKb();
    ctx.roomTable.addObserver([&](const TableChange& change) {
        if (change.kind != TableChange::Kind::CellWritten || change.column != rcol::RecordDuration) return;
        const double now = threadCpuSeconds();
        if (chunkCount < cost.size()) cost[chunkCount] = now - last;
        ++chunkCount;
        last = now;
        if (chunkCount == 121) rssAfterMinute = rssKb();
    });

    LiveMonitor monitor(ctx);
    const auto started = Clock::now();
    last = threadCpuSeconds();
    monitor.startRecording("http://127.0.0.1:9/live/stream.flv", nickname, std::to_string(kRecordingRow));
    const double wall = secondsSince(started);
    const long rssEnd = rssKb();

    const long chunks = static_cast<long>(std::min(chunkCount, cost.size()));
    // The first chunk also carries the recorder's start (claiming the row, spawning): the first
    // minute is the 120 progress chunks after it.
    const long firstMinute = std::min<long>(120, chunks - 1);
    const long lastHour = std::min<long>(7200, chunks);
    double first = 0, tail = 0;
    for (long i = 1; i <= firstMinute; ++i) first += cost[static_cast<size_t>(i)];
    for (long i = chunks - lastHour; i < chunks; ++i) tail += cost[static_cast<size_t>(i)];
    first /= static_cast<double>(std::max<long>(1, firstMinute));
    tail /= static_cast<double>(std::max<long>(1, lastHour));
    auto medianOf = [&](long from, long to) {
        std::vector<double> window(cost.begin() + from, cost.begin() + to);
        if (window.empty()) return 0.0;
        std::nth_element(window.begin(), window.begin() + static_cast<long>(window.size() / 2), window.end());
        return window[window.size() / 2];
    };
    run.lines = lines;
    run.chunks = chunks;
    run.wall = wall;
    run.first = first;
    run.tail = tail;
    run.ratio = tail / first;
    run.firstMedian = medianOf(1, 1 + firstMinute);
    run.tailMedian = medianOf(chunks - lastHour, chunks);
    run.growthMb = static_cast<double>(rssEnd - rssStart) / 1024.0;
    run.growthAfterMinuteMb = static_cast<double>(rssEnd - rssAfterMinute) / 1024.0;
    run.duration = ctx.roomTable.cell(kRecordingRow - 1, rcol::RecordDuration);
    removeTree(dir);
    return run;
}

}  // namespace

int runRecordingBench(const std::vector<std::string>& args) {
    const double hours = std::stod(option(args, "--hours", "10"));
    const int runs = std::max(1, std::stoi(option(args, "--runs", "5")));
    ::setenv("VIGILO_FFMPEG", (programDirectory() + "/vigilo-bench-ffmpeg").c_str(), 1);
    ::setenv("VIGILO_BENCH_HOURS", fixed(hours, 3).c_str(), 1);

    std::vector<RecordingRun> all;
    for (int i = 0; i < runs; ++i) all.push_back(feedOnce(hours));
    std::vector<RecordingRun> byRatio = all;
    std::sort(byRatio.begin(), byRatio.end(), [](const auto& a, const auto& b) { return a.ratio < b.ratio; });
    const RecordingRun& r = byRatio[byRatio.size() / 2];
    double worstGrowth = 0;
    bool complete = true;
    for (const RecordingRun& run : all) {
        worstGrowth = std::max(worstGrowth, run.growthMb);
        complete = complete && run.chunks == run.lines;
    }

    report("recording", "progress lines / chunks handled (median run)",
           std::to_string(r.lines) + " / " + std::to_string(r.chunks) + " in " + fixed(r.wall, 1) + " s");
    report("recording", "duration cell at the end", r.duration);
    report("recording", "CPU per chunk, first minute, us", fixed(r.first * 1e6, 2));
    report("recording", "CPU per chunk, last hour, us", fixed(r.tail * 1e6, 2));
    report("recording",
           "last hour / first minute, median of " + std::to_string(runs) + " runs (range " +
               fixed(byRatio.front().ratio, 2) + "-" + fixed(byRatio.back().ratio, 2) + "; medians " +
               fixed(r.tailMedian * 1e6, 2) + " / " + fixed(r.firstMedian * 1e6, 2) + " us)",
           fixed(r.ratio, 2), "<= 1.1", verdict(r.ratio <= 1.1));
    report("recording",
           "RSS growth over a run, MB, worst of " + std::to_string(runs) +
               " (median run after the first minute: " + fixed(r.growthAfterMinuteMb, 2) + ")",
           fixed(worstGrowth, 2), "<= 2", verdict(worstGrowth <= 2.0));
    return complete ? 0 : 1;
}

}  // namespace vigilo::bench
