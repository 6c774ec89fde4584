// vigilo-sim: the simulated service as a program, for the demo and for benchmarks.
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>

#include "sim/demo.h"
#include "sim/push_receiver.h"
#include "sim/simulator.h"
#include "sim/tls_cert.h"
#include "sys/spawn.h"

namespace {

const char* kUsage =
    "Usage: vigilo-sim [--port N] [--scenario demo|empty] [--data-dir DIR] [options]\n"
    "\n"
    "Serves a simulated short-video service on 127.0.0.1 for Vigilo to watch.\n"
    "\n"
    "  --port N             port to listen on (0, the default, picks a free one)\n"
    "  --scenario NAME      demo: three accounts (one posts a new video every 30 s, one\n"
    "                       three at once at 45 s while the video server fails twice, one\n"
    "                       refuses its first two queries) and two\n"
    "                       rooms (one live from the start, one on air from 60 s for five\n"
    "                       minutes) with generated live streams, and from 75 s a minute of\n"
    "                       throttling (20 requests a minute, the rest 429); empty: no\n"
    "                       accounts or rooms\n"
    "  --data-dir DIR       write the link files 文件1.txt and 文件2.txt into DIR\n"
    "  --env-file FILE      also write the environment lines into FILE\n"
    "  --time-scale X       multiply the scenario's times by X (0.1 runs ten times faster)\n"
    "  --tls-cert FILE      serve HTTPS with this PEM certificate ...\n"
    "  --tls-key FILE       ... and this PEM key; both are created (self-signed) when missing\n"
    "  --no-streams         do not run ffmpeg; live rooms name streams that do not exist\n"
    "  --webhook-log FILE   demo: also append each event Vigilo pushes to the scenario's own\n"
    "                       webhook receiver to FILE (they are always printed)\n"
    "  --extra-account NICKNAME\n"
    "                       also serve an account with this nickname (for hostile names);\n"
    "                       its share link is printed as SIM_EXTRA_ACCOUNT_LINK\n"
    "  --request-limit N    allow N requests a minute (times the time scale) to the JSON\n"
    "                       endpoints and answer the rest 429 with a Retry-After\n"
    "  --quiet              do not log requests\n"
    "  --help               show this text\n"
    "\n"
    "On start it prints the lines that point Vigilo at it (export VIGILO_ACCOUNT_ENDPOINT=...\n"
    "and the others) on standard output, and into the --env-file when given, for a script to\n"
    "source. Each request is then logged on one line to standard error. SIGINT or SIGTERM\n"
    "stops it together with its ffmpeg processes.\n";

std::string timeOfDay() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm{};
    localtime_r(&ts.tv_sec, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%H:%M:%S", &tm);
    char out[48];
    std::snprintf(out, sizeof out, "%s.%03ld", buf, ts.tv_nsec / 1000000);
    return out;
}

// Control characters in a logged target would break the one-line-per-request log.
std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "vigilo-sim: %s (see --help)\n", message.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vigilo::sim;
    int port = 0;
    std::string scenario = "demo";
    std::string dataDir, envFile, certFile, keyFile, webhookLog;
    double timeScale = 1.0;
    bool streams = true;
    bool quiet = false;
    std::string extraNickname;
    int requestLimit = 0;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--port") {
            if (!value(v)) return usageError("--port needs a number");
            char* end = nullptr;
            long p = std::strtol(v.c_str(), &end, 10);
            if (*end || p < 0 || p > 65535) return usageError("bad port: " + v);
            port = static_cast<int>(p);
        } else if (arg == "--scenario") {
            if (!value(scenario)) return usageError("--scenario needs a name");
            if (scenario != "demo" && scenario != "empty") return usageError("unknown scenario: " + scenario);
        } else if (arg == "--data-dir") {
            if (!value(dataDir)) return usageError("--data-dir needs a directory");
        } else if (arg == "--env-file") {
            if (!value(envFile)) return usageError("--env-file needs a file");
        } else if (arg == "--time-scale") {
            if (!value(v)) return usageError("--time-scale needs a number");
            char* end = nullptr;
            timeScale = std::strtod(v.c_str(), &end);
            if (*end || !(timeScale > 0)) return usageError("bad time scale: " + v);
        } else if (arg == "--tls-cert") {
            if (!value(certFile)) return usageError("--tls-cert needs a file");
        } else if (arg == "--tls-key") {
            if (!value(keyFile)) return usageError("--tls-key needs a file");
        } else if (arg == "--webhook-log") {
            if (!value(webhookLog)) return usageError("--webhook-log needs a file");
        } else if (arg == "--no-streams") {
            streams = false;
        } else if (arg == "--extra-account") {
            if (!value(extraNickname)) return usageError("--extra-account needs a nickname");
        } else if (arg == "--request-limit") {
            if (!value(v)) return usageError("--request-limit needs a number");
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (*end || n < 1 || n > 1000000) return usageError("bad request limit: " + v);
            requestLimit = static_cast<int>(n);
        } else if (arg == "--quiet") {
            quiet = true;
        } else {
            return usageError("unknown option: " + arg);
        }
    }
    if (certFile.empty() != keyFile.empty()) return usageError("--tls-cert and --tls-key go together");
    if (!certFile.empty() && (!fileExists(certFile) || !fileExists(keyFile))) {
        if (!writeSelfSignedCertificate(certFile, keyFile)) {
            std::fprintf(stderr, "vigilo-sim: cannot write a certificate to %s and %s\n", certFile.c_str(),
                         keyFile.c_str());
            return 1;
        }
    }

    // Signals are taken synchronously by the main loop; every thread started later inherits
    // the mask, so none of them is interrupted by them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    vigilo::ignoreBrokenPipes();

    if (streams && scenario == "demo" && !Simulator::ffmpegAvailable()) {
        std::fprintf(stderr, "vigilo-sim: ffmpeg not found; live rooms will name streams that do not exist\n");
        streams = false;
    }

    Simulator sim;
    if (!quiet) {
        sim.setRequestObserver([](const RequestRecord& r) {
            std::string line = timeOfDay() + " " + r.endpoint + " " + r.method + " " + printable(r.target) + "\n";
            std::fwrite(line.data(), 1, line.size(), stderr);
        });
    }
    if (!sim.start(port, certFile, keyFile)) {
        std::fprintf(stderr, "vigilo-sim: cannot listen on 127.0.0.1:%d%s\n", port,
                     certFile.empty() ? "" : " (or the certificate is unusable)");
        return 1;
    }

    if (requestLimit > 0)
        sim.setRequestLimit(requestLimit, std::chrono::milliseconds(static_cast<long long>(60000 * timeScale)));

    DemoOptions options;
    options.timeScale = timeScale;
    options.liveStreams = streams;
    DemoScenario demo(sim, options);
    if (scenario == "demo") demo.setUp();
    if (!dataDir.empty() && scenario == "demo" && !demo.writeLinkFiles(dataDir)) {
        std::fprintf(stderr, "vigilo-sim: cannot write the link files into %s\n", dataDir.c_str());
        sim.stop();
        return 1;
    }

    // The demo's own webhook receiver: shows what Vigilo tells the outside world.
    PushReceiver webhook;
    std::mutex webhookMutex;
    if (scenario == "demo") {
        webhook.setObserver([&](const HttpRequest& request) {
            std::lock_guard lock(webhookMutex);
            std::string line = timeOfDay() + " webhook received: " + printable(request.body) + "\n";
            std::fwrite(line.data(), 1, line.size(), stderr);
            if (!webhookLog.empty()) {
                std::ofstream log(webhookLog, std::ios::binary | std::ios::app);
                log << request.body << "\n";
            }
        });
        if (!webhook.start()) {
            std::fprintf(stderr, "vigilo-sim: cannot start the webhook receiver\n");
            sim.stop();
            return 1;
        }
    }

    std::string env = demo.environment(dataDir);
    if (!extraNickname.empty()) {
        Account extra;
        extra.uid = "99887766554433";
        extra.secUid = "MS4wLjABAAAAextraAccountForHostileNames";
        extra.shortId = "99887";
        extra.uniqueId = "extra";
        extra.nickname = extraNickname;
        extra.followerCount = 42;
        extra.posts = {{"7399999999999999999", extraNickname, "extra video bytes"}};
        sim.addAccount(extra);
        // A share link is plain URL characters: no quoting needed.
        env += "export SIM_EXTRA_ACCOUNT_LINK=" + sim.accountShareLink(extra.secUid) + "\n";
    }
    if (scenario == "demo") env += "export VIGILO_WEBHOOK_URL=" + webhook.url("/demo-webhook") + "\n";
    std::fputs(env.c_str(), stdout);
    std::fflush(stdout);
    if (!envFile.empty()) {
        std::string tmp = envFile + ".tmp";
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << env;
        out.close();
        if (!out || std::rename(tmp.c_str(), envFile.c_str()) != 0) {
            std::fprintf(stderr, "vigilo-sim: cannot write %s\n", envFile.c_str());
            sim.stop();
            return 1;
        }
    }
    std::fprintf(stderr, "%s vigilo-sim serving %s (scenario %s)\n", timeOfDay().c_str(), sim.baseUrl().c_str(),
                 scenario.c_str());

    auto started = std::chrono::steady_clock::now();
    for (;;) {
        timespec wait{0, 200 * 1000 * 1000};
        int sig = sigtimedwait(&signals, nullptr, &wait);
        if (sig > 0) {
            std::fprintf(stderr, "%s vigilo-sim stopping (signal %d)\n", timeOfDay().c_str(), sig);
            break;
        }
        if (scenario == "demo") {
            for (const auto& event : demo.advance(std::chrono::steady_clock::now() - started))
                std::fprintf(stderr, "%s %s\n", timeOfDay().c_str(), event.c_str());
        }
    }
    webhook.stop();
    sim.stop();
    if (!envFile.empty()) std::remove(envFile.c_str());
    return 0;
}
