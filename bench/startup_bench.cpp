// Start-up and idle: time from launch to a usable window (offscreen), the program beside the
// smallest Qt Widgets program showing one window, runs alternating; then the resident memory
// of the idle window and of the terminal front end watching 20 accounts between polls.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "support.h"

namespace vigilo::bench {
namespace {

namespace fs = std::filesystem;

struct Launch {
    double seconds = -1;  // to "ready"
    double cpuMs = -1;    // the program's own CPU time until then
    long rssKb = 0, anonKb = 0;
};

Launch launch(const std::vector<std::string>& argv, const std::vector<std::string>& env, int idleMs) {
    Launch result;
    ChildProgram child;
    std::vector<std::string> fullEnv = env;
    fullEnv.push_back("VIGILO_BENCH_IDLE_MS=" + std::to_string(idleMs));
    const auto start = Clock::now();
    if (!child.start(argv, fullEnv)) return result;
    for (;;) {
        const auto line = child.readLine(std::chrono::seconds(60));
        if (!line) break;
        if (line->rfind("ready", 0) == 0) {
            result.seconds = secondsSince(start);
            if (line->size() > 6) result.cpuMs = std::stod(line->substr(6));
        }
        if (line->rfind("rss ", 0) == 0) {
            std::sscanf(line->c_str() + 4, "%ld %ld", &result.rssKb, &result.anonKb);
            break;
        }
    }
    child.stop();
    return result;
}

double median(std::vector<double> values) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string mb(long kb) { return fixed(static_cast<double>(kb) / 1024.0, 1); }

}  // namespace

int runStartupBench(const std::vector<std::string>& args) {
    const int runs = std::stoi(option(args, "--runs", "7"));
    const int idleMs = std::stoi(option(args, "--idle-ms", "3000"));
    const std::string bin = programDirectory();
    const std::string gui = bin + "/vigilo-bench-gui";
    const std::string minimal = bin + "/vigilo-bench-qtmin";
    const std::string vigilo = option(args, "--vigilo", bin + "/../src/vigilo");
    const std::string dir = makeTempDir("vigilo-bench-start");
    const std::string home = dir + "/home", runtime = dir + "/run";
    fs::create_directories(home);
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all, fs::perm_options::replace);
    const std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen",
                                          "VIGILO_HOME=" + home,
                                          "VIGILO_NOTICE_URL=",
                                          "XDG_RUNTIME_DIR=" + runtime,
                                          "VIGILO_ACCOUNT_ENDPOINT=http://127.0.0.1:9",
                                          "VIGILO_LIVE_ENDPOINT=http://127.0.0.1:9"};

    if (!fs::exists(gui) || !fs::exists(minimal)) {
        report("startup", "window start-up", "not built (no Qt front end)");
    } else {
        const std::vector<std::string> minimalRun = {minimal}, textRun = {minimal, "--text"}, guiRun = {gui};
        // A first run of each warms the page cache; it is not counted.
        launch(minimalRun, env, 0);
        launch(textRun, env, 0);
        launch(guiRun, env, 0);
        std::vector<double> guiTimes, minimalTimes, textTimes, guiCpu, minimalCpu, textCpu;
        for (int i = 0; i < runs; ++i) {
            const Launch m = launch(minimalRun, env, 0);
            const Launch t = launch(textRun, env, 0);
            const Launch g = launch(guiRun, env, 0);
            if (m.seconds > 0) minimalTimes.push_back(m.seconds), minimalCpu.push_back(m.cpuMs);
            if (t.seconds > 0) textTimes.push_back(t.seconds), textCpu.push_back(t.cpuMs);
            if (g.seconds > 0) guiTimes.push_back(g.seconds), guiCpu.push_back(g.cpuMs);
        }
        const double g = median(guiTimes), m = median(minimalTimes), t = median(textTimes);
        const Launch guiIdle = launch(guiRun, env, idleMs);
        const Launch minimalIdle = launch(minimalRun, env, idleMs);
        const bool measured = g > 0 && m > 0 && guiTimes.size() == static_cast<size_t>(runs);
        report("startup", "launch to usable window, median of " + std::to_string(runs) + ", ms",
               measured ? fixed(g * 1e3, 0) : "did not become ready");
        report("startup", "minimal Qt window, same, ms", fixed(m * 1e3, 0));
        report("startup", "minimal Qt window with one line of Chinese text, same, ms", fixed(t * 1e3, 0));
        report("startup", "ratio program / minimal Qt (/ with text)",
               measured ? fixed(g / m, 2) + " (" + fixed(g / t, 2) + ")" : "-", "<= 1.5",
               verdict(measured && g / m <= 1.5));
        const double gc = median(guiCpu), mc = median(minimalCpu), tc = median(textCpu);
        report("startup", "CPU until usable: program / minimal / with text, ms (ratios)",
               fixed(gc, 0) + " / " + fixed(mc, 0) + " / " + fixed(tc, 0) + " (" + fixed(gc / mc, 2) + ", " +
                   fixed(gc / tc, 2) + ")");
        report("startup", "idle RSS, window / minimal Qt window, MB (anonymous)",
               mb(guiIdle.rssKb) + " (" + mb(guiIdle.anonKb) + ") / " + mb(minimalIdle.rssKb) + " (" +
                   mb(minimalIdle.anonKb) + ")");
    }

    // The terminal front end watching 20 accounts, sampled in a countdown between two passes.
    if (!fs::exists(vigilo)) {
        report("startup", "idle RSS, terminal front end", "not built");
    } else {
        ChildProgram server;
        if (!server.start({bin + "/vigilo-bench-server", "--accounts", "20"})) return 1;
        std::string base;
        for (;;) {
            const auto line = server.readLine(std::chrono::seconds(30));
            if (!line) return 1;
            if (line->rfind("base ", 0) == 0) base = line->substr(5);
            if (*line == "ready") break;
        }
        server.writeLine("links 20");
        std::string links;
        for (;;) {
            const auto line = server.readLine(std::chrono::seconds(30));
            if (!line || *line == "end") break;
            links += *line + "\r\n";
        }
        const std::string accountsFile = dir + "/accounts.txt";
        std::ofstream(accountsFile, std::ios::binary) << links;
        ChildProgram headless;
        std::vector<std::string> henv = env;
        henv.push_back("VIGILO_ACCOUNT_ENDPOINT=" + base);
        henv.push_back("VIGILO_LIVE_ENDPOINT=" + base);
        const std::string emptyRooms = dir + "/rooms.txt";
        std::ofstream(emptyRooms, std::ios::binary) << "";
        headless.start({vigilo, "--headless", "--accounts", accountsFile, "--rooms", emptyRooms, "--duration", "20"},
                       henv);
        // Its output is read away so it never blocks on a full pipe.
        long rss = 0, anon = 0;
        const auto start = Clock::now();
        while (secondsSince(start) < 7.0) {
            headless.readLine(std::chrono::milliseconds(100));
            if (secondsSince(start) > 6.0 && rss == 0) {
                rss = rssKb(headless.pid());
                anon = statusField("RssAnon", headless.pid());
            }
        }
        headless.stop();
        server.writeLine("quit");
        server.stop();
        report("startup", "idle RSS, terminal front end watching 20 accounts, MB (anonymous)",
               rss > 0 ? mb(rss) + " (" + mb(anon) + ")" : "not measured");
    }
    removeTree(dir);
    return 0;
}

}  // namespace vigilo::bench
