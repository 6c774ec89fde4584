#pragma once
// Small helpers of the live tests: a scratch directory, file bytes, waiting for a condition.
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

namespace vigilo::livetest {

namespace fs = std::filesystem;

class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "vigilo-live-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

inline std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

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
