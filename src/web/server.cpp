#include "web/server.h"

#include <sys/statvfs.h>

#include <httplib.h>
#include <openssl/rand.h>

#include <chrono>
#include <fstream>
#include <future>

#include "app/linkfile.h"
#include "control/servicewatch.h"
#include "text/strings.h"
#include "web/page_assets.h"
#include "web/token.h"

namespace vigilo::web {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kMaxStreams = 8;
constexpr std::chrono::seconds kHeartbeat{15};
constexpr std::chrono::hours kTicketLife{6};
constexpr std::size_t kMaxBody = 1u << 20;

const char* const kCsp =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; media-src 'self'; "
    "connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'";

std::string randomHex(std::size_t bytes) {
    std::vector<unsigned char> buffer(bytes);
    if (RAND_bytes(buffer.data(), static_cast<int>(buffer.size())) != 1) return {};
    static const char* const kHex = "0123456789abcdef";
    std::string out;
    for (unsigned char b : buffer) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

std::string contentType(std::string_view name) {
    if (endsWith(name, ".html")) return "text/html; charset=utf-8";
    if (endsWith(name, ".js")) return "text/javascript; charset=utf-8";
    if (endsWith(name, ".css")) return "text/css; charset=utf-8";
    return "application/octet-stream";
}

// The host part of a Host header, lower case, without the port.
std::string hostName(const std::string& header) {
    std::string host = toLowerAscii(trimBlanks(header));
    if (!host.empty() && host.front() == '[') {
        const auto close = host.find(']');
        return close == std::string::npos ? std::string() : host.substr(0, close + 1);
    }
    const auto colon = host.find(':');
    return colon == std::string::npos ? host : host.substr(0, colon);
}

}  // namespace

struct WebServer::Outcome {
    int status = 200;
    json body = json::object();
};

// What a call handed to the UI thread may reach; emptied when the server stops, so a call
// that runs later does nothing.
struct WebServer::UiTarget {
    std::mutex mutex;
    Controller* controller = nullptr;
    std::shared_ptr<Hub> hub;
};

WebServer::WebServer(Controller& controller, UiPost post, WebConfig config)
    : controller_(controller), ctx_(controller.context()), post_(std::move(post)), config_(std::move(config)) {
    addMetricsSource([] { return serviceMetricsText(net::requestBudget()); });
}

WebServer::~WebServer() { stop(); }

std::filesystem::path WebServer::tokenFile() const { return ctx_.paths.dataDir / "web-token"; }

std::string WebServer::url() const {
    std::string host = config_.address;
    if (host == "0.0.0.0" || host.empty()) host = "127.0.0.1";
    if (host == "::") host = "::1";
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return std::string(config_.tls() ? "https" : "http") + "://" + host + ":" + std::to_string(port_) + "/";
}

std::string WebServer::startLine() const {
    return "web page: " + url() + " (log in with the token in " + tokenFile().string() +
           "; API: Authorization: Bearer <token>)";
}

void WebServer::addMetricsSource(MetricsSource source) { metricsSources_.push_back(std::move(source)); }

bool WebServer::start(std::string& error) {
    auto token = loadOrCreateToken(tokenFile(), error);
    if (!token) return false;
    token_ = *token;
    if (config_.tls()) {
        auto tls = std::make_unique<httplib::SSLServer>(config_.certFile.c_str(), config_.keyFile.c_str());
        if (!tls->is_valid()) {
            error = "cannot use the certificate " + config_.certFile + " with the key " + config_.keyFile;
            return false;
        }
        server_ = std::move(tls);
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    hub_ = std::make_shared<Hub>(ctx_);
    target_ = std::make_shared<UiTarget>();
    target_->controller = &controller_;
    target_->hub = hub_;

    // Event streams hold a thread each; the rest stay for requests.
    server_->new_task_queue = [] { return new httplib::ThreadPool(kMaxStreams + 8); };
    server_->set_payload_max_length(kMaxBody);
    server_->set_read_timeout(std::chrono::seconds(10));
    server_->set_write_timeout(std::chrono::seconds(10));
    // The server watches an idle kept-alive connection by waking every millisecond; the page
    // asks every five seconds, so a connection held that long would cost half a percent of a
    // core for nothing. One second covers the requests a page sends together.
    server_->set_keep_alive_timeout(1);
    server_->set_keep_alive_max_count(100);
    server_->set_default_headers({
        {"Content-Security-Policy", kCsp},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Cross-Origin-Resource-Policy", "same-origin"},
        {"Cross-Origin-Opener-Policy", "same-origin"},
        {"Cache-Control", "no-store"},
    });
    routes();

    port_ = config_.port == 0 ? server_->bind_to_any_port(config_.address) : config_.port;
    if (config_.port != 0 && !server_->bind_to_port(config_.address, config_.port)) port_ = -1;
    if (port_ <= 0) {
        error = "cannot listen on " + config_.address + ":" + std::to_string(config_.port) +
                " (in use, or not an address of this machine)";
        hub_.reset();
        server_.reset();
        return false;
    }
    thread_ = std::thread([this] {
        server_->listen_after_bind();
        listenDone_ = true;
    });
    return true;
}

void WebServer::stop() {
    if (stopping_.exchange(true)) return;
    if (target_) {
        std::lock_guard lock(target_->mutex);
        target_->controller = nullptr;
        target_->hub.reset();
    }
    if (hub_) hub_->close();
    {
        std::lock_guard lock(failuresMutex_);
        stopWait_.notify_all();
    }
    if (server_) {
        // A stop that comes before the listening loop has begun is not seen by it: asked
        // again until the loop has ended.
        while (!listenDone_) {
            server_->stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (thread_.joinable()) thread_.join();
    }
    server_.reset();
    hub_.reset();
}

bool WebServer::hostAllowed(const std::string& header) const {
    const std::string host = hostName(header);
    if (host.empty()) return false;
    if (host == "localhost" || host == "127.0.0.1" || host == "[::1]") return true;
    const std::string bound = toLowerAscii(config_.address);
    if (bound != "0.0.0.0" && bound != "::" && (host == bound || host == "[" + bound + "]")) return true;
    for (const auto& name : config_.hostNames)
        if (host == name) return true;
    return false;
}

// Checks every request before routing: the host it was meant for, the method, and (for all
// but the page's own files and tickets) the token.
bool WebServer::admit(const httplib::Request& req, httplib::Response& res) {
    if (stopping_) {
        res.status = 503;
        return false;
    }
    if (!hostAllowed(req.get_header_value("Host"))) {
        res.status = 421;
        res.set_content("{\"error\":\"unknown host name\"}", "application/json");
        return false;
    }
    if (req.method == "OPTIONS") {
        // No cross-origin requests: nothing is allowed to a preflight.
        res.status = 405;
        return false;
    }
    const std::string& path = req.path;
    const bool pageFile = req.method == "GET" && (path == "/" || findPageAsset(path.substr(1)));
    // A link elsewhere may open the page (it holds nothing); nothing else is for other sites.
    if (pageFile) return true;
    if (req.get_header_value("Sec-Fetch-Site") == "cross-site") {
        res.status = 403;
        res.set_content("{\"error\":\"cross-site request\"}", "application/json");
        return false;
    }
    if (req.method == "GET" && startsWith(path, "/media/")) return true;
    return authorized(req, res);
}

bool WebServer::authorized(const httplib::Request& req, httplib::Response& res) {
    const std::string header = req.get_header_value("Authorization");
    const std::string given = startsWith(header, "Bearer ") ? trimBlanks(header.substr(7)) : std::string();
    const std::string& who = req.remote_addr;
    if (sameToken(given, token_)) {
        std::lock_guard lock(failuresMutex_);
        failures_.erase(who);
        return true;
    }
    ++authFailures_;
    std::chrono::milliseconds delay{0};
    {
        std::unique_lock lock(failuresMutex_);
        const auto now = Clock::now();
        if (failures_.size() > 10000) failures_.clear();
        Failures& f = failures_[who];
        if (now - f.last > std::chrono::minutes(15)) f.count = 0;
        f.last = now;
        ++f.count;
        if (f.count > config_.freeFailures) {
            const int over = std::min(f.count - config_.freeFailures - 1, 16);
            delay = std::min(config_.maxFailureDelay, config_.failureDelay * (1 << over));
            // Slow, but a stop still ends the wait.
            stopWait_.wait_for(lock, delay, [this] { return stopping_.load(); });
        }
    }
    res.status = 401;
    res.set_header("WWW-Authenticate", "Bearer");
    res.set_content(given.empty() ? "{\"error\":\"token required\"}" : "{\"error\":\"wrong token\"}",
                    "application/json");
    return false;
}

WebServer::Outcome WebServer::onUi(std::function<Outcome(Controller&)> work) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    auto future = promise->get_future();
    post_([target = target_, promise, work = std::move(work)] {
        std::lock_guard lock(target->mutex);
        if (!target->controller) return;  // the promise goes unfulfilled: the server is ending
        Outcome outcome;
        try {
            outcome = work(*target->controller);
        } catch (const std::exception& e) {
            outcome = {500, {{"error", e.what()}}};
        }
        // What an action changed without an observer seeing it (period, alert-only rooms).
        if (target->hub) target->hub->stateChanged();
        promise->set_value(std::move(outcome));
    });
    const auto deadline = Clock::now() + config_.uiBound;
    while (future.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        if (stopping_ || Clock::now() > deadline) return {503, {{"error", "the program did not take the request"}}};
    }
    try {
        return future.get();
    } catch (const std::future_error&) {
        return {503, {{"error", "the program is closing"}}};
    }
}

void WebServer::reply(httplib::Response& res, const Outcome& outcome) {
    res.status = outcome.status;
    res.set_content(dumpJson(outcome.body), "application/json");
}

namespace {

json throttledJson() {
    json hosts = json::array();
    for (const auto& view : net::requestBudget().hosts()) {
        if (view.refusing) hosts.push_back({{"host", view.host}, {"perMinute", view.perMinute}});
    }
    return hosts.empty() ? json(nullptr) : hosts;
}

}  // namespace

std::string WebServer::stateJson() {
    const ButtonState buttons = ctx_.buttons.state();
    const SettingsValues settings = ctx_.settings.values();
    json recorders = json::array();
    for (const auto& r : controller_.live().recorders())
        recorders.push_back({{"row", r.row},
                             {"nickname", r.nickname},
                             {"file", r.fileName},
                             {"port", r.port},
                             {"fromEarlierRun", r.fromEarlierRun}});
    json disk = nullptr;
    struct statvfs info {};
    if (::statvfs(ctx_.paths.dataDir.c_str(), &info) == 0)
        disk = {{"free", static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize},
                {"total", static_cast<std::uint64_t>(info.f_blocks) * info.f_frsize}};
    json doc = {
        {"version", VIGILO_VERSION},
        {"started", ctx_.started.load()},
        {"closing", ctx_.closing.load()},
        {"buttons",
         {{"add", buttons.addEnabled()},
          {"startWorks", buttons.startWorksEnabled()},
          {"stopWorks", buttons.stopWorksEnabled()}}},
        {"worksRunning", ctx_.worksRunning.load()},
        {"livePeriodMinutes", settings.livePeriodMinutes},
        {"notifyOnlyRooms", settings.notifyOnlyRooms},
        {"status", {ctx_.status.text(0), ctx_.status.text(1)}},
        {"recorders", recorders},
        {"pendingDownloads", controller_.works().pendingDownloads().size()},
        {"disk", disk},
        // The hosts refusing the program now, each at the rate it is slowed to; null while none does.
        {"throttled", throttledJson()},
    };
    return dumpJson(doc);
}

std::string WebServer::recordingsJson() {
    json list = json::array();
    for (const auto& file : recordings_.list(ctx_.paths, controller_.live().recorders())) {
        json item = {{"id", file.id},     {"name", file.name},         {"place", file.place},
                     {"size", file.size}, {"modified", file.modified}, {"nickname", file.nickname}};
        item["duration"] = file.duration ? json(*file.duration) : json(nullptr);
        list.push_back(std::move(item));
    }
    return dumpJson({{"recordings", list}});
}

std::string WebServer::metricsText() {
    std::string out;
    auto metric = [&out](const char* name, const char* type, const char* help, double value) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + name + " " +
               numberText(value) + "\n";
    };
    const auto recorders = controller_.live().recorders();
    std::uintmax_t recorded = 0, runningBytes = 0;
    for (const auto& file : recordings_.list(ctx_.paths, recorders)) {
        recorded += file.size;
        if (file.place == "running") runningBytes += file.size;
    }
    const auto counts = hub_->counters();
    const ServiceCounters& looks = ctx_.counters;
    metric("vigilo_account_polls_total", "counter", "Looks at an account's profile since start.",
           static_cast<double>(looks.accountPolls.load()));
    metric("vigilo_account_poll_failures_total", "counter", "Account looks whose answer could not be used.",
           static_cast<double>(looks.accountPollFailures.load()));
    metric("vigilo_room_checks_total", "counter", "Looks at a live room since start.",
           static_cast<double>(looks.roomChecks.load()));
    metric("vigilo_room_check_failures_total", "counter", "Room looks whose answer held no room.",
           static_cast<double>(looks.roomCheckFailures.load()));
    metric("vigilo_accounts", "gauge", "Rows of the account table.", ctx_.accountTable.rowCount());
    metric("vigilo_rooms", "gauge", "Rows of the room table.", ctx_.roomTable.rowCount());
    metric("vigilo_works_running", "gauge", "1 while the works monitor runs.", ctx_.worksRunning ? 1 : 0);
    metric("vigilo_downloads_saved_total", "counter", "Videos saved since start.", counts.postsSaved);
    metric("vigilo_download_failures_total", "counter", "Failed video download tries since start.",
           counts.downloadFailures);
    metric("vigilo_downloads_given_up_total", "counter", "Videos given up since start.", counts.downloadsGivenUp);
    metric("vigilo_downloads_pending", "gauge", "Videos waiting for their next try.",
           static_cast<double>(controller_.works().pendingDownloads().size()));
    metric("vigilo_recordings_running", "gauge", "Recorders running.", static_cast<double>(recorders.size()));
    metric("vigilo_recordings_started_total", "counter", "Recordings started since start.", counts.recordingsStarted);
    metric("vigilo_recordings_ended_total", "counter", "Recordings ended since start.", counts.recordingsEnded);
    metric("vigilo_recording_bytes", "gauge", "Bytes of the running recordings' files.",
           static_cast<double>(runningBytes));
    metric("vigilo_recorded_bytes", "gauge", "Bytes of every recording file listed (running, left, collected).",
           static_cast<double>(recorded));
    metric("vigilo_event_drops_total", "counter", "Events a receiver lost because it fell behind.",
           static_cast<double>(ctx_.events.dropped()));
    struct statvfs info {};
    if (::statvfs(ctx_.paths.dataDir.c_str(), &info) == 0)
        metric("vigilo_disk_free_bytes", "gauge", "Free bytes on the data directory's disk.",
               static_cast<double>(info.f_bavail) * static_cast<double>(info.f_frsize));
    metric("vigilo_web_auth_failures_total", "counter", "Web requests with a missing or wrong token.",
           static_cast<double>(authFailures_.load()));
    // Other parts' figures (the service's refusals, the request rate) come through here.
    for (const auto& source : metricsSources_) {
        std::string lines = source();
        if (!lines.empty() && lines.back() != '\n') lines += '\n';
        out += lines;
    }
    return out;
}

void WebServer::serveMedia(const httplib::Request& req, httplib::Response& res) {
    const std::string id = req.matches[1];
    const std::string ticket = req.get_param_value("t");
    bool valid = false;
    {
        std::lock_guard lock(ticketsMutex_);
        const auto it = tickets_.find(ticket);
        valid = !ticket.empty() && it != tickets_.end() && it->second.id == id && it->second.expires > Clock::now();
    }
    if (!valid) {
        res.status = 403;
        res.set_content("{\"error\":\"no valid ticket for this recording\"}", "application/json");
        return;
    }
    const auto file = recordings_.find(ctx_.paths, controller_.live().recorders(), id);
    if (!file) {
        res.status = 404;
        res.set_content("{\"error\":\"no such recording\"}", "application/json");
        return;
    }
    auto in = std::make_shared<std::ifstream>(file->path, std::ios::binary);
    if (!*in) {
        res.status = 404;
        return;
    }
    // The size when asked: a running recording grows, and what is served is what was there.
    const std::size_t size = static_cast<std::size_t>(file->size);
    if (req.has_param("download")) {
        // The name is the service's text: only its ASCII letters go into the plain form.
        std::string plain;
        for (unsigned char c : file->name) plain += (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') ? char(c) : '_';
        res.set_header("Content-Disposition", "attachment; filename=\"" + plain + "\"");
    }
    res.set_header("Accept-Ranges", "bytes");
    for (const auto& [first, last] : req.ranges) {
        // A range that starts past the end is answered here; the rest are cut by the server.
        if ((first >= 0 && static_cast<std::size_t>(first) >= size) || (first < 0 && last == 0) || size == 0) {
            res.status = 416;
            res.set_header("Content-Range", "bytes */" + std::to_string(size));
            return;
        }
    }
    res.set_content_provider(size, "video/mp4", [in](size_t offset, size_t length, httplib::DataSink& sink) {
        char buffer[64 * 1024];
        in->clear();
        in->seekg(static_cast<std::streamoff>(offset));
        while (length > 0) {
            const std::size_t n = std::min(length, sizeof buffer);
            in->read(buffer, static_cast<std::streamsize>(n));
            const auto got = static_cast<std::size_t>(in->gcount());
            if (got == 0) return false;
            if (!sink.write(buffer, got)) return false;
            length -= got;
        }
        return true;
    });
}

void WebServer::serveEvents(const httplib::Request&, httplib::Response& res) {
    if (streams_.fetch_add(1) >= kMaxStreams) {
        streams_.fetch_sub(1);
        res.status = 503;
        res.set_content("{\"error\":\"too many open event streams\"}", "application/json");
        return;
    }
    std::shared_ptr<Hub> hub = hub_;
    hub->addReader();
    struct Position {
        bool started = false;
        std::uint64_t after = 0;
    };
    auto position = std::make_shared<Position>();
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, hub, position](size_t, httplib::DataSink& sink) {
            std::string out;
            bool lost = false;
            if (position->started) {
                out = hub->waitMessages(position->after, lost, kHeartbeat);
                if (stopping_ || hub->closed()) {
                    sink.done();
                    return true;
                }
            }
            if (!position->started || lost) {
                // The whole state, then every change after it.
                position->started = true;
                out = "event: snapshot\ndata: " + dumpJson(hub->snapshot(&position->after)) + "\n\n";
            } else if (out.empty()) {
                out = ": keep-alive\n\n";
            }
            return sink.write(out.data(), out.size());
        },
        [this, hub](bool) {
            hub->removeReader();
            streams_.fetch_sub(1);
        });
}

void WebServer::routes() {
    httplib::Server& s = *server_;
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        return admit(req, res) ? httplib::Server::HandlerResponse::Unhandled
                               : httplib::Server::HandlerResponse::Handled;
    });
    auto page = [](const std::string& name) {
        return [name](const httplib::Request&, httplib::Response& res) {
            const PageAsset* asset = findPageAsset(name);
            if (!asset) {
                res.status = 404;
                return;
            }
            res.set_content(std::string(asset->bytes), contentType(name));
        };
    };
    s.Get("/", page("index.html"));
    for (const char* name : {"index.html", "app.js", "style.css"}) s.Get(std::string("/") + name, page(name));

    auto getJson = [&s](const std::string& path, std::function<std::string(const httplib::Request&)> body) {
        s.Get(path, [body](const httplib::Request& req, httplib::Response& res) {
            res.set_content(body(req), "application/json");
        });
    };
    getJson("/api/state", [this](const httplib::Request&) { return stateJson(); });
    getJson("/api/snapshot", [this](const httplib::Request&) { return dumpJson(hub_->snapshot()); });
    getJson("/api/tables", [this](const httplib::Request&) {
        return dumpJson({{"accounts", hub_->tableJson(0)}, {"rooms", hub_->tableJson(1)}});
    });
    getJson("/api/tables/accounts", [this](const httplib::Request&) { return dumpJson(hub_->tableJson(0)); });
    getJson("/api/tables/rooms", [this](const httplib::Request&) { return dumpJson(hub_->tableJson(1)); });
    getJson("/api/log", [this](const httplib::Request& req) {
        std::size_t lines = 200;
        if (req.has_param("lines"))
            lines = static_cast<std::size_t>(
                std::clamp(textToNumber(req.get_param_value("lines")), 1.0, double(Hub::kLogLines)));
        return dumpJson({{"text", hub_->logTail(lines)}});
    });
    getJson("/api/recent-events", [this](const httplib::Request&) { return dumpJson({{"events", hub_->events()}}); });
    getJson("/api/links", [this](const httplib::Request&) {
        return dumpJson(
            {{"accounts", readLinkFile(ctx_.paths.linkFile1())}, {"rooms", readLinkFile(ctx_.paths.linkFile2())}});
    });
    getJson("/api/recordings", [this](const httplib::Request&) { return recordingsJson(); });
    s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(metricsText(), "text/plain; version=0.0.4; charset=utf-8");
    });
    s.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) { serveEvents(req, res); });
    s.Get(R"(/media/([0-9a-f]{1,64}))",
          [this](const httplib::Request& req, httplib::Response& res) { serveMedia(req, res); });

    // Actions: a JSON body (when one is needed) and the UI thread.
    auto body = [](const httplib::Request& req, json& out, httplib::Response& res) {
        if (req.body.empty()) {
            out = json::object();
            return true;
        }
        if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
            res.status = 415;
            res.set_content("{\"error\":\"send application/json\"}", "application/json");
            return false;
        }
        out = json::parse(req.body, nullptr, false);
        if (out.is_discarded() || !out.is_object()) {
            res.status = 400;
            res.set_content("{\"error\":\"the body is not a JSON object\"}", "application/json");
            return false;
        }
        return true;
    };
    // What an action takes from its request, copied: the call may run on the UI thread after
    // the request has been answered (a time-out), when the request is gone.
    struct Args {
        std::string match;  // the path's one captured part
        std::string key;    // the "key" query parameter
    };
    auto action = [this, body](std::function<Outcome(const json&, const Args&, Controller&)> work) {
        return [this, body, work](const httplib::Request& req, httplib::Response& res) {
            json in;
            if (!body(req, in, res)) return;
            Args args;
            if (req.matches.size() > 1) args.match = req.matches[1].str();
            args.key = req.has_param("key")
                           ? req.get_param_value("key")
                           : (in.contains("key") && in["key"].is_string() ? in["key"].get<std::string>() : "");
            reply(res, onUi([work, in, args](Controller& c) { return work(in, args, c); }));
        };
    };
    auto refused = [](const std::string& why) { return Outcome{409, {{"error", why}}}; };
    auto done = [] { return Outcome{200, {{"ok", true}}}; };
    auto text = [](const json& in, const char* name) -> std::optional<std::string> {
        if (!in.contains(name) || !in[name].is_string()) return std::nullopt;
        return in[name].get<std::string>();
    };

    s.Post("/api/accounts", action([=](const json& in, const Args&, Controller& c) {
               const auto links = text(in, "links");
               const std::string mode = text(in, "mode").value_or("multi");
               if (!links || (mode != "multi" && mode != "single"))
                   return Outcome{400, {{"error", "links (text) and mode (multi or single) expected"}}};
               if (!c.context().buttons.state().addEnabled()) return refused("start-up has not finished");
               c.addAccounts(*links, mode == "multi");
               return done();
           }));
    s.Post("/api/rooms", action([=](const json& in, const Args&, Controller& c) {
               const auto links = text(in, "links");
               if (!links) return Outcome{400, {{"error", "links (text) expected"}}};
               if (!c.context().buttons.state().addEnabled()) return refused("start-up has not finished");
               c.addRooms(*links);
               return done();
           }));
    s.Delete(R"(/api/accounts/(\d{1,9}))", action([=](const json&, const Args& args, Controller& c) {
                 const int row = static_cast<int>(textToNumber(args.match));
                 const std::string& key = args.key;
                 TableStore& table = c.context().accountTable;
                 // The row must still be the one the page showed: rows move when others go.
                 const auto cells = table.rowSnapshot(row);
                 if (cells.empty()) return Outcome{404, {{"error", "no such row"}}};
                 if (key.empty() || (key != cells[acol::Link] && key != cells[acol::SecUid]))
                     return refused("the row holds another account now");
                 table.setSelectedRow(row);
                 c.deleteSelectedAccount();
                 return done();
             }));
    s.Post("/api/works/start", action([=](const json&, const Args&, Controller& c) {
               if (!c.context().buttons.state().startWorksEnabled()) return refused("开始监控 is not available now");
               c.startWorksMonitor();
               return done();
           }));
    s.Post("/api/works/stop", action([=](const json&, const Args&, Controller& c) {
               if (!c.context().buttons.state().stopWorksEnabled()) return refused("停止监控 is not available now");
               c.stopWorksMonitor();
               return done();
           }));
    s.Post("/api/live/stop-recording", action([=](const json&, const Args&, Controller& c) {
               c.stopRecording();
               return done();
           }));
    s.Post("/api/live/start-recording", action([=](const json&, const Args&, Controller& c) {
               if (!c.context().started) return refused("start-up has not finished");
               c.resumeRecording();
               return done();
           }));
    s.Put("/api/live/period", action([=](const json& in, const Args&, Controller& c) {
              if (!in.contains("minutes") || !in["minutes"].is_number_integer())
                  return Outcome{400, {{"error", "minutes (0, 5, 10 or 30) expected"}}};
              const int minutes = in["minutes"].get<int>();
              if (minutes != 0 && minutes != 5 && minutes != 10 && minutes != 30)
                  return Outcome{400, {{"error", "minutes must be 0, 5, 10 or 30"}}};
              c.setLivePeriod(minutes);
              return done();
          }));
    s.Put(R"(/api/rooms/(\d{1,32})/notify-only)", action([=](const json& in, const Args& args, Controller& c) {
              if (!in.contains("on") || !in["on"].is_boolean())
                  return Outcome{400, {{"error", "on (true or false) expected"}}};
              c.setNotifyOnly(args.match, in["on"].get<bool>());
              return done();
          }));
    // 发送测试通知: what each receiver answered goes to the log, which the page shows.
    s.Post("/api/notify/test", action([=](const json&, const Args&, Controller& c) {
               c.testNotify();
               return done();
           }));
    s.Post(R"(/api/recordings/([0-9a-f]{1,64})/ticket)", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string id = req.matches[1];
        if (!recordings_.find(ctx_.paths, controller_.live().recorders(), id)) {
            res.status = 404;
            res.set_content("{\"error\":\"no such recording\"}", "application/json");
            return;
        }
        const std::string ticket = randomHex(24);
        {
            std::lock_guard lock(ticketsMutex_);
            const auto now = Clock::now();
            std::erase_if(tickets_, [now](const auto& entry) { return entry.second.expires <= now; });
            if (tickets_.size() > 1024) tickets_.clear();
            tickets_[ticket] = {id, now + kTicketLife};
        }
        const std::string url = "/media/" + id + "?t=" + ticket;
        res.set_content(dumpJson({{"url", url}, {"download", url + "&download=1"}}), "application/json");
    });
}

}  // namespace vigilo::web
