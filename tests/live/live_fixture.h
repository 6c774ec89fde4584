#pragma once
// A live monitor on a scratch data directory, talking to the simulated service, with quick
// pacing; and the checks the recording tests share (ffprobe, UDP packets, waiting on cells).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/context.h"
#include "helpers.h"
#include "live/monitor.h"
#include "live/runner.h"
#include "sim/simulator.h"

namespace vigilo::livetest {

using namespace std::chrono_literals;

// The rows' status words, as the table shows them.
inline constexpr const char* kLive = "正在直播";
inline constexpr const char* kOffline = "已下播|未直播";
inline constexpr const char* kWaiting = "等待录制";
inline constexpr const char* kRecording = "正在录制";
inline constexpr const char* kWatching = "监控中|等待录制";
inline constexpr const char* kStopped = "已停止录制";
inline constexpr const char* kNotifyOnly = "仅提醒";

// The duration ffprobe reports for a media file; 0 when it reports none.
// A size cell that tells of bytes recorded.
inline bool showsProgress(const std::string& sizeCell) {
    return sizeCell.size() > 2 && sizeCell.compare(sizeCell.size() - 2, 2, "MB") == 0 && sizeCell != "0MB";
}

inline double probeDuration(const fs::path& file) {
    const RunResult result =
        runProgram({"ffprobe",
                    {"-v", "error", "-show_entries", "format=duration", "-of", "default=nw=1:nk=1", file.string()},
                    {},
                    true});
    return std::atof(result.collectedOutput.c_str());
}

inline std::uintmax_t fileSize(const fs::path& file) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    return ec ? 0 : size;
}

// Receives datagrams on the loopback port until `wanted` bytes came or the bound passed.
inline std::string receiveDatagrams(int port, std::size_t wanted, std::chrono::milliseconds bound) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string bytes;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const auto until = std::chrono::steady_clock::now() + bound;
        timeval timeout{0, 200000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        char buffer[65536];
        while (bytes.size() < wanted && std::chrono::steady_clock::now() < until) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) bytes.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return bytes;
}

// Whether the bytes are an MPEG transport stream: a sync byte every 188 bytes throughout.
inline bool looksLikeTransportStream(const std::string& bytes) {
    if (bytes.size() < 188 * 8) return false;
    for (std::size_t start = 0; start < 188; ++start) {
        bool aligned = true;
        for (std::size_t at = start; at < bytes.size() && aligned; at += 188) aligned = bytes[at] == 0x47;
        if (aligned) return true;
    }
    return false;
}

// The events the monitor publishes, kept for the test to read.
class EventLog {
public:
    explicit EventLog(EventBus& bus) : bus_(bus) {
        id_ = bus_.subscribe([this](const Event& e) {
            std::lock_guard lock(mutex_);
            events_.push_back(e);
        });
    }
    ~EventLog() { bus_.unsubscribe(id_); }
    std::vector<Event> of(EventType type) const {
        std::lock_guard lock(mutex_);
        std::vector<Event> out;
        for (const Event& e : events_)
            if (e.type == type) out.push_back(e);
        return out;
    }

private:
    EventBus& bus_;
    int id_ = 0;
    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

inline sim::Room makeRoom(const std::string& roomId, const std::string& nickname) {
    sim::Room room;
    room.roomId = roomId;
    room.ownerId = "9" + roomId.substr(0, 10);
    room.ownerNickname = nickname;
    room.ownerSecUid = "MS4wLjABAAAA" + roomId;
    return room;
}

class LiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim::Simulator::ffmpegAvailable()) << "the recording tests need ffmpeg";
        ASSERT_TRUE(sim.start());
        Endpoints endpoints;
        endpoints.account = sim.baseUrl();
        endpoints.live = sim.baseUrl();
        // Passes every 300 ms, a recorder's room polled again 30 ms after it ended.
        ctx = std::make_unique<AppContext>(Paths::forDirectory(dir.path()), Pacing{}.scaled(0.001), endpoints, ui);
        live = std::make_unique<LiveMonitor>(*ctx);
    }

    void TearDown() override {
        if (live) live->stopRecording();
        live.reset();
        ctx.reset();
        sim.stop();
    }

    // Starts over with other pacing: a new context and monitor over the same directory.
    void usePacing(const Pacing& pacing) {
        live.reset();
        Endpoints endpoints;
        endpoints.account = endpoints.live = sim.baseUrl();
        ctx = std::make_unique<AppContext>(Paths::forDirectory(dir.path()), pacing, endpoints, ui);
        live = std::make_unique<LiveMonitor>(*ctx);
    }

    std::string cell(int row, int column) const { return ctx->roomTable.cell(row, column); }

    bool waitForCell(int row, int column, const std::string& text, std::chrono::milliseconds bound) const {
        return eventually([&] { return cell(row, column) == text; }, bound);
    }

    TempDir dir;
    sim::Simulator sim;
    RecordingUserInterface ui;
    std::unique_ptr<AppContext> ctx;
    std::unique_ptr<LiveMonitor> live;
};

}  // namespace vigilo::livetest
