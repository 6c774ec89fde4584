#pragma once
// A stand-in for the places Vigilo pushes events to (an ntfy-style topic, a JSON webhook): an
// HTTP server on loopback that keeps every request it got. It can also misbehave: answer
// with an error status, hold a request without answering, or refuse connections.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sim/http_server.h"

namespace vigilo::sim {

class PushReceiver {
public:
    enum class Mode { Accept, Stall, Refuse };

    PushReceiver() = default;
    ~PushReceiver();
    PushReceiver(const PushReceiver&) = delete;
    PushReceiver& operator=(const PushReceiver&) = delete;

    bool start(int port = 0);
    void stop();
    // Where to push: http://127.0.0.1:PORT/<path>.
    std::string url(const std::string& path = "/vigilo") const;

    void setMode(Mode mode);
    // Accepting, the status of every answer (200 unless set).
    void setStatus(int status);
    // Called with each request as it arrives, on the connection's thread; set before start.
    void setObserver(std::function<void(const HttpRequest&)> observer) { observer_ = std::move(observer); }

    // Requests that arrived whole (a stalled one counts once it arrived), in order.
    std::vector<HttpRequest> requests() const;
    std::size_t count() const;
    // Requests being held by the stall.
    std::size_t stalled() const;
    // Waits until at least n requests arrived; false when the bound passed first.
    bool waitFor(std::size_t n, std::chrono::milliseconds bound) const;
    bool waitStalled(std::size_t n, std::chrono::milliseconds bound) const;

private:
    void handle(const HttpRequest& request, Connection& connection);

    std::function<void(const HttpRequest&)> observer_;
    HttpServer server_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<HttpRequest> requests_;
    Mode mode_ = Mode::Accept;
    int status_ = 200;
    std::size_t stalled_ = 0;
};

}  // namespace vigilo::sim
