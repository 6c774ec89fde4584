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
#include "sim/ui_loop.h"
#include "support.h"
#include "web/server.h"

namespace vigilo::bench {

namespace {

std::string nowMs() {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count());
}

void fillTables(AppContext& ctx, int accounts, int rooms) {
    for (int i = 0; i < accounts; ++i) {
        const int row = ctx.accountTable.appendRow();
        const std::string n = std::to_string(100000 + i);
        ctx.accountTable.setCell(row, acol::Link, "https://v.douyin.com/b" + n + "/");
        ctx.accountTable.setCell(row, acol::Uid, "88" + n);
        ctx.accountTable.setCell(row, acol::SecUid, "MS4wLjABAAAAbenchWebAccount" + n);
        ctx.accountTable.setCell(row, acol::ShortId, "55" + n);
        ctx.accountTable.setCell(row, acol::Nickname, "账号" + n);
        ctx.accountTable.setCell(row, acol::Followers, "1.2万");
        ctx.accountTable.setCell(row, acol::PostCount, "120");
        ctx.accountTable.setCell(row, acol::NewestDesc, "最新作品的描述 #" + n);
        ctx.accountTable.setCell(row, acol::Counter, "0");
        ctx.accountTable.setCell(row, acol::NewestId, "73000000000" + n);
    }
    for (int i = 0; i < rooms; ++i) {
        const int row = ctx.roomTable.appendRow();
        const std::string n = std::to_string(7100000000000000 + i);
        ctx.roomTable.setCell(row, rcol::Owner, "主播" + std::to_string(i));
        ctx.roomTable.setCell(row, rcol::RoomId, n);
        ctx.roomTable.setCell(row, rcol::LiveStatus, "正在直播");
        ctx.roomTable.setCell(row, rcol::RecordStatus, "正在录制");
        ctx.roomTable.setCell(row, rcol::RecordSize, "0");
    }
}

}  // namespace

int runWebServeBench(const std::vector<std::string>& args) {
    const int accounts = std::stoi(option(args, "--accounts", "5000"));
    const int rooms = std::stoi(option(args, "--rooms", "50"));
    const std::string dir = makeTempDir("vigilo-bench-web");
    RecordingUserInterface ui;
    auto ctx = std::make_unique<AppContext>(Paths::forDirectory(dir), Pacing{}, Endpoints{}, ui);
    ctx->markStarted();
    auto controller = std::make_unique<Controller>(*ctx);
    fillTables(*ctx, accounts, rooms);

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

    std::atomic<int> rate{0};
    std::jthread driver([&](std::stop_token stop) {
        // Ten steps a second; each writes its share of the rate, walking round the rows.
        using namespace std::chrono;
        auto next = steady_clock::now();
        long step = 0;
        std::size_t cursor = 0;
        const std::size_t total = static_cast<std::size_t>(accounts + rooms);
        while (!stop.stop_requested()) {
            next += milliseconds(100);
            std::this_thread::sleep_until(next);
            ++step;
            const int perStep = rate.load() / 10;
            loop->post([&, perStep, step] {
                const std::string stamp = nowMs();
                if (step % 10 == 0)
                    ctx->status.setText(0, "距离下次查询还有" + std::to_string(60 - (step / 10) % 60) + "秒");
                for (int i = 0; i < perStep && total > 0; ++i, cursor = (cursor + 1) % total) {
                    if (cursor < static_cast<std::size_t>(accounts))
                        ctx->accountTable.setCell(static_cast<int>(cursor), acol::Counter, stamp);
                    else
                        ctx->roomTable.setCell(static_cast<int>(cursor) - accounts, rcol::RecordSize, stamp);
                }
            });
        }
    });

    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.rfind("rate ", 0) == 0) rate = std::stoi(line.substr(5));
        if (line == "quit") break;
    }
    driver.request_stop();
    driver.join();
    server->stop();
    server.reset();
    loop.reset();
    controller.reset();
    ctx.reset();
    removeTree(dir);
    return 0;
}

}  // namespace vigilo::bench
