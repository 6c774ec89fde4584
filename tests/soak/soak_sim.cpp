// The simulated service for long runs: many accounts that post now and then, and rooms that
// take turns on air with generated streams, so a watching program keeps polling, downloading
// and recording for as long as it runs. scripts/soak starts it next to the real program.
// With a fault share it also fails that share of answers at random (from a printed seed), takes
// the video server down for a minute now and then, stalls streams and refuses connections for
// a moment; with a ledger it writes down every post (id, size, SHA-256 of its bytes) and every
// show (start, end), which scripts/soak compares with what the program kept.
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/demo.h"
#include "sim/simulator.h"

namespace {

using vigilo::sim::Account;
using vigilo::sim::Fault;
using vigilo::sim::Post;
using vigilo::sim::Room;
using vigilo::sim::Simulator;

const char* const kUsage =
    "Usage: vigilo-soak-sim --data-dir DIR --env-file FILE [options]\n"
    "  --accounts N       accounts to serve (500)\n"
    "  --rooms N          rooms to serve (20)\n"
    "  --live N           rooms on air at any time, each with a generated stream (10)\n"
    "  --post-every S     one account posts a new video every S seconds (10)\n"
    "  --rotate-every S   every S seconds the longest show ends and another room goes on air (60)\n"
    "  --fault-share P    fail this share of the API's and video server's answers (0 to 1; 0)\n"
    "  --seed N           seed of the faults and of who posts (20240601)\n"
    "  --faults-for S     play faults during the first S seconds only (no end)\n"
    "  --outage-every S   with faults, the video server is down for --outage-length S every S s (300)\n"
    "  --outage-length S  (60)\n"
    "  --throttle-every S with faults, the API allows only --throttle-limit requests a minute\n"
    "                     (the rest 429 with Retry-After) for --throttle-length S every S s (240)\n"
    "  --throttle-length S (60)\n"
    "  --throttle-limit N (120)\n"
    "  --stall-every S    with faults, a stream on air stalls for 5 to 40 s every S seconds (45)\n"
    "  --ledger FILE      write every post and show into FILE as it happens\n"
    "Writes the link files into DIR and the environment lines into FILE, then serves until\n"
    "SIGINT or SIGTERM, printing one line per event.\n";

bool writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string secUidOf(int i) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "MS4wLjABAAAAsoak%06dQz3_vJ0k2YfE5pLr8TqWn1cUoG4sAiK", i);
    return buf;
}

std::string roomIdOf(int i) { return std::to_string(7282900000000000000ull + static_cast<unsigned long long>(i)); }

void event(const std::string& line) {
    std::printf("%ld %s\n", static_cast<long>(std::time(nullptr)), line.c_str());
    std::fflush(stdout);
}

double unixNow() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

std::string sha256Hex(const std::string& bytes) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) return "";
    static const char* hexDigits = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out.push_back(hexDigits[digest[i] >> 4]);
        out.push_back(hexDigits[digest[i] & 15]);
    }
    return out;
}

// Every post gets bytes of its own, so a video saved under the wrong name, cut short or mixed
// up with another shows in its digest: the same clip followed by an MP4 "free" box (which
// players skip) holding the post's id and a filler of varying length.
std::string uniqueVideo(const std::string& clip, const std::string& awemeId, std::mt19937& random) {
    std::string payload = "vigilo-soak " + awemeId + " ";
    payload.append(random() % 65536, static_cast<char>('a' + random() % 26));
    const auto size = static_cast<std::uint32_t>(payload.size() + 8);
    std::string box;
    for (int shift = 24; shift >= 0; shift -= 8) box.push_back(static_cast<char>((size >> shift) & 0xFF));
    box += "free";
    return clip + box + payload;
}

// Lines written as things happen, flushed each time, so a run that is cut short keeps what it
// did up to the cut.
class Ledger {
public:
    bool open(const std::string& path) {
        file_ = std::fopen(path.c_str(), "w");
        return file_ != nullptr;
    }
    ~Ledger() {
        if (file_) std::fclose(file_);
    }
    void line(const std::string& text) {
        if (!file_) return;
        std::lock_guard<std::mutex> lock(mu_);
        std::fprintf(file_, "%.3f\t%s\n", unixNow(), text.c_str());
        std::fflush(file_);
    }

private:
    std::mutex mu_;
    std::FILE* file_ = nullptr;
};

// The answers that fail at random: a server error, an empty answer, a connection dropped
// halfway, or a stall that holds the request until the client gives up.
class RandomFaults {
public:
    RandomFaults(double share, unsigned seed) : share_(share), random_(seed) {}

    Fault choose(const std::string& endpoint) {
        static const std::map<std::string, bool> eligible = {
            {vigilo::sim::kProfile, true}, {vigilo::sim::kPosts, true}, {vigilo::sim::kRoom, true},
            {vigilo::sim::kShare, true},   {vigilo::sim::kPlay, true},  {vigilo::sim::kVideo, true}};
        if (!active_ || !eligible.count(endpoint)) return Fault::None;
        static const Fault kinds[] = {Fault::Http500, Fault::EmptyBody, Fault::ResetMidBody, Fault::Stall};
        std::lock_guard<std::mutex> lock(mu_);
        if (std::uniform_real_distribution<double>(0, 1)(random_) >= share_) return Fault::None;
        const Fault f = kinds[random_() % 4];
        ++played_[endpoint + " " + vigilo::sim::faultName(f)];
        return f;
    }
    void stop() { active_ = false; }
    std::map<std::string, long> played() {
        std::lock_guard<std::mutex> lock(mu_);
        return played_;
    }

private:
    const double share_;
    std::atomic<bool> active_{true};
    std::mutex mu_;
    std::mt19937 random_;
    std::map<std::string, long> played_;
};

}  // namespace

int main(int argc, char** argv) {
    int accounts = 500, rooms = 20, live = 10;
    double postEvery = 10, rotateEvery = 60;
    double faultShare = 0, faultsFor = -1, outageEvery = 300, outageLength = 60, stallEvery = 45;
    double throttleEvery = 240, throttleLength = 60;
    int throttleLimit = 120;
    unsigned long seed = 20240601;
    std::string dataDir, envFile, ledgerFile;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!value) {
            std::fprintf(stderr, "vigilo-soak-sim: %s needs a value\n%s", arg.c_str(), kUsage);
            return 2;
        }
        ++i;
        if (arg == "--accounts")
            accounts = std::atoi(value);
        else if (arg == "--rooms")
            rooms = std::atoi(value);
        else if (arg == "--live")
            live = std::atoi(value);
        else if (arg == "--post-every")
            postEvery = std::atof(value);
        else if (arg == "--rotate-every")
            rotateEvery = std::atof(value);
        else if (arg == "--fault-share")
            faultShare = std::atof(value);
        else if (arg == "--seed")
            seed = std::strtoul(value, nullptr, 10);
        else if (arg == "--faults-for")
            faultsFor = std::atof(value);
        else if (arg == "--outage-every")
            outageEvery = std::atof(value);
        else if (arg == "--outage-length")
            outageLength = std::atof(value);
        else if (arg == "--throttle-every")
            throttleEvery = std::atof(value);
        else if (arg == "--throttle-length")
            throttleLength = std::atof(value);
        else if (arg == "--throttle-limit")
            throttleLimit = std::atoi(value);
        else if (arg == "--stall-every")
            stallEvery = std::atof(value);
        else if (arg == "--ledger")
            ledgerFile = value;
        else if (arg == "--data-dir")
            dataDir = value;
        else if (arg == "--env-file")
            envFile = value;
        else {
            std::fprintf(stderr, "vigilo-soak-sim: unknown option %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    if (dataDir.empty() || envFile.empty() || accounts < 1 || rooms < 1 || live < 0 || live > rooms ||
        !(postEvery > 0) || !(rotateEvery > 0) || !(faultShare >= 0 && faultShare <= 1) || !(outageEvery > 0) ||
        !(outageLength >= 0) || !(stallEvery > 0) || !(throttleEvery > 0) || !(throttleLength >= 0) ||
        throttleLimit < 1) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Simulator sim;
    if (!sim.start()) {
        std::fprintf(stderr, "vigilo-soak-sim: cannot listen\n");
        return 1;
    }
    // A long run must not keep every request it served.
    sim.setRequestLogLimit(1000);
    const std::string video = vigilo::sim::makeDemoVideo();

    Ledger ledger;
    if (!ledgerFile.empty() && !ledger.open(ledgerFile)) {
        std::fprintf(stderr, "vigilo-soak-sim: cannot write %s\n", ledgerFile.c_str());
        return 1;
    }
    char shareText[32];
    std::snprintf(shareText, sizeof shareText, "%.4f", faultShare);
    event("seed " + std::to_string(seed) + " fault-share " + shareText);
    ledger.line("seed\t" + std::to_string(seed) + "\t" + shareText);

    std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
    std::mt19937 faultRandom(static_cast<std::mt19937::result_type>(seed ^ 0x5bd1e995u));
    RandomFaults randomFaults(faultShare, static_cast<unsigned>(seed * 2654435761u));
    unsigned long long nextPost = 1;
    auto makePost = [&] {
        Post p;
        p.awemeId = std::to_string(6990000000000000000ull + nextPost);
        p.desc = "第" + std::to_string(nextPost) + "条 #日常 #soak\n第二行🌇";
        p.videoBytes = uniqueVideo(video, p.awemeId, random);
        ++nextPost;
        return p;
    };

    std::string accountLinks, roomLinks;
    for (int i = 0; i < accounts; ++i) {
        Account a;
        a.uid = std::to_string(73519000000ull + static_cast<unsigned long long>(i));
        a.secUid = secUidOf(i);
        a.shortId = std::to_string(1589000000 + i);
        a.uniqueId = "soak_" + std::to_string(i);
        a.nickname = "账号" + std::to_string(i) + (i % 3 == 0 ? "🐻" : "");
        a.signature = "长跑测试\n第二行";
        a.followerCount = 1000 + i;
        for (int k = 0; k < 2; ++k) {
            Post p = makePost();
            p.videoBytes = "old";  // never downloaded: only posts that appear later are
            a.posts.insert(a.posts.begin(), p);
            ledger.line("existing\t" + std::to_string(i) + "\t" + p.awemeId + "\t3\t" + sha256Hex(p.videoBytes));
        }
        sim.addAccount(a);
        accountLinks += sim.accountShareLink(a.secUid) + "\r\n";
    }
    for (int i = 0; i < rooms; ++i) {
        Room r;
        r.roomId = roomIdOf(i);
        r.ownerId = std::to_string(90281000000ull + static_cast<unsigned long long>(i));
        r.ownerNickname = "主播" + std::to_string(i) + (i % 2 == 0 ? "🍊" : "");
        r.ownerSecUid = "MS4wLjABAAAAroom" + std::to_string(i);
        sim.addRoom(r);
        roomLinks += sim.roomShareLink(r.roomId) + "\r\n";
    }

    std::filesystem::create_directories(dataDir);
    const std::string env = "export VIGILO_ACCOUNT_ENDPOINT=" + sim.baseUrl() +
                            "\nexport VIGILO_LIVE_ENDPOINT=" + sim.baseUrl() +
                            "\nexport VIGILO_NOTICE_URL=" + sim.noticeUrl() + "\n";
    // The links are ASCII, which GBK holds unchanged.
    if (!writeFile(std::filesystem::path(dataDir) / "文件1.txt", accountLinks) ||
        !writeFile(std::filesystem::path(dataDir) / "文件2.txt", roomLinks) || !writeFile(envFile, env)) {
        std::fprintf(stderr, "vigilo-soak-sim: cannot write into %s\n", dataDir.c_str());
        return 1;
    }

    // On air: oldest first. Off air: the rooms waiting for their turn.
    std::deque<int> onAir, offAir;
    std::map<int, std::string> streamOf;
    auto goLive = [&](int i) {
        streamOf[i] = sim.goLiveWithStream(roomIdOf(i)).name;
        onAir.push_back(i);
        event("live " + roomIdOf(i));
        ledger.line("live\t" + std::to_string(i) + "\t" + roomIdOf(i));
    };
    for (int i = 0; i < rooms; ++i) {
        if (i < live)
            goLive(i);
        else
            offAir.push_back(i);
    }
    const bool faulty = faultShare > 0;
    // The first whole profile answer about each account: before it the program cannot tell a
    // new post from the ones the account already had. The observer and the fault's choice run
    // on the request's own thread, one after the other.
    std::map<std::string, int> accountOf;
    for (int i = 0; i < accounts; ++i) accountOf[secUidOf(i)] = i;
    std::mutex answeredMutex;
    std::map<std::thread::id, std::string> profileAsked;  // the request each thread serves
    std::set<int> answered;
    sim.setRequestObserver([&](const vigilo::sim::RequestRecord& r) {
        const auto it = r.params.find("sec_uid");
        std::lock_guard<std::mutex> lock(answeredMutex);
        profileAsked[std::this_thread::get_id()] =
            r.endpoint == vigilo::sim::kProfile && it != r.params.end() ? it->second : std::string();
    });
    sim.setFaultChooser([&, faulty](const std::string& endpoint) {
        const Fault fault = faulty ? randomFaults.choose(endpoint) : Fault::None;
        std::lock_guard<std::mutex> lock(answeredMutex);
        const auto node = profileAsked.extract(std::this_thread::get_id());
        if (endpoint != vigilo::sim::kProfile || fault != Fault::None || node.empty()) return fault;
        const auto it = accountOf.find(node.mapped());
        if (it != accountOf.end() && answered.insert(it->second).second)
            ledger.line("answered\t" + std::to_string(it->second));
        return fault;
    });
    event("ready " + sim.baseUrl());

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    double nextPostAt = postEvery, nextRotateAt = rotateEvery;
    // The scheduled faults: the video server's outages, a stalled stream, a refused moment.
    double nextOutageAt = outageEvery / 2, outageEndsAt = -1;
    // Throttling falls between the outages, so the two are seen apart as well as together.
    double nextThrottleAt = throttleEvery / 3, throttleEndsAt = -1;
    double nextStallAt = stallEvery, refusingUntil = -1, nextRefuseCheck = 1;
    std::map<int, double> stalledUntil;  // room -> when its stream comes back
    int outages = 0;
    auto faultsOn = [&](double now) { return faulty && (faultsFor < 0 || now < faultsFor); };
    auto endFaults = [&] {
        randomFaults.stop();
        if (outageEndsAt >= 0) {
            sim.setFault(vigilo::sim::kVideo, Fault::None);
            sim.setVideoRate(0);
            event("outage-end");
            ledger.line("outage-end");
            outageEndsAt = -1;
        }
        if (refusingUntil >= 0) {
            sim.setRefusing(false);
            refusingUntil = -1;
        }
        if (throttleEndsAt >= 0) {
            sim.setRequestLimit(0);
            event("throttle-end");
            ledger.line("throttle-end");
            throttleEndsAt = -1;
        }
        for (const auto& [room, until] : stalledUntil) {
            if (streamOf.count(room)) sim.stallStream(streamOf[room], false);
            ledger.line("stall-end\t" + std::to_string(room));
        }
        stalledUntil.clear();
    };
    bool faultsEnded = !faulty;
    for (;;) {
        const timespec wait{0, 200 * 1000 * 1000};
        const int sig = sigtimedwait(&signals, nullptr, &wait);
        if (sig == SIGINT || sig == SIGTERM) break;
        const double now = seconds();
        while (now >= nextPostAt) {
            nextPostAt += postEvery;
            const int who = static_cast<int>(random() % static_cast<unsigned>(accounts));
            const Post p = makePost();
            sim.addPost(secUidOf(who), p);
            event("post " + std::to_string(who) + " " + p.awemeId);
            ledger.line("post\t" + std::to_string(who) + "\t" + p.awemeId + "\t" + std::to_string(p.videoBytes.size()) +
                        "\t" + sha256Hex(p.videoBytes));
        }
        while (now >= nextRotateAt) {
            nextRotateAt += rotateEvery;
            if (onAir.empty() || offAir.empty()) continue;
            const int ending = onAir.front();
            onAir.pop_front();
            sim.endShow(roomIdOf(ending));
            offAir.push_back(ending);
            streamOf.erase(ending);
            stalledUntil.erase(ending);
            event("ended " + roomIdOf(ending));
            ledger.line("ended\t" + std::to_string(ending) + "\t" + roomIdOf(ending));
            const int starting = offAir.front();
            offAir.pop_front();
            goLive(starting);
        }
        if (!faultsEnded && !faultsOn(now)) {
            endFaults();
            faultsEnded = true;
            event("faults-end");
            ledger.line("faults-end");
        }
        if (faultsEnded) continue;
        if (outageEndsAt >= 0 && now >= outageEndsAt) {
            // Requests held by a stalled outage are answered as the server comes back.
            sim.setFault(vigilo::sim::kVideo, Fault::None);
            sim.setVideoRate(0);
            outageEndsAt = -1;
            event("outage-end");
            ledger.line("outage-end");
        }
        if (throttleEndsAt >= 0 && now >= throttleEndsAt) {
            sim.setRequestLimit(0);
            throttleEndsAt = -1;
            event("throttle-end");
            ledger.line("throttle-end");
        }
        if (now >= nextThrottleAt) {
            nextThrottleAt += throttleEvery;
            sim.setRequestLimit(throttleLimit);
            throttleEndsAt = now + throttleLength;
            event("throttle " + std::to_string(throttleLimit) + "/min");
            ledger.line("throttle\t" + std::to_string(throttleLimit));
        }
        if (now >= nextOutageAt) {
            nextOutageAt += outageEvery;
            // The outages take turns: failing the downloads at once, holding them, and a server
            // that sends videos slowly (so the kills land in the middle of downloads too).
            const int turn = outages++ % 3;
            const Fault kind = turn == 0 ? Fault::Http500 : Fault::Stall;
            if (turn == 2) {
                sim.setVideoRate(24 * 1024);
            } else {
                sim.setFault(vigilo::sim::kVideo, kind);
            }
            outageEndsAt = now + outageLength;
            const std::string name = turn == 2 ? "slow-video" : vigilo::sim::faultName(kind);
            event("outage " + name);
            ledger.line("outage\t" + name);
        }
        for (auto it = stalledUntil.begin(); it != stalledUntil.end();) {
            if (now < it->second) {
                ++it;
                continue;
            }
            if (streamOf.count(it->first)) sim.stallStream(streamOf[it->first], false);
            event("stall-end " + roomIdOf(it->first));
            ledger.line("stall-end\t" + std::to_string(it->first));
            it = stalledUntil.erase(it);
        }
        if (now >= nextStallAt && !onAir.empty()) {
            nextStallAt += stallEvery;
            const int room = onAir[faultRandom() % onAir.size()];
            if (!stalledUntil.count(room) && streamOf.count(room)) {
                sim.stallStream(streamOf[room], true);
                stalledUntil[room] = now + 5 + faultRandom() % 36;
                event("stall " + roomIdOf(room));
                ledger.line("stall\t" + std::to_string(room));
            }
        }
        // Refused connections: about a tenth of the share, in moments of one to three seconds.
        if (refusingUntil >= 0 && now >= refusingUntil) {
            sim.setRefusing(false);
            refusingUntil = -1;
        }
        if (now >= nextRefuseCheck) {
            nextRefuseCheck += 1;
            if (refusingUntil < 0 && std::uniform_real_distribution<double>(0, 1)(faultRandom) < faultShare / 20) {
                sim.setRefusing(true);
                refusingUntil = now + 1 + faultRandom() % 3;
                ledger.line("refusing");
            }
        }
    }
    if (!faultsEnded) endFaults();
    event("stopping");
    ledger.line("stop");
    for (const auto& [what, count] : randomFaults.played())
        ledger.line("played\t" + what + "\t" + std::to_string(count));
    sim.setFaultChooser(nullptr);
    sim.setRequestObserver(nullptr);
    sim.stop();
    return 0;
}
