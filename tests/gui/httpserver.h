#pragma once
// A small HTTP server on loopback for window tests: fixed answers per path, optionally sent
// in slow pieces or without a length, and a count of the requests per path.
#include <httplib.h>

#include <QString>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace vigilo::gui::test {

class HttpServer {
public:
    struct Route {
        int status = 200;
        std::string body;
        bool announceLength = true;  // false: chunked, no Content-Length
        size_t pieceBytes = 0;       // > 0: the body goes out in pieces of this size...
        int pieceDelayMs = 0;        // ...this far apart
    };

    HttpServer() {
        server_.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
            Route route;
            {
                std::lock_guard lock(mutex_);
                hits_[request.path] += 1;
                auto it = routes_.find(request.path);
                route = it != routes_.end() ? it->second : Route{404, "not here"};
            }
            response.status = route.status;
            const size_t piece = route.pieceBytes > 0 ? route.pieceBytes : route.body.size() + 1;
            auto provide = [body = route.body, piece, delay = route.pieceDelayMs](size_t offset, httplib::DataSink& sink) {
                if (offset >= body.size()) {
                    sink.done();
                    return true;
                }
                if (offset > 0 && delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
                const size_t n = std::min(piece, body.size() - offset);
                return sink.write(body.data() + offset, n);
            };
            if (route.announceLength)
                response.set_content_provider(route.body.size(), "application/octet-stream",
                                              [provide](size_t offset, size_t, httplib::DataSink& sink) {
                                                  return provide(offset, sink);
                                              });
            else
                response.set_chunked_content_provider("application/octet-stream",
                                                      [provide](size_t offset, httplib::DataSink& sink) {
                                                          return provide(offset, sink);
                                                      });
        });
        // One request per connection: a lingering keep-alive would hold stop() for seconds.
        server_.set_keep_alive_max_count(1);
        port_ = server_.bind_to_any_port("127.0.0.1");
        // Bound means listening: connections wait in the backlog until the loop accepts them.
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~HttpServer() {
        server_.stop();
        thread_.join();
    }

    QString url(const QString& path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(path); }
    void setRoute(const std::string& path, Route route) {
        std::lock_guard lock(mutex_);
        routes_[path] = std::move(route);
    }
    int requests(const std::string& path) const {
        std::lock_guard lock(mutex_);
        auto it = hits_.find(path);
        return it == hits_.end() ? 0 : it->second;
    }

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::map<std::string, Route> routes_;
    std::map<std::string, int> hits_;
};

}  // namespace vigilo::gui::test
