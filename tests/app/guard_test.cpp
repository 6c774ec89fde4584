// The single-instance mark across real processes: this test program starts copies of itself
// that run only the guard (selected by VIGILO_GUARD_HELPER) and report through their exit code.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/guard.h"
#include "app/paths.h"
#include "support/environment.h"
#include "support/testdir.h"
#include "text/charset.h"
#include "text/md5.h"

extern char** environ;

namespace vigilo {
namespace {

constexpr int kRefused = 0, kAcquired = 10, kWrongMessage = 11;

// Runs before any test when the program was started as a guard helper.
class GuardHelper : public ::testing::Environment {
public:
    void SetUp() override {
        const char* mode = std::getenv("VIGILO_GUARD_HELPER");
        if (mode == nullptr) return;
        RecordingUserInterface ui;
        // "default" asks as a caller that gives no message; the others as start-up does.
        const std::string modeText = mode;
        const bool first =
            modeText == "default" ? guardSingleInstance(ui) : guardSingleInstance(ui, "", "软件已启动！");
        if (std::string(mode) == "hold" && first) {
            (void)!::write(STDOUT_FILENO, "held\n", 5);
            for (;;) ::pause();
        }
        if (first) std::_Exit(kAcquired);
        const auto messages = ui.messages();
        const std::string expected = modeText == "default" ? "对不起,该进程已打开!" : "软件已启动！";
        const bool right = messages.size() == 1 && messages[0].text == expected && messages[0].caption == "友情提醒:" &&
                           messages[0].icon == MessageIcon::Warning;
        std::_Exit(right ? kRefused : kWrongMessage);
    }
};
[[maybe_unused]] auto* const gHelper = ::testing::AddGlobalTestEnvironment(new GuardHelper);

class Helper {
public:
    Helper(const std::string& mode, const std::string& runtimeDir, const std::string& program) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        std::vector<std::string> env = {"VIGILO_GUARD_HELPER=" + mode, "XDG_RUNTIME_DIR=" + runtimeDir};
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            if (entry.rfind("VIGILO_GUARD_HELPER=", 0) != 0 && entry.rfind("XDG_RUNTIME_DIR=", 0) != 0) {
                env.push_back(entry);
            }
        }
        std::vector<char*> envp;
        for (auto& entry : env) envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::string arg0 = program;
        // Environments are set up only when some test is selected: pick a cheap one.
        std::string filter = "--gtest_filter=SingleInstance.NameIsTheMd5OfTheSeedInGbk";
        char* argv[] = {arg0.data(), filter.data(), nullptr};
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~Helper() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }
    // Waits for the "held" line of a holding helper (after the test framework's own lines).
    bool waitHeld() {
        std::string seen;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (seen.find("held\n") == std::string::npos) {
            pollfd p{out_, POLLIN, 0};
            if (std::chrono::steady_clock::now() > end || ::poll(&p, 1, 1000) < 0) return false;
            if (p.revents == 0) continue;
            char buffer[512];
            const ssize_t n = ::read(out_, buffer, sizeof buffer);
            if (n <= 0) return false;
            seen.append(buffer, static_cast<size_t>(n));
        }
        return true;
    }
    // Exit code, or -1 when it did not exit normally within the bound.
    int exitCode() {
        for (int i = 0; i < 3000; ++i) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    void killHard() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    bool started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

TEST(SingleInstance, NameIsTheMd5OfTheSeedInGbk) {
    const std::string name = instanceName();
    EXPECT_EQ(name, md5Hex(utf8ToGbk("你懒得输入，我就写死，略略")));
    EXPECT_EQ(utf8ToGbk("你懒得输入，我就写死，略略").size(), 26u);
    ASSERT_EQ(name.size(), 32u);
    EXPECT_EQ(name.find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(SingleInstance, SecondProcessIsRefusedUntilTheFirstIsKilled) {
    testing::TempDir runtime;
    const std::string self = executablePath().string();
    Helper first("hold", runtime.path().string(), self);
    ASSERT_TRUE(first.started());
    ASSERT_TRUE(first.waitHeld());
    EXPECT_TRUE(std::filesystem::exists(runtime.path() / instanceName()));

    // A copy under another file name is refused too: the mark depends on the seed only.
    const std::filesystem::path renamed = runtime.path() / "another-name";
    std::filesystem::copy_file(self, renamed);
    for (const std::string& program : {self, renamed.string()}) {
        Helper second("try", runtime.path().string(), program);
        EXPECT_EQ(second.exitCode(), kRefused) << program;
    }
    // Without a message of its own the guard says "对不起,该进程已打开!".
    Helper plain("default", runtime.path().string(), self);
    EXPECT_EQ(plain.exitCode(), kRefused);

    first.killHard();
    Helper after("try", runtime.path().string(), self);
    EXPECT_EQ(after.exitCode(), kAcquired);
}

TEST(SingleInstance, ThisProcessKeepsItsMarkUntilReleased) {
    testing::TempDir runtime;
    RecordingUserInterface ui;
    const std::string name = "vigilo-test-mark-" + std::to_string(::getpid());
    const testing::ScopedEnv marker("XDG_RUNTIME_DIR", runtime.path().string());
    EXPECT_TRUE(guardSingleInstance(ui, name));
    EXPECT_TRUE(guardSingleInstance(ui, name));  // asking again in the same process
    releaseSingleInstance(name);
    EXPECT_TRUE(guardSingleInstance(ui, name));
    releaseSingleInstance(name);
    // Taken back quietly after a release, and again while held.
    EXPECT_TRUE(holdSingleInstance(name));
    EXPECT_TRUE(holdSingleInstance(name));
    releaseSingleInstance(name);
    EXPECT_TRUE(guardSingleInstance(ui, "../escape"));  // no marker outside the directory
    EXPECT_FALSE(std::filesystem::exists(runtime.path().parent_path() / "escape"));
    EXPECT_TRUE(ui.messages().empty());
}

}  // namespace
}  // namespace vigilo
