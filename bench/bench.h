#pragma once
// The parts of vigilo-bench, one per benchmark, and the bare libcurl exchange the baselines use.
#include <curl/curl.h>

#include <string>
#include <vector>

namespace vigilo::bench {

int runJsonBench(const std::vector<std::string>& args);
int runWorksBench(const std::vector<std::string>& args);
int runRecordingBench(const std::vector<std::string>& args);
int runStartupBench(const std::vector<std::string>& args);
int runRecordingsBench(const std::vector<std::string>& args);
int runLiveStreamsServer(const std::vector<std::string>& args);
int runCloseBench(const std::vector<std::string>& args);
int runDownloadBench(const std::vector<std::string>& args);
// Serves the web page over tables of thousands of rows for bench/web_bench.py.
int runWebServeBench(const std::vector<std::string>& args);
int runPolitenessBench(const std::vector<std::string>& args);

// One GET on a handle the caller keeps (so its connection is reused, as any plain client
// would); the body, or "" on failure.
std::string bareGet(CURL* handle, const std::string& url, curl_slist* headers);

// The first value of "--name value" in args, or the fallback.
std::string option(const std::vector<std::string>& args, const std::string& name, const std::string& fallback);
bool flag(const std::vector<std::string>& args, const std::string& name);

}  // namespace vigilo::bench
