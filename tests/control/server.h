#pragma once
// A small HTTP server on loopback for the notice and the update download.
#include <httplib.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace vigilo::testing {

class LocalServer {
public:
    LocalServer() {
        server_.Get(R"(/(.*))", [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(mutex_);
            auto it = routes_.find(request.path);
            if (it == routes_.end()) {
                response.status = 404;
                response.set_content("<html>not found</html>", "text/html");
                return;
            }
            const Route& route = it->second;
            response.status = route.status;
            if (!route.location.empty()) response.set_header("Location", route.location);
            if (route.chunked) {
                const std::string body = route.body;
                response.set_chunked_content_provider("application/octet-stream",
                                                      [body](size_t offset, httplib::DataSink& sink) {
                                                          if (offset < body.size()) {
                                                              sink.write(body.data() + offset,
                                                                         std::min<size_t>(4000, body.size() - offset));
                                                          } else {
                                                              sink.done();
                                                          }
                                                          return true;
                                                      });
            } else {
                response.set_content(route.body, route.contentType);
            }
        });
        server_.set_keep_alive_max_count(1);  // no idle connection keeps stop() waiting
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~LocalServer() {
        server_.stop();
        if (thread_.joinable()) thread_.join();
    }

    struct Route {
        int status = 200;
        std::string body;
        std::string location;
        bool chunked = false;  // no Content-Length
        std::string contentType = "text/plain; charset=utf-8";
    };
    void route(const std::string& path, int status, std::string body, std::string location = "",
               bool chunked = false, std::string contentType = "text/plain; charset=utf-8") {
        std::lock_guard lock(mutex_);
        routes_[path] = Route{status, std::move(body), std::move(location), chunked, std::move(contentType)};
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    std::mutex mutex_;
    std::map<std::string, Route> routes_;
};

}  // namespace vigilo::testing
