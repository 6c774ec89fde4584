// One run's start and end, as both front ends go through it: what reaches the log file and the
// front end, and a second copy turned away before it touches anything.
#include "control/programrun.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/guard.h"
#include "support/environment.h"
#include "support/testdir.h"

namespace vigilo {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

// A run's surroundings of its own: data directory, single-instance marker, no receivers but a
// webhook nobody is sent to, and the working directory back as it was.
struct RunPlace {
    TempDir data, runtime;
    ScopedEnv home{"VIGILO_HOME", data.path().string()};
    ScopedEnv marker{"XDG_RUNTIME_DIR", runtime.path().string()};
    ScopedEnv notify{"VIGILO_NOTIFY_URL", std::nullopt};
    ScopedEnv command{"VIGILO_ON_EVENT", std::nullopt};
    ScopedEnv webhook{"VIGILO_WEBHOOK_URL", "http://127.0.0.1:9/hook"};
    std::filesystem::path cwd = std::filesystem::current_path();
    RunPlace() { releaseSingleInstance(""); }
    ~RunPlace() {
        releaseSingleInstance("");
        std::filesystem::current_path(cwd);
    }
    std::string logText() const { return testing::readBytes(data.path() / "vigilo.log"); }
};

struct Heard {
    std::vector<std::string> said, notes;
    bool observed = false;
    std::size_t saidWhenObserved = 99;
};

FrontEnd frontEndFor(const std::string& mode, Heard& heard) {
    FrontEnd frontEnd;
    frontEnd.mode = mode;
    frontEnd.say = [&heard](const std::string& line) { heard.said.push_back(line); };
    frontEnd.note = [&heard](const std::string& text) { heard.notes.push_back(text); };
    frontEnd.observe = [&heard](AppContext&) {
        heard.observed = true;
        heard.saidWhenObserved = heard.said.size();
    };
    return frontEnd;
}

TEST(ProgramRun, StartAndExitLinesReachTheLogFileAndTheFrontEnd) {
    struct Case {
        std::string mode;
        std::string startsWith;
    };
    const Case cases[] = {{"window", "vigilo 1.0.0.0 starting (window, pid "}, {"", "vigilo 1.0.0.0 starting (pid "}};
    for (const auto& c : cases) {
        RunPlace place;
        RecordingUserInterface ui;
        Heard heard;
        auto run = ProgramRun::open(ui, frontEndFor(c.mode, heard));
        ASSERT_NE(run, nullptr) << c.mode;
        // The front end watches from before the first line.
        EXPECT_TRUE(heard.observed);
        EXPECT_EQ(heard.saidWhenObserved, 0u);
        ASSERT_EQ(heard.said.size(), 1u);
        const std::string start = heard.said[0];
        EXPECT_EQ(start.rfind(c.startsWith, 0), 0u) << start;
        EXPECT_NE(start.find("): data directory " + place.data.path().string()), std::string::npos) << start;
        EXPECT_EQ(run->receivers(), "webhook");
        EXPECT_EQ(heard.notes, std::vector<std::string>{"events go to: webhook"});
        EXPECT_EQ(run->context().paths.dataDir, place.data.path());
        EXPECT_EQ(std::filesystem::current_path(), run->context().paths.programDir);
        EXPECT_FALSE(run->context().started);  // start-up is the front end's to begin

        run->close();
        run->close();  // a second close does nothing
        run->sayExit("window closed", 0);
        run.reset();
        const std::string log = place.logText();
        EXPECT_NE(log.find(start), std::string::npos) << log;
        EXPECT_NE(log.find("vigilo exiting: window closed, exit status 0"), std::string::npos) << log;
        EXPECT_EQ(heard.said.back(), "vigilo exiting: window closed, exit status 0");
        EXPECT_TRUE(ui.messages().empty());
    }
}

// Without a note of the front end's own, its remarks go to the log file.
TEST(ProgramRun, RemarksGoToTheLogFileWhenTheFrontEndHasNoWordsForThem) {
    RunPlace place;
    RecordingUserInterface ui;
    auto run = ProgramRun::open(ui, FrontEnd{});
    ASSERT_NE(run, nullptr);
    run.reset();
    EXPECT_NE(place.logText().find("events go to: webhook"), std::string::npos) << place.logText();
}

TEST(ProgramRun, ASecondCopyIsTurnedAwayBeforeItTouchesTheDataDirectory) {
    RunPlace place;
    // Another process's lock, as far as the guard can tell: a lock of another open file.
    const auto markerPath = place.runtime.path() / instanceName();
    const int other = ::open(markerPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);

    RecordingUserInterface ui;
    Heard heard;
    EXPECT_EQ(ProgramRun::open(ui, frontEndFor("window", heard)), nullptr);
    ::close(other);
    ASSERT_EQ(ui.messages().size(), 1u);
    EXPECT_EQ(ui.messages()[0].text, "软件已启动！");
    EXPECT_FALSE(heard.observed);
    EXPECT_TRUE(heard.said.empty());
    EXPECT_FALSE(std::filesystem::exists(place.data.path() / "vigilo.log"));
}

// Start-up on a thread of the context's group: its result reaches the caller's function.
TEST(ProgramRun, StartUpRunsOnTheGroupAndHandsItsResultOver) {
    RunPlace place;
    RecordingUserInterface ui;
    auto run = ProgramRun::open(ui, FrontEnd{});
    ASSERT_NE(run, nullptr);
    testing::writeBytes(place.data.path() / "文件1.txt", "https://v.douyin.com/a/\r\n");
    std::mutex mutex;
    std::condition_variable done;
    std::optional<StartupResult> result;
    ASSERT_TRUE(startUpInBackground(run->context(), "", [&](const StartupResult& r) {
        std::lock_guard lock(mutex);
        result = r;
        done.notify_all();
    }));
    std::unique_lock lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(30), [&] { return result.has_value(); }));
    EXPECT_EQ(result->ending, StartupEnding::Normal);
    EXPECT_EQ(result->linkBox1, "https://v.douyin.com/a/\r\n");
    EXPECT_TRUE(run->context().started);
}

}  // namespace
}  // namespace vigilo
