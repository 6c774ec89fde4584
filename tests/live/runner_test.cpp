// The child-process runner: missing programs, output handed on, bounded memory, the quit key,
// and children that outlive the runner.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "helpers.h"
#include "live/runner.h"
#include "sys/stop.h"

namespace vigilo {
namespace {

using namespace std::chrono_literals;
using livetest::eventually;
using livetest::processAlive;
using livetest::readBytes;
using livetest::TempDir;
using livetest::writeBytes;
using livetest::writeScript;
namespace fs = std::filesystem;

TEST(Runner, MissingProgramIsReportedOnceWithoutStartingAnything) {
    for (const std::string program : {"/nonexistent/ffmpeg", "vigilo-no-such-program", ""}) {
        std::vector<std::pair<std::string, pid_t>> calls;
        RunControl control;
        const RunResult result = runProgram(
            {program, {"-version"}, {}, true},
            [&](const std::string& text, pid_t pid) { calls.emplace_back(text, pid); }, &control);
        EXPECT_FALSE(result.started);
        EXPECT_EQ(result.collectedOutput, program + " 不存在");
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].first, "");
        EXPECT_EQ(calls[0].second, 0);
        EXPECT_TRUE(control.finished());
    }
}

TEST(Runner, HandsOnFramedOutputOfBothStreamsAndTheExitStatus) {
    TempDir dir;
    writeScript(dir.path() / "talk", "pwd\necho out\necho err >&2\nprintf 'speed=1x    \\rframe=2'\nexit 3\n");
    std::string last;
    int calls = 0;
    const RunResult result =
        runProgram({(dir.path() / "talk").string(), {}, {}, true}, [&](const std::string& text, pid_t pid) {
            EXPECT_GT(pid, 0);
            last = text;
            ++calls;
        });
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_GE(calls, 1);
    // Runs in its own directory unless told otherwise.
    EXPECT_EQ(last, dir.path().string() + "\r\nout\r\nerr\r\nspeed=1x    frame=2");
    EXPECT_EQ(result.collectedOutput, last);
}

TEST(Runner, KeepsOnlyABoundedTailOfALongOutput) {
    TempDir dir;
    // About 8 MB in 100000 lines, the last one marked.
    writeScript(dir.path() / "chatty",
                "i=0\nwhile [ $i -lt 100000 ]; do echo \"frame=$i fps=25 size=${i}kB time=00:00:01.00 "
                "bitrate=1kbits/s speed=1x padding-padding\"; i=$((i+1)); done\necho last-line\n");
    std::size_t largest = 0;
    std::string last;
    const RunResult result =
        runProgram({(dir.path() / "chatty").string(), {}, {}, true}, [&](const std::string& text, pid_t) {
            largest = std::max(largest, text.size());
            last = text;
        });
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_LE(largest, 2 * kOutputTailBytes + 2048);
    EXPECT_GE(last.size(), kOutputTailBytes);
    EXPECT_EQ(last.substr(last.size() - 11), "last-line\r\n");
    EXPECT_NE(last.find("frame=99999 fps=25"), std::string::npos);
}

TEST(Runner, QuitKeyAndSignalsReachTheChildInItsOwnSession) {
    TempDir dir;
    writeScript(dir.path() / "keys", "read key\necho \"key=$key\"\nexit 0\n");
    writeScript(dir.path() / "stubborn", "trap 'echo term; exit 7' TERM\necho ready\nwhile :; do sleep 0.05; done\n");

    {
        RunControl control;
        RunResult result;
        std::thread runner([&] { result = runProgram({(dir.path() / "keys").string(), {}, {}, true}, {}, &control); });
        ASSERT_TRUE(eventually([&] { return control.started(); }, 5s));
        EXPECT_EQ(::getsid(control.processId()), control.processId());
        EXPECT_TRUE(control.sendKeys("q\n"));
        EXPECT_TRUE(control.waitFinished(5s));
        runner.join();
        EXPECT_EQ(result.collectedOutput, "key=q\r\n");
        EXPECT_FALSE(control.sendKeys("q"));  // nobody to send to any more
        EXPECT_FALSE(control.sendSignal(SIGKILL));
    }
    {
        RunControl control;
        RunResult result;
        std::atomic<bool> ready{false};
        std::thread runner([&] {
            result = runProgram(
                {(dir.path() / "stubborn").string(), {}, {}, true},
                [&](const std::string& text, pid_t) {
                    if (text.find("ready") != std::string::npos) ready = true;
                },
                &control);
        });
        ASSERT_TRUE(eventually([&] { return ready.load(); }, 5s));
        EXPECT_TRUE(control.sendSignal(SIGTERM));
        EXPECT_TRUE(control.waitFinished(5s));
        runner.join();
        EXPECT_EQ(result.exitCode, 7);
        EXPECT_NE(result.collectedOutput.find("term"), std::string::npos);
    }
    {
        RunControl control;
        control.cancel();
        const RunResult result = runProgram({(dir.path() / "keys").string(), {}, {}, true}, {}, &control);
        EXPECT_FALSE(result.started);
        EXPECT_TRUE(control.finished());
    }
}

TEST(Runner, AChildLetGoOfOutlivesItsOutputPipe) {
    TempDir dir;
    const auto marker = dir.path() / "marker";
    // Keeps writing after the runner has gone: every write then meets a pipe without reader.
    writeScript(dir.path() / "survivor",
                "i=0\nwhile [ $i -lt 30 ]; do echo tick $i; echo err $i >&2; i=$((i+1)); sleep 0.05; done\n"
                "echo finished > \"" +
                    marker.string() + "\"\n");
    RunControl control;
    RunResult result;
    std::atomic<int> calls{0};
    std::thread runner([&] {
        result = runProgram(
            {(dir.path() / "survivor").string(), {}, {}, true}, [&](const std::string&, pid_t) { ++calls; }, &control);
    });
    ASSERT_TRUE(eventually([&] { return calls.load() > 0; }, 5s));
    const pid_t pid = control.processId();
    control.abandon();
    EXPECT_TRUE(control.waitFinished(2s));
    runner.join();
    EXPECT_TRUE(result.abandoned);
    EXPECT_TRUE(processAlive(pid));

    ASSERT_TRUE(eventually([&] { return fs::exists(marker); }, 10s));
    EXPECT_EQ(readBytes(marker), "finished\n");
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
}

// A hand-over: the runner returns once the program has started, and the program runs on,
// in its own session, until it is done.
TEST(Runner, AHandOverReturnsWhileTheProgramRuns) {
    TempDir dir;
    const auto go = dir.path() / "go";
    const auto done = dir.path() / "done";
    writeScript(dir.path() / "next", "while [ ! -e \"" + go.string() +
                                         "\" ]; do sleep 0.02; done\n"
                                         "cut -d' ' -f6 /proc/$$/stat > \"" +
                                         done.string() + "\"\n");
    RunRequest request{(dir.path() / "next").string(), {}, {}, true};
    request.wait = false;
    const RunResult result = runProgram(request);
    ASSERT_TRUE(result.started);
    EXPECT_TRUE(result.abandoned);
    EXPECT_TRUE(processAlive(result.processId));  // still waiting for the go file
    EXPECT_FALSE(fs::exists(done));

    writeBytes(go, "");
    ASSERT_TRUE(eventually([&] { return readBytes(done).find('\n') != std::string::npos; }, 10s));
    EXPECT_EQ(readBytes(done), std::to_string(result.processId) + "\n");  // its own session
    int status = 0;
    ASSERT_EQ(::waitpid(result.processId, &status, 0), result.processId);
    EXPECT_TRUE(WIFEXITED(status));

    // A file that cannot be run does not start, and says why.
    writeScript(dir.path() / "broken", "");
    fs::permissions(dir.path() / "broken", fs::perms::all, fs::perm_options::remove);
    fs::permissions(dir.path() / "broken", fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
    request.program = (dir.path() / "broken").string();
    const RunResult refused = runProgram(request);
    EXPECT_FALSE(refused.started);
    EXPECT_FALSE(refused.collectedOutput.empty());
}

// The program closing asks the runner's thread to stop: the runner lets go of the child, which
// runs on to its own end in its own session, and a thread already asked to stop starts nothing.
TEST(Runner, AStopOfItsThreadLetsGoOfTheChildAndStartsNoOther) {
    TempDir dir;
    const auto marker = dir.path() / "marker";
    writeScript(dir.path() / "long", "echo started\nsleep 1\necho finished >> \"" + marker.string() + "\"\n");
    std::atomic<pid_t> pid{0};
    RunResult result;
    std::jthread runner([&](std::stop_token stop) {
        const ScopedStopToken installed(std::move(stop));
        result = runProgram({(dir.path() / "long").string(), {}, {}, true},
                            [&](const std::string&, pid_t child) { pid = child; });
    });
    ASSERT_TRUE(eventually([&] { return pid.load() > 0; }, 10s));
    runner.request_stop();
    runner.join();
    EXPECT_TRUE(result.started);
    EXPECT_TRUE(result.abandoned);

    {
        std::stop_source stopped;
        stopped.request_stop();
        const ScopedStopToken installed(stopped.get_token());
        const RunResult none = runProgram({(dir.path() / "long").string(), {}, {}, true});
        EXPECT_FALSE(none.started);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(readBytes(marker), "finished\n");  // one child only, and it ran to its end
}

}  // namespace
}  // namespace vigilo
