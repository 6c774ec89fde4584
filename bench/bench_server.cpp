// vigilo-bench-server: the simulated service with many accounts, for the scale benchmarks.
//   vigilo-bench-server --accounts N [--tls DIR]
// Prints "base <url>" and "ready" once it serves, then takes commands on standard input, one
// per line: "lower" takes every account's post count down by one (so every poll of the next
// cycle sees a change, fetches the post list and downloads nothing), "links K" prints the
// share links of the first K accounts and "end", "cpu" prints its own CPU seconds, "quit" ends.
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "accounts.h"
#include "sim/simulator.h"
#include "sim/tls_cert.h"

namespace {

constexpr std::int64_t kFirstCount = 1000000;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    int accounts = 100;
    std::string tlsDir;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--accounts" && i + 1 < argc) {
            accounts = std::atoi(argv[++i]);
        } else if (arg == "--tls" && i + 1 < argc) {
            tlsDir = argv[++i];
        } else {
            std::fprintf(stderr, "usage: vigilo-bench-server --accounts N [--tls DIR]\n");
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);

    std::string cert, key;
    if (!tlsDir.empty()) {
        cert = tlsDir + "/cert.pem";
        key = tlsDir + "/key.pem";
        if (!vigilo::sim::writeSelfSignedCertificate(cert, key)) {
            std::fprintf(stderr, "vigilo-bench-server: cannot write a certificate into %s\n", tlsDir.c_str());
            return 1;
        }
    }

    vigilo::sim::Simulator sim;
    sim.setRequestLogLimit(64);
    std::vector<std::string> secUids;
    secUids.reserve(static_cast<size_t>(accounts));
    for (int i = 0; i < accounts; ++i) {
        vigilo::sim::Account account = vigilo::bench::makeAccount(i);
        account.awemeCountOverride = kFirstCount;
        secUids.push_back(account.secUid);
        sim.addAccount(account);
    }
    if (!sim.start(0, cert, key)) {
        std::fprintf(stderr, "vigilo-bench-server: cannot listen\n");
        return 1;
    }
    std::printf("base %s\nready\n", sim.baseUrl().c_str());
    std::fflush(stdout);

    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "lower") {
            for (const auto& secUid : secUids)
                sim.editAccount(secUid, [](vigilo::sim::Account& a) { a.awemeCountOverride -= 1; });
            std::printf("lowered\n");
        } else if (line.rfind("links ", 0) == 0) {
            const int count = std::atoi(line.c_str() + 6);
            for (int i = 0; i < count && i < accounts; ++i)
                std::printf("%s\n", sim.accountShareLink(secUids[i]).c_str());
            std::printf("end\n");
        } else if (line == "cpu") {
            std::printf("cpu %.6f\n", cpuSeconds());
        } else if (line == "quit") {
            break;
        }
        std::fflush(stdout);
    }
    sim.stop();
    return 0;
}
