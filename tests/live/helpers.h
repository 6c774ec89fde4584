#pragma once
// Small helpers of the live tests: scripts standing in for ffmpeg, waiting for a condition.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "live/recorder.h"
#include "support/testdir.h"

namespace vigilo::livetest {

namespace fs = std::filesystem;

using testing::readBytes;
using testing::TempDir;
using testing::writeBytes;

inline void writeScript(const fs::path& path, const std::string& body) {
    writeBytes(path, "#!/bin/sh\n" + body);
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
}

// Polls the condition every 50 ms until it holds or the bound passes.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds bound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

inline bool processAlive(pid_t pid) {
    if (pid <= 0) return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const std::vector<std::string_view> fields = statFieldsAfterName(line);
    return !fields.empty() && fields[0] != "Z";
}

}  // namespace vigilo::livetest
