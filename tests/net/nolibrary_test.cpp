// Without a usable libcurl the clients fail like any other failed exchange, and the native
// client names it with its first number. The library is only loaded once per process, so a copy
// of this test program runs the clients (selected by VIGILO_NO_CURL_HELPER) with a library path
// that offers a "libcurl.so.4" holding none of curl's entry points.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "net/download.h"
#include "net/http.h"
#include "support/testdir.h"

extern char** environ;

namespace vigilo {
namespace {

constexpr int kAsExpected = 0, kWrong = 20;

class NoCurlHelper : public ::testing::Environment {
public:
    void SetUp() override {
        const char* folder = std::getenv("VIGILO_NO_CURL_HELPER");
        if (folder == nullptr) return;
        HttpRequestOptions options;
        options.url = "http://127.0.0.1:9/";
        options.cookies = "a=1";
        const HttpResult native = NativeHttpClient::send(options);
        const HttpResult scriptable = ScriptableHttpClient::send(options);
        const DownloadResult update = downloadFile(options.url, std::string(folder) + "/update", nullptr);
        const bool right = native.statusText == "700 当前系统不支持WinHttp服务!" && native.body.empty() &&
                           native.text.empty() && !scriptable.transportOk() && scriptable.body.empty() &&
                           scriptable.receivedCookies == "a=1" && update.code == -1 &&
                           !std::filesystem::exists(std::string(folder) + "/update");
        if (!right) (void)!::write(STDOUT_FILENO, native.statusText.data(), native.statusText.size());
        std::_Exit(right ? kAsExpected : kWrong);
    }
};
[[maybe_unused]] auto* const gHelper = ::testing::AddGlobalTestEnvironment(new NoCurlHelper);

int runHelper(const std::string& folder) {
    std::vector<std::string> env = {"VIGILO_NO_CURL_HELPER=" + folder, "LD_LIBRARY_PATH=" + folder};
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.rfind("VIGILO_NO_CURL_HELPER=", 0) != 0 && entry.rfind("LD_LIBRARY_PATH=", 0) != 0)
            env.push_back(entry);
    }
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=NoLibrary.NothingToRun";
    char* argv[] = {self.data(), filter.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(NoLibrary, NothingToRun) {}

TEST(NoLibrary, ClientsFailAndTheNativeOneSays700) {
    testing::TempDir folder;
    // Any shared object that is not curl: it loads, but has none of curl's entry points.
    std::error_code ec;
    const auto stand = std::filesystem::canonical("/lib/x86_64-linux-gnu/libz.so.1", ec);
    if (ec) GTEST_SKIP() << "no libz to stand in for libcurl";
    std::filesystem::copy_file(stand, folder.path() / "libcurl.so.4");
    EXPECT_EQ(runHelper(folder.path().string()), kAsExpected);
}

}  // namespace
}  // namespace vigilo
