// The web page's server side at scale, for bench/web_bench.py to measure from a real browser:
// the program's own tables with thousands of rows, its web server and event stream, and a
// driver that changes cells the way the monitors do. The numbers of rows and of changes a
// second are set from standard input, so one process serves every phase and the script
// compares its CPU with and without a page open:
//   vigilo-bench web-serve --accounts 5000 --rooms 50
//   stdin: "rate N" (cell changes a second, spread over the rows), "quit"
//   stdout: "READY <port> <token file>" once serving
// Every changed cell holds the time it was written (milliseconds since 1970), so the page can
// tell how far behind it is. The status bar's countdown ticks every second, as the works
// monitor's does, whatever the rate.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "app/context.h"
#include "bench.h"
#include "control/controller.h"
#include "scale_tables.h"
#include "sim/ui_loop.h"
#include "support.h"
#include "web/server.h"

namespace vigilo::bench {

int runWebServeBench(const std::vector<std::string>& args) {
    const int accounts = std::stoi(option(args, "--accounts", "5000"));
    const int rooms = std::stoi(option(args, "--rooms", "50"));
    const std::string dir = makeTempDir("vigilo-bench-web");
    RecordingUserInterface ui;
    auto ctx = std::make_unique<AppContext>(Paths::forDirectory(dir), Pacing{}, Endpoints{}, ui);
    ctx->markStarted();
    auto controller = std::make_unique<Controller>(*ctx);
    fillScaleTables(*ctx, accounts, rooms);

    auto loop = std::make_unique<sim::UiLoop>();
    web::WebConfig config;
    auto server = std::make_unique<web::WebServer>(
        *controller, [&loop](std::function<void()> call) { loop->post(std::move(call)); }, config);
    std::string error;
    if (!server->start(error)) {
        std::fprintf(stderr, "web server: %s\n", error.c_str());
        return 1;
    }
    std::printf("READY %d %s\n", server->port(), server->tokenFile().c_str());
    std::fflush(stdout);

    CellDriver driver(*ctx, accounts, rooms, [&loop](std::function<void()> step) { loop->post(std::move(step)); });

    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.rfind("rate ", 0) == 0) driver.setRate(std::stoi(line.substr(5)));
        if (line == "quit") break;
    }
    driver.stop();
    server->stop();
    server.reset();
    loop.reset();  // joined: no step runs after this
    controller.reset();
    ctx.reset();
    removeTree(dir);
    return 0;
}

}  // namespace vigilo::bench
