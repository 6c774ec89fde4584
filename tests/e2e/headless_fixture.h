#pragma once
// A run of the real program in headless mode against an in-process simulated service, in a
// fresh directory per test: data directory, runtime directory for the single-instance mark.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "child.h"
#include "sim/simulator.h"
#include "support/testdir.h"

namespace vigilo::e2e {

namespace fs = std::filesystem;

inline const std::string kBinary = std::string(VIGILO_TEST_BINARY_DIR) + "/src/vigilo";

using testing::readBytes;
using testing::writeBytes;

// A room on air for a minute already, its owner and ids derived from the room id's last digits.
inline sim::Room testRoom(const std::string& roomId, const std::string& owner) {
    sim::Room r;
    r.roomId = roomId;
    r.ownerId = "5500" + roomId.substr(roomId.size() - 2);
    r.ownerNickname = owner;
    r.ownerSecUid = "MS4wLjABAAAAroomOwner" + roomId.substr(roomId.size() - 2);
    r.createTime = static_cast<std::int64_t>(std::time(nullptr)) - 60;
    return r;
}

class HeadlessFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.empty());
        home_ = dir_ / "home";
        fs::create_directories(home_);
        fs::create_directories(dir_ / "run");
        ASSERT_TRUE(fs::exists(kBinary)) << kBinary << " is not built";
        ASSERT_TRUE(sim_.start());
    }

    void TearDown() override { sim_.stop(); }

    std::vector<std::string> env(const std::map<std::string, std::string>& extra = {}) {
        std::map<std::string, std::string> vars = {
            {"VIGILO_HOME", home_.string()},          {"VIGILO_ACCOUNT_ENDPOINT", sim_.baseUrl()},
            {"VIGILO_LIVE_ENDPOINT", sim_.baseUrl()}, {"VIGILO_NOTICE_URL", sim_.noticeUrl()},
            {"VIGILO_PACING_SCALE", "0.05"},          {"XDG_RUNTIME_DIR", (dir_ / "run").string()},
        };
        for (const auto& [k, v] : extra) vars[k] = v;
        return childEnvironment(vars);
    }

    std::vector<std::string> args(std::vector<std::string> rest) {
        rest.insert(rest.begin(), {kBinary, "--headless"});
        return rest;
    }

    testing::TempDir tmp_;
    fs::path dir_ = tmp_.path(), home_;
    sim::Simulator sim_;
};

}  // namespace vigilo::e2e
