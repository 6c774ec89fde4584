#include "sim/push_receiver.h"

namespace vigilo::sim {

PushReceiver::~PushReceiver() { stop(); }

bool PushReceiver::start(int port) {
    return server_.start(port, "", "",
                         [this](const HttpRequest& request, Connection& connection) { handle(request, connection); });
}

void PushReceiver::stop() { server_.stop(); }

std::string PushReceiver::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(server_.port()) + path;
}

void PushReceiver::setMode(Mode mode) {
    std::lock_guard lock(mutex_);
    mode_ = mode;
    server_.setRefusing(mode == Mode::Refuse);
    changed_.notify_all();
}

void PushReceiver::setStatus(int status) {
    std::lock_guard lock(mutex_);
    status_ = status;
}

void PushReceiver::handle(const HttpRequest& request, Connection& connection) {
    if (observer_) observer_(request);
    std::unique_lock lock(mutex_);
    requests_.push_back(request);
    const Mode mode = mode_;
    const int status = status_;
    changed_.notify_all();
    if (mode == Mode::Stall) {
        ++stalled_;
        changed_.notify_all();
        lock.unlock();
        // Holds the request until the client gives up or the server stops.
        while (connection.pause(std::chrono::milliseconds(200))) {
        }
        lock.lock();
        --stalled_;
        changed_.notify_all();
        return;
    }
    lock.unlock();
    HttpResponse response;
    response.status = status;
    response.headers.push_back({"Content-Type", "application/json"});
    response.body = "{}";
    connection.send(response);
}

std::vector<HttpRequest> PushReceiver::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t PushReceiver::count() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

std::size_t PushReceiver::stalled() const {
    std::lock_guard lock(mutex_);
    return stalled_;
}

bool PushReceiver::waitFor(std::size_t n, std::chrono::milliseconds bound) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return requests_.size() >= n; });
}

bool PushReceiver::waitStalled(std::size_t n, std::chrono::milliseconds bound) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return stalled_ >= n; });
}

}  // namespace vigilo::sim
