#pragma once
// Helpers for the works tests: a temporary data folder, waiting with a bound, and a program
// context wired to an in-process simulated service.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/context.h"
#include "sim/simulator.h"
#include "support/testdir.h"
#include "works/monitor.h"

namespace vigilo {

using testing::TempDir;

inline std::vector<std::string> splitLinesForTest(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace vigilo
