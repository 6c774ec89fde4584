// Many recordings at once with the real ffmpeg: the simulated service (with its stream
// generators) runs in a process of its own, Vigilo's live monitor records every room, and the
// figures are Vigilo's own CPU time (its process, not its ffmpeg children) as a share of the
// recorders' CPU time over the same window, and its memory growth per recording.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/context.h"
#include "bench.h"
#include "live/monitor.h"
#include "live/recorder.h"
#include "sim/simulator.h"
#include "support.h"
#include "text/strings.h"

namespace vigilo::bench {

namespace {

// User plus system CPU seconds of one process; 0 once it is gone.
double cpuSecondsOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return 0;
    // utime and stime are fields 14 and 15; the list starts at field 3.
    const std::vector<std::string_view> fields = statFieldsAfterName(line);
    if (fields.size() < 13) return 0;
    return (textToNumber(fields[11]) + textToNumber(fields[12])) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string roomId(int i) { return std::to_string(7600000000000000000ll + i); }

}  // namespace

// The service side: N live rooms, their share links on standard output, until standard input
// closes.
int runLiveStreamsServer(const std::vector<std::string>& args) {
    const int count = std::stoi(option(args, "--count", "10"));
    sim::Simulator sim;
    if (!sim.start()) return 1;
    for (int i = 0; i < count; ++i) {
        sim::Room room;
        room.roomId = roomId(i);
        room.ownerId = "9" + std::to_string(100 + i);
        room.ownerNickname = "主播" + std::to_string(i + 1);
        room.ownerSecUid = "MS4wLjABAAAA" + room.roomId;
        sim.addRoom(room);
        sim.goLiveWithStream(room.roomId);
        std::printf("%s\n", sim.roomShareLink(room.roomId).c_str());
    }
    std::printf("ready %s\n", sim.baseUrl().c_str());
    std::fflush(stdout);
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    sim.stop();
    return 0;
}

int runRecordingsBench(const std::vector<std::string>& args) {
    const int count = std::stoi(option(args, "--count", "10"));
    const double window = std::stod(option(args, "--seconds", "20"));
    ChildProgram server;
    if (!server.start({programDirectory() + "/vigilo-bench", "live-streams", "--count", std::to_string(count)}))
        return 1;
    std::vector<std::string> links;
    std::string base;
    while (auto line = server.readLine(std::chrono::seconds(60))) {
        if (line->rfind("ready ", 0) == 0) {
            base = line->substr(6);
            break;
        }
        links.push_back(*line);
    }
    if (base.empty() || static_cast<int>(links.size()) != count) {
        std::fprintf(stderr, "recordings: the service did not start\n");
        return 1;
    }

    const std::string dir = makeTempDir("vigilo-bench-live");
    RecordingUserInterface ui;
    Endpoints endpoints;
    endpoints.account = endpoints.live = base;
    int result = 0;
    {
        AppContext ctx(Paths::forDirectory(dir), Pacing{}, endpoints, ui);
        LiveMonitor live(ctx);
        const long rssBefore = rssKb();
        for (const std::string& link : links) live.registerRoom(link);
        // Every recorder has written its first figures.
        const auto until = Clock::now() + std::chrono::seconds(120);
        auto allRecording = [&] {
            for (int row = 0; row < count; ++row)
                if (ctx.roomTable.cell(row, rcol::RecordDuration) == "0") return false;
            return true;
        };
        while (!allRecording() && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const auto recorders = live.recorders();
        if (!allRecording() || static_cast<int>(recorders.size()) != count) {
            std::fprintf(stderr, "recordings: only %zu of %d rooms record\n", recorders.size(), count);
            result = 1;
        } else {
            double ownStart = processCpuSeconds(), theirsStart = 0;
            for (const auto& r : recorders) theirsStart += cpuSecondsOf(r.processId);
            std::this_thread::sleep_for(std::chrono::duration<double>(window));
            const double own = processCpuSeconds() - ownStart;
            double theirs = -theirsStart;
            for (const auto& r : recorders) theirs += cpuSecondsOf(r.processId);
            const long rssDuring = rssKb();
            const std::string name = "recordings N=" + std::to_string(count);
            const double share = theirs > 0 ? 100.0 * own / theirs : 0;
            report(name, "Vigilo CPU / recorders' CPU (%)", fixed(share, 2), "<= 5", verdict(share <= 5));
            const double perRecordingMb = static_cast<double>(rssDuring - rssBefore) / 1024.0 / count;
            report(name, "RSS growth per recording (MB)", fixed(perRecordingMb, 3), "<= 1",
                   verdict(perRecordingMb <= 1));
            report(name, "recorders' CPU over the window (s)", fixed(theirs, 2));
        }
        live.stopRecording();
    }
    server.stop();
    removeTree(dir);
    return result;
}

}  // namespace vigilo::bench
