#pragma once
// A loopback HTTP server for the client tests: handlers per test, every request recorded, and
// handlers that stall until the test ends.
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vigilo::nettest {

struct Received {
    std::string method;
    std::string target;
    std::string body;
    std::vector<std::string> headers;  // "Name: value" as received, sorted
};

class TestServer {
public:
    TestServer() : TestServer(std::make_unique<httplib::Server>()) {}
    explicit TestServer(std::unique_ptr<httplib::Server> server) : server_(std::move(server)) {
        server_->set_keep_alive_timeout(1);
    }
    ~TestServer() { stop(); }
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    httplib::Server& server() { return *server_; }

    // Routes whose requests are recorded before the handler runs; any method.
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

    bool start() {
        port_ = server_->bind_to_any_port("127.0.0.1");
        if (port_ <= 0) return false;
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        for (int i = 0; i < 500 && !server_->is_running(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
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

private:
    void record(const httplib::Request& req) {
        Received r;
        r.method = req.method;
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
};

inline std::vector<std::string> sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace vigilo::nettest
