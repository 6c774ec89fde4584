// VIGILO_ON_EVENT: a real program gets the event's JSON on its standard input; one that hangs
// is killed at the time-out, and one that fails costs one log line.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <regex>

#include "app/events.h"
#include "notify/format.h"
#include "notify/notifiers.h"
#include "support/testdir.h"

namespace vigilo {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

fs::path script(const fs::path& dir, const std::string& name, const std::string& body) {
    const fs::path path = dir / name;
    testing::writeBytes(path, "#!/bin/sh\n" + body);
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

Event ended() {
    return Event{EventType::RecordingEnded,
                 std::chrono::system_clock::now(),
                 {{"nickname", "夜跑的阿杰"},
                  {"roomId", "7282940011122233344"},
                  {"file", "/data/download/夜跑的阿杰.mp4"},
                  {"duration", "00:05:00"},
                  {"size", "12.5MB"},
                  {"reason", "ended"}}};
}

struct Captured {
    std::mutex mutex;
    std::vector<std::string> lines;
    LogLine sink() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        };
    }
};

TEST(Command, GetsTheEventOnStandardInputPerEvent) {
    testing::TempDir dir;
    const fs::path out = dir.path() / "events.jsonl";
    EventBus bus;
    Captured log;
    NotifyConfig config;
    config.onEventCommand = script(dir.path(), "on-event", "cat >> '" + out.string() + "'\n").string();
    {
        Notifiers notifiers(bus, config, log.sink());
        bus.publish(ended());
        bus.publish(ended());
        ASSERT_TRUE(bus.flush(60s));
    }
    const std::string json = eventJson(ended());
    const std::string text = testing::readBytes(out);
    // Two whole lines, each the event's object (the times differ by the moment of making).
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    const auto doc = nlohmann::json::parse(text.substr(0, text.find('\n')));
    EXPECT_EQ(doc["type"], "recording_ended");
    EXPECT_EQ(doc["fields"]["reason"], "ended");
    EXPECT_EQ(doc["fields"]["file"], "/data/download/夜跑的阿杰.mp4");
    EXPECT_TRUE(log.lines.empty());
}

TEST(Command, HangingFailingAndMissingProgramsEachCostOneLine) {
    testing::TempDir dir;
    struct Case {
        std::string name;
        std::string program;
        std::string expected;  // in the one log line
    };
    const std::vector<Case> cases = {
        {"hangs", script(dir.path(), "hangs", "exec sleep 600\n").string(), "超过 1 秒未结束，已终止"},
        {"fails", script(dir.path(), "fails", "echo 'no route to phone' >&2\nexit 3\n").string(),
         "退出码 3：no route to phone"},
        {"missing", (dir.path() / "nowhere").string(), (dir.path() / "nowhere").string() + " 不存在"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EventBus bus;
        Captured log;
        NotifyConfig config;
        config.onEventCommand = c.program;
        config.policy.commandTimeout = 1s;
        Notifiers notifiers(bus, config, log.sink());
        bus.publish(ended());
        bus.publish(ended());
        ASSERT_TRUE(bus.flush(60s));
        std::lock_guard lock(log.mutex);
        ASSERT_EQ(log.lines.size(), 1u);
        // The log's time stamp first, like every other line of the window's log.
        static const std::regex stamped(R"(^\d{2,4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}：([\s\S]*)$)");
        std::smatch m;
        ASSERT_TRUE(std::regex_match(log.lines[0], m, stamped)) << log.lines[0];
        EXPECT_EQ(m[1].str(), "事件命令（VIGILO_ON_EVENT） 失败：" + c.expected + "（恢复之前不再记录）\r\n");
    }
}

// A process that is gone or only waits to be reaped.
bool processEnded(pid_t pid) {
    const std::string stat = testing::readBytes("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty()) return true;
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

// The time-out ends what the program started as well: a hanging hook that started a helper
// leaves nothing behind.
TEST(Command, TimeOutEndsWhatTheProgramStarted) {
    testing::TempDir dir;
    const fs::path pids = dir.path() / "pids";
    EventBus bus;
    Captured log;
    NotifyConfig config;
    config.onEventCommand = script(dir.path(), "starts-helpers",
                                   "sleep 600 &\necho $! >> '" + pids.string() + "'\n(exec sleep 700) &\necho $! >> '" +
                                       pids.string() + "'\nwait\n")
                                .string();
    config.policy.commandTimeout = 1s;
    {
        Notifiers notifiers(bus, config, log.sink());
        bus.publish(ended());
        ASSERT_TRUE(bus.flush(60s));
    }
    std::vector<pid_t> helpers;
    std::istringstream in(testing::readBytes(pids));
    for (pid_t pid = 0; in >> pid;) helpers.push_back(pid);
    ASSERT_EQ(helpers.size(), 2u);
    for (const pid_t pid : helpers) {
        SCOPED_TRACE(pid);
        // A killed helper is reaped by whoever adopted it; give that a moment.
        for (int i = 0; i < 100 && !processEnded(pid); ++i) std::this_thread::sleep_for(50ms);
        EXPECT_TRUE(processEnded(pid));
        if (!processEnded(pid)) ::kill(pid, SIGKILL);
    }
    std::lock_guard lock(log.mutex);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find("超过 1 秒未结束，已终止"), std::string::npos);
}

}  // namespace
}  // namespace vigilo
