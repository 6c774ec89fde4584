// vigilo-bench-gui-scale: the window over 5000 accounts and 50 rooms whose cells change at a
// set rate from a worker thread, as the monitors change them, and how long the UI thread keeps
// an event waiting. A probe thread hands the UI thread a call every 5 ms; the time from the
// hand-over to the call running is one event's latency, and the longest is the longest stall.
// Each phase runs --seconds: the window idle (only the countdown ticking), then each rate of
// cell changes, on the works page (the account table shown) and then the live page.
//   vigilo-bench-gui-scale [--accounts 5000] [--rooms 50] [--seconds 10] [--rates 100,1000,5000]
//                          [--shot FILE]   (a picture of the window at the end)
#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/context.h"
#include "control/controller.h"
#include "gui/mainwindow.h"
#include "scale_tables.h"
#include "support.h"

using namespace vigilo;
using namespace vigilo::bench;

namespace {

std::string argument(const std::vector<std::string>& args, const std::string& name, const std::string& fallback) {
    for (std::size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == name) return args[i + 1];
    return fallback;
}

// Hands the UI thread a timed call every 5 ms and keeps each call's wait.
class LatencyProbe {
public:
    explicit LatencyProbe(QObject* target) : target_(target) {
        thread_ = std::jthread([this](std::stop_token stop) {
            while (!stop.stop_requested()) {
                const auto sent = Clock::now();
                QMetaObject::invokeMethod(
                    target_,
                    [this, sent] {
                        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
                        std::lock_guard lock(mutex_);
                        waits_.push_back(ms);
                    },
                    Qt::QueuedConnection);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    ~LatencyProbe() { stop(); }
    void stop() {
        thread_.request_stop();
        if (thread_.joinable()) thread_.join();
    }
    std::vector<double> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(waits_, {});
    }

private:
    QObject* target_;
    std::mutex mutex_;
    std::vector<double> waits_;
    std::jthread thread_;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const std::vector<std::string> args(argv + 1, argv + argc);
    const int accounts = std::stoi(argument(args, "--accounts", "5000"));
    const int rooms = std::stoi(argument(args, "--rooms", "50"));
    const double seconds = std::stod(argument(args, "--seconds", "10"));
    std::vector<int> rates;
    std::stringstream list(argument(args, "--rates", "100,1000,5000"));
    for (std::string item; std::getline(list, item, ',');) rates.push_back(std::stoi(item));

    const std::string dir = makeTempDir("vigilo-bench-gui-scale");
    RecordingUserInterface ui;
    auto ctx = std::make_unique<AppContext>(Paths::forDirectory(dir), Pacing{}, Endpoints{}, ui);
    ctx->markStarted();
    auto controller = std::make_unique<Controller>(*ctx);
    auto window = std::make_unique<gui::MainWindow>(*controller);
    window->show();
    const auto filling = Clock::now();
    fillScaleTables(*ctx, accounts, rooms);
    QObject target;
    auto probe = std::make_unique<LatencyProbe>(&target);
    // Writes come from the driver's own thread, as the monitors' workers write.
    auto driver = std::make_unique<CellDriver>(*ctx, accounts, rooms, [](std::function<void()> step) { step(); });

    struct Phase {
        std::string page, name;
        int rate;
    };
    std::vector<Phase> phases;
    for (const char* page : {"works", "live"}) {
        phases.push_back({page, "idle", 0});
        for (int rate : rates) phases.push_back({page, std::to_string(rate) + " changes/s", rate});
    }
    std::size_t next = 0;
    bool first = true;
    QTimer timer;
    timer.setSingleShot(true);
    std::function<void()> runPhase = [&] {
        if (!first) {
            const Phase& done = phases[next - 1];
            const std::vector<double> waits = probe->take();
            const double p99 = percentile(waits, 0.99);
            report("window",
                   std::to_string(accounts) + " accounts + " + std::to_string(rooms) + " rooms, " + done.page +
                       " page, " + done.name + ": UI event wait p99 / longest (ms)",
                   fixed(p99, 1) + " / " + fixed(percentile(waits, 1.0), 1), "p99 <= 16", verdict(p99 <= 16));
        }
        first = false;
        if (next == phases.size()) {
            if (const std::string shot = argument(args, "--shot", ""); !shot.empty())
                window->grab().save(QString::fromStdString(shot));
            QApplication::quit();
            return;
        }
        const Phase& phase = phases[next++];
        window->showPage(phase.page == "works" ? 0 : 1);
        driver->setRate(phase.rate);
        // A second to settle into the phase, then what was waited is counted afresh.
        QTimer::singleShot(1000, [&] { probe->take(); });
        timer.start(static_cast<int>(1000 + seconds * 1000));
    };
    QObject::connect(&timer, &QTimer::timeout, [&] { runPhase(); });
    QTimer::singleShot(0, [&] {
        // The rows arrive through the models' hand-over; the first phase starts once they are in.
        report("window", "writing both tables' rows, the window open (s)", fixed(secondsSince(filling), 2));
        probe->take();
        runPhase();
    });
    const int code = app.exec();
    driver->stop();
    probe->stop();
    window.reset();
    controller.reset();
    ctx.reset();
    removeTree(dir);
    return code;
}
