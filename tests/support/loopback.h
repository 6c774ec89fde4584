#pragma once
// The one HTTP server on loopback for tests: fixed answers per path (a status, a body sent whole,
// in slow pieces or without a length, a redirect), handlers of the test's own for the rest,
// every request recorded, and handlers that stall until the test ends.
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vigilo::testing {

struct Received {
    std::string method;
    std::string path;
    std::string target;  // the path with its query
    std::string body;
    std::vector<std::string> headers;  // "Name: value" as received, sorted
};

// Header lines in the order Received keeps them.
inline std::vector<std::string> sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

class LoopbackServer {
public:
    // A fixed answer. Paths without one get a 404.
    struct Route {
        int status = 200;
        std::string body;
        std::string location;  // a Location header, for a redirect
        std::string contentType = "text/plain; charset=utf-8";
        bool announceLength = true;  // false: chunked, no Content-Length
        size_t pieceBytes = 0;       // > 0: the body goes out in pieces of this size...
        int pieceDelayMs = 0;        // ...this far apart
    };

    // Not listening yet: handlers (on) are added first, then start(). A server of another kind
    // (httplib::SSLServer) can be handed in.
    explicit LoopbackServer(std::unique_ptr<httplib::Server> server = std::make_unique<httplib::Server>())
        : server_(std::move(server)) {
        // No idle connection keeps stop() waiting.
        server_->set_keep_alive_timeout(1);
        server_->set_keep_alive_max_count(1);
    }
    ~LoopbackServer() { stop(); }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // A server that answers only fixed routes, listening at once.
    static std::unique_ptr<LoopbackServer> started() {
        auto server = std::make_unique<LoopbackServer>();
        if (!server->start()) return nullptr;
        return server;
    }

    httplib::Server& server() { return *server_; }

    // A handler of the test's own for any method; its requests are recorded before it runs.
    // Handlers come before start(); what none of them matches goes to the fixed routes.
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
    void on(const std::string& pattern, Handler handler) {
        auto wrapped = [this, handler](const httplib::Request& req, httplib::Response& res) {
            record(req);
            handler(req, res);
        };
        server_->Get(pattern, wrapped);
        server_->Post(pattern, wrapped);
        server_->Put(pattern, wrapped);
        server_->Delete(pattern, wrapped);
        server_->Options(pattern, wrapped);
    }

    // May be set or changed at any time, also while listening.
    void route(const std::string& path, Route route) {
        std::lock_guard lock(mutex_);
        routes_[path] = std::move(route);
    }
    void route(const std::string& path, int status, std::string body, std::string location = "",
               std::string contentType = "text/plain; charset=utf-8") {
        Route r;
        r.status = status;
        r.body = std::move(body);
        r.location = std::move(location);
        r.contentType = std::move(contentType);
        route(path, std::move(r));
    }

    bool start() {
        on(".*", [this](const httplib::Request& req, httplib::Response& res) { answerFixed(req, res); });
        port_ = server_->bind_to_any_port("127.0.0.1");
        if (port_ <= 0) return false;
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        // Bound means listening; this wait is only for is_running() to say so.
        for (int i = 0; i < 2500 && !server_->is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return server_->is_running();
    }

    void stop() {
        releaseStalls();
        if (thread_.joinable()) {
            server_->stop();
            thread_.join();
        }
    }

    int port() const { return port_; }
    std::string url(const std::string& path) const {
        return std::string(scheme_) + "://127.0.0.1:" + std::to_string(port_) + path;
    }
    void setScheme(const char* scheme) { scheme_ = scheme; }

    // Blocks a handler until the test ends (bounded, so a broken test cannot hang the run).
    void stall() {
        std::unique_lock lock(mutex_);
        stallCv_.wait_for(lock, std::chrono::seconds(20), [this] { return released_; });
    }
    void releaseStalls() {
        std::lock_guard lock(mutex_);
        released_ = true;
        stallCv_.notify_all();
    }

    std::vector<Received> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    void clearRequests() {
        std::lock_guard lock(mutex_);
        requests_.clear();
    }
    Received last() const {
        std::lock_guard lock(mutex_);
        return requests_.empty() ? Received{} : requests_.back();
    }
    // Requests received for one path, whatever their query.
    int hits(const std::string& path) const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(
            std::count_if(requests_.begin(), requests_.end(), [&](const Received& r) { return r.path == path; }));
    }

private:
    void answerFixed(const httplib::Request& request, httplib::Response& response) {
        Route route;
        {
            std::lock_guard lock(mutex_);
            auto it = routes_.find(request.path);
            if (it == routes_.end()) {
                response.status = 404;
                response.set_content("<html>not found</html>", "text/html");
                return;
            }
            route = it->second;
        }
        response.status = route.status;
        if (!route.location.empty()) response.set_header("Location", route.location);
        const size_t piece = route.pieceBytes > 0 ? route.pieceBytes : std::max<size_t>(route.body.size(), 1);
        auto provide = [body = route.body, piece, delay = route.pieceDelayMs](size_t offset, httplib::DataSink& sink) {
            if (offset >= body.size()) {
                sink.done();
                return true;
            }
            // The server plays a slow peer here; nothing in a test waits on this.
            if (offset > 0 && delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            return sink.write(body.data() + offset, std::min(piece, body.size() - offset));
        };
        if (!route.announceLength) {
            response.set_chunked_content_provider(
                route.contentType, [provide](size_t offset, httplib::DataSink& sink) { return provide(offset, sink); });
        } else if (route.pieceBytes > 0) {
            response.set_content_provider(
                route.body.size(), route.contentType,
                [provide](size_t offset, size_t, httplib::DataSink& sink) { return provide(offset, sink); });
        } else {
            response.set_content(route.body, route.contentType);
        }
    }

    void record(const httplib::Request& req) {
        Received r;
        r.method = req.method;
        r.path = req.path;
        r.target = req.target;
        r.body = req.body;
        for (const auto& [name, value] : req.headers) {
            if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT") {
                continue;
            }
            r.headers.push_back(name + ": " + value);
        }
        std::sort(r.headers.begin(), r.headers.end());
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(r));
    }

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    const char* scheme_ = "http";
    mutable std::mutex mutex_;
    std::condition_variable stallCv_;
    bool released_ = false;
    std::vector<Received> requests_;
    std::map<std::string, Route> routes_;
};

}  // namespace vigilo::testing
