// Closing under load: the time from the close request (what the window's close and the end of
// the program do: the close handler, then the handlers and the state going) to every thread
// joined, with hundreds of room polls held by a service that never answers and recordings
// running. Recorders are let go and keep running in their own sessions; the program must hold
// no thread afterwards.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/context.h"
#include "bench.h"
#include "control/controller.h"
#include "sim/simulator.h"
#include "support.h"

namespace vigilo::bench {

namespace {

struct CloseRun {
    bool ready = false;      // the polls were held and the recordings ran when the close came
    double seconds = 0;      // close request to every thread joined and the state gone
    long threadsLeft = 0;    // the program's threads after the close, over those before it
    int recordersAlive = 0;  // recorder processes still running after the close
    int heldPolls = 0;
    int recordings = 0;  // recorders running when the close came
};

template <class Done>
bool waitUntil(Done done, std::chrono::seconds bound) {
    const auto until = Clock::now() + bound;
    while (!done()) {
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

sim::Room makeRoom(const std::string& roomId, const std::string& nickname) {
    sim::Room room;
    room.roomId = roomId;
    room.ownerId = "9" + roomId.substr(0, 10);
    room.ownerNickname = nickname;
    room.ownerSecUid = "MS4wLjABAAAA" + roomId;
    room.createTime = 1590975065;
    return room;
}

CloseRun closeOnce(int polls, int recordings) {
    CloseRun run;
    const std::string dir = makeTempDir("vigilo-bench-close");
    const std::string pidFile = dir + "/recorders";
    // A recorder that notes its process id and waits: the show goes on past the close.
    const std::string stub = dir + "/ffmpeg";
    {
        std::ofstream script(stub);
        script << "#!/bin/sh\necho $$ >> '" << pidFile << "'\nexec sleep 600\n";
    }
    ::chmod(stub.c_str(), 0755);
    ::setenv("VIGILO_FFMPEG", stub.c_str(), 1);

    sim::Simulator sim;
    if (!sim.start()) return run;
    const long threadsBefore = threadCount();

    std::string links;
    for (int i = 0; i < polls + recordings; ++i) {
        const std::string roomId = std::to_string(7200000000000000000ll + i);
        sim.addRoom(makeRoom(roomId, "主播" + std::to_string(i)));
        if (i < recordings) sim.goLive(roomId, "http://127.0.0.1:9/live/" + std::to_string(i) + ".flv");
        links += sim.roomShareLink(roomId) + "\r\n";
    }

    // The recordings are written into the data directory, which the program makes at start-up.
    std::filesystem::create_directories(dir + "/data");
    RecordingUserInterface ui;
    Endpoints endpoints;
    endpoints.account = endpoints.live = sim.baseUrl();
    auto ctx = std::make_unique<AppContext>(Paths::forDirectory(dir + "/data"), Pacing{}.scaled(0.01), endpoints, ui);
    auto controller = std::make_unique<Controller>(*ctx);
    ctx->markStarted();
    controller->addRooms(links);
    const bool recording =
        waitUntil([&] { return controller->live().runningRecorders() == recordings; }, std::chrono::seconds(60));
    if (!recording)
        std::fprintf(stderr, "close: the recordings did not start; the log:\n%s\n", ctx->log.text().c_str());
    // From here every room request is held; the supervisor's next pass queues every offline row.
    sim.setFault(sim::kRoom, sim::Fault::Stall);
    const bool held =
        waitUntil([&] { return static_cast<int>(sim.openConnections()) >= polls; }, std::chrono::seconds(60));
    run.heldPolls = static_cast<int>(sim.openConnections());
    run.recordings = controller->live().runningRecorders();
    run.ready = recording && held;
    std::fprintf(stderr, "close: %d recordings of %d, %d rows, %d requests held\n",
                 controller->live().runningRecorders(), recordings, ctx->roomTable.rowCount(), run.heldPolls);

    const auto start = Clock::now();
    controller->closeProgram();
    controller.reset();
    ctx.reset();
    run.seconds = secondsSince(start);

    // The service's own connection threads end once the program's side has gone.
    waitUntil([&] { return sim.openConnections() == 0; }, std::chrono::seconds(60));
    run.threadsLeft = threadCount() - threadsBefore;

    std::ifstream ids(pidFile);
    for (long pid = 0; ids >> pid;) {
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0) {
            ++run.recordersAlive;
            ::kill(static_cast<pid_t>(pid), SIGKILL);
        }
    }
    sim.stop();
    removeTree(dir);
    return run;
}

}  // namespace

int runCloseBench(const std::vector<std::string>& args) {
    const int polls = std::max(1, std::stoi(option(args, "--polls", "400")));
    const int recordings = std::max(0, std::stoi(option(args, "--recordings", "20")));
    const int runs = std::max(1, std::stoi(option(args, "--runs", "3")));

    std::vector<CloseRun> all;
    for (int i = 0; i < runs; ++i) all.push_back(closeOnce(polls, recordings));
    std::vector<double> times;
    long worstLeft = 0;
    int fewestAlive = recordings, fewestHeld = polls, fewestRecording = recordings;
    bool ready = true;
    for (const CloseRun& r : all) {
        times.push_back(r.seconds);
        worstLeft = std::max(worstLeft, r.threadsLeft);
        fewestAlive = std::min(fewestAlive, r.recordersAlive);
        fewestHeld = std::min(fewestHeld, r.heldPolls);
        fewestRecording = std::min(fewestRecording, r.recordings);
        ready = ready && r.ready;
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    // What the close really met: the fewest held requests and running recordings of any run.
    const std::string load = std::to_string(fewestHeld) + " polls held, " + std::to_string(fewestRecording) + " of " +
                             std::to_string(recordings) + " recordings running";
    report("close",
           "close request to every thread joined, s, median of " + std::to_string(runs) + " (" + load + "; range " +
               fixed(times.front(), 2) + "-" + fixed(times.back(), 2) + ")",
           fixed(median, 2), "<= 2", verdict(ready && median <= 2.0));
    report("close", "threads left after the close, worst run", std::to_string(worstLeft), "0", verdict(worstLeft <= 0));
    report("close", "recorders still running after the close, fewest", std::to_string(fewestAlive),
           std::to_string(recordings), verdict(fewestAlive == recordings));
    return ready ? 0 : 1;
}

}  // namespace vigilo::bench
