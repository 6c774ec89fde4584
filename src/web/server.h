#pragma once
// The web page and its HTTP API, served by the program itself (cpp-httplib), for watching and
// steering the monitors from a browser or a script.
//
// Threads: the server's own thread listens; its pool's threads answer. They read the hub's
// copy of the tables and the core's thread-safe state, and never call the Controller: every
// action is handed to the UI thread through the front end's `post` and runs there, with the
// same handler a button of the window runs. The server is stopped and joined by stop() or its
// destructor, which the front end runs before the Controller and the context go.
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/controller.h"
#include "web/config.h"
#include "web/hub.h"
#include "web/recordings.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace vigilo::web {

// Hands a call to the UI thread (the headless main loop, the Qt thread); it runs there later,
// or never when the front end has ended.
using UiPost = std::function<void(std::function<void()>)>;

class WebServer {
public:
    WebServer(Controller& controller, UiPost post, WebConfig config);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Reads or makes the token, binds and starts listening; false with `error` set otherwise.
    bool start(std::string& error);
    // Stops answering, ends the event streams and joins every server thread. Idempotent.
    void stop();

    int port() const { return port_; }
    // scheme://address:port/ as a browser on this machine reaches it.
    std::string url() const;
    std::filesystem::path tokenFile() const;
    // One line for the terminal and the log: where the page is and how to log in.
    std::string startLine() const;

    // Lines of Prometheus text added to /metrics by other parts of the program (request
    // refusals, the request rate, ...). Called on a server thread at each scrape; the source
    // must be thread-safe. Add before start().
    using MetricsSource = std::function<std::string()>;
    void addMetricsSource(MetricsSource source);

    // Wrong tokens seen since start.
    std::uint64_t authFailures() const { return authFailures_; }

    struct UiTarget;

private:
    struct Outcome;
    void routes();
    bool admit(const httplib::Request& req, httplib::Response& res);
    bool hostAllowed(const std::string& host) const;
    bool authorized(const httplib::Request& req, httplib::Response& res);
    Outcome onUi(std::function<Outcome(Controller&)> work);
    void reply(httplib::Response& res, const Outcome& outcome);
    std::string metricsText();
    std::string stateJson();
    std::string recordingsJson();
    void serveMedia(const httplib::Request& req, httplib::Response& res);
    void serveEvents(const httplib::Request& req, httplib::Response& res);

    Controller& controller_;
    AppContext& ctx_;
    UiPost post_;
    WebConfig config_;
    std::string token_;
    std::shared_ptr<Hub> hub_;
    std::shared_ptr<UiTarget> target_;
    RecordingList recordings_;
    std::vector<MetricsSource> metricsSources_;

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> listenDone_{false};
    std::atomic<int> streams_{0};
    std::atomic<std::uint64_t> authFailures_{0};

    // Wrong tries per client address, for the slowing down.
    struct Failures {
        int count = 0;
        std::chrono::steady_clock::time_point last;
    };
    std::mutex failuresMutex_;
    std::condition_variable stopWait_;
    std::map<std::string, Failures> failures_;

    // Media tickets: a <video> element cannot send the token, so the page trades it for a
    // ticket that opens one recording for a while.
    struct Ticket {
        std::string id;
        std::chrono::steady_clock::time_point expires;
    };
    std::mutex ticketsMutex_;
    std::map<std::string, Ticket> tickets_;
};

}  // namespace vigilo::web
