// vigilo-bench: the client side of the benchmarks, on the program's own core code.
//   vigilo-bench json|works|recording|recordings|startup|close|download|politeness [options]
// Each prints RESULT lines (benchmark, figure, value, target, verdict) that scripts/bench
// gathers into one table; progress goes to standard error.
#include <cstdio>
#include <string>
#include <vector>

#include "bench.h"

namespace vigilo::bench {

std::string option(const std::vector<std::string>& args, const std::string& name, const std::string& fallback) {
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == name) return args[i + 1];
    return fallback;
}

bool flag(const std::vector<std::string>& args, const std::string& name) {
    for (const auto& arg : args)
        if (arg == name) return true;
    return false;
}

namespace {
size_t collect(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}
}  // namespace

std::string bareGet(CURL* handle, const std::string& url, curl_slist* headers) {
    std::string body;
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
    if (curl_easy_perform(handle) != CURLE_OK) return {};
    return body;
}

}  // namespace vigilo::bench

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const std::string which = args.empty() ? "" : args[0];
    using namespace vigilo::bench;
    if (which == "json") return runJsonBench(args);
    if (which == "works") return runWorksBench(args);
    if (which == "recording") return runRecordingBench(args);
    if (which == "startup") return runStartupBench(args);
    if (which == "recordings") return runRecordingsBench(args);
    if (which == "live-streams") return runLiveStreamsServer(args);
    if (which == "close") return runCloseBench(args);
    if (which == "download") return runDownloadBench(args);
    if (which == "web-serve") return runWebServeBench(args);
    if (which == "politeness") return runPolitenessBench(args);
    std::fprintf(
        stderr,
        "usage: vigilo-bench json|works|recording|recordings|startup|close|download|web-serve|politeness [options]\n");
    return 2;
}
