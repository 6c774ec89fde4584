// A server that sends a byte now and then never trips the stall time-out, yet must not hold an
// exchange for ever: page exchanges end at their overall limit, a video download at its
// minimum rate. Time-outs scaled a hundredfold, as in the fault matrix.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <string>
#include <thread>

#include "net/download.h"
#include "net/http.h"
#include "reliability/fixture.h"
#include "sys/unique_fd.h"

namespace vigilo::reliability {
namespace {

// Answers each connection, one at a time, with a head announcing a long body and then one
// byte every `gap` until the client leaves.
class DripServer {
public:
    // `first`: body bytes sent at once, before the drip.
    DripServer(std::chrono::milliseconds gap, std::string contentType, std::string first = "")
        : gap_(gap), type_(std::move(contentType)), first_(std::move(first)) {
        listen_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listen_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listen_.get(), 4) != 0 ||
            ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~DripServer() {
        stop_ = true;
        ::shutdown(listen_.get(), SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/drip"; }

private:
    bool wait(int fd, short events, int ms) const {
        pollfd p{fd, events, 0};
        return ::poll(&p, 1, ms) > 0 && (p.revents & events) != 0;
    }

    void run() {
        while (!stop_) {
            if (!wait(listen_.get(), POLLIN, 100)) continue;
            UniqueFd client(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!client) continue;
            std::string request;
            char buffer[4096];
            while (!stop_ && request.find("\r\n\r\n") == std::string::npos && wait(client.get(), POLLIN, 2000)) {
                const ssize_t n = ::recv(client.get(), buffer, sizeof buffer, 0);
                if (n <= 0) break;
                request.append(buffer, static_cast<std::size_t>(n));
            }
            const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: " + type_ +
                                     "\r\nContent-Length: 1000000\r\nConnection: close\r\n\r\n" + first_;
            if (::send(client.get(), head.data(), head.size(), MSG_NOSIGNAL) < 0) continue;
            // Until the client hangs up (readable with nothing to read) or the test ends.
            while (!stop_) {
                if (wait(client.get(), POLLIN, static_cast<int>(gap_.count()))) break;
                if (::send(client.get(), "x", 1, MSG_NOSIGNAL) != 1) break;
            }
        }
    }

    std::chrono::milliseconds gap_;
    std::string type_;
    std::string first_;
    UniqueFd listen_;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class ScaledTimeouts {
public:
    ScaledTimeouts() : saved_(netConfig()) {
        NetConfig quick = saved_;
        quick.timeoutScale = 0.01;
        setNetConfig(quick);
    }
    ~ScaledTimeouts() { setNetConfig(saved_); }

private:
    NetConfig saved_;
};

TEST(DripFeed, PagesEndAtTheirOverallLimitAndAVideoAtItsMinimumRate) {
    ScaledTimeouts scaled;
    // Three bytes a second: the one-second stall check never fires.
    DripServer page(300ms, "application/json");
    struct Client {
        const char* name;
        HttpResult (*send)(const HttpRequestOptions&);
    };
    const Client clients[] = {{"scriptable", &ScriptableHttpClient::send},
                              {"native", &NativeHttpClient::send},
                              {"internet", &InternetHttpClient::send}};
    for (const Client& c : clients) {
        SCOPED_TRACE(c.name);
        HttpRequestOptions options;
        options.url = page.url();
        const auto start = Clock::now();
        const HttpResult result = c.send(options);
        const long long ms = millisSince(start);
        EXPECT_FALSE(result.transportOk());
        // 300 s overall, scaled: three seconds, give or take a progress tick.
        EXPECT_GE(ms, 2500);
        EXPECT_LE(ms, 6000);
        std::printf("[drip] %s page: ended after %lld ms (%s)\n", c.name, ms, result.error.c_str());
    }

    // It begins like a video, so only its rate can end it.
    DripServer video(300ms, "video/mp4", "FLV\x01\x05xxx");
    vigilo::testing::TempDir dir;
    const auto start = Clock::now();
    const FileDownload download = plainDownloadToFile(video.url(), (dir.path() / "v.mp4").string());
    const long long ms = millisSince(start);
    EXPECT_FALSE(download.ok);
    // Under 1 KiB/s over the (scaled) 30 s stall time, which curl measures over two seconds at
    // least; without the minimum it would trickle on.
    EXPECT_LE(ms, 5000);
    EXPECT_TRUE(filesBelow(dir.path()).empty());
    EXPECT_EQ(download.error.find("MP4 or FLV"), std::string::npos) << download.error;
    std::printf("[drip] video download: ended after %lld ms (%s)\n", ms, download.error.c_str());
}

}  // namespace
}  // namespace vigilo::reliability
