#include "sim/http_server.h"
#include "sys/spawn.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

namespace vigilo::sim {

namespace {

constexpr size_t kMaxHead = 8u << 20;
constexpr size_t kMaxBody = 64u << 20;
constexpr auto kFirstRequestWait = std::chrono::seconds(30);
constexpr auto kKeepAliveIdle = std::chrono::seconds(15);
constexpr auto kHeadCompletion = std::chrono::seconds(30);
constexpr int kSocketTimeoutSeconds = 30;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

std::string trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return std::string(s.substr(b, e - b));
}

std::string httpDate() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return buf;
}

bool hasHeader(const HeaderList& headers, std::string_view name) {
    for (const auto& [n, v] : headers)
        if (equalsNoCase(n, name)) return true;
    return false;
}

void signalFd(int fd) {
    if (fd < 0) return;
    std::uint64_t one = 1;
    ssize_t r = ::write(fd, &one, sizeof one);
    (void)r;
}

}  // namespace

std::string HttpRequest::header(std::string_view name) const {
    for (const auto& [n, v] : headers)
        if (equalsNoCase(n, name)) return v;
    return {};
}

bool HttpRequest::hasHeader(std::string_view name) const { return sim::hasHeader(headers, name); }

std::string HttpRequest::param(const std::string& name) const {
    auto it = params.find(name);
    return it == params.end() ? std::string() : it->second;
}

std::string reasonPhrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 206: return "Partial Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 304: return "Not Modified";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 413: return "Payload Too Large";
        case 416: return "Range Not Satisfiable";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        default: return "Unknown";
    }
}

std::string percentDecode(std::string_view text, bool plusIsSpace) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
            i += 2;
        } else if (c == '+' && plusIsSpace) {
            out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::multimap<std::string, std::string> parseQuery(std::string_view query) {
    std::multimap<std::string, std::string> out;
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string_view::npos) end = query.size();
        std::string_view part = query.substr(start, end - start);
        if (!part.empty()) {
            size_t eq = part.find('=');
            if (eq == std::string_view::npos)
                out.emplace(percentDecode(part, true), std::string());
            else
                out.emplace(percentDecode(part.substr(0, eq), true), percentDecode(part.substr(eq + 1), true));
        }
        start = end + 1;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Connection

Connection::Connection(HttpServer& server, int fd) : server_(server), fd_(fd) {}

Connection::~Connection() {
    if (ssl_) SSL_free(static_cast<SSL*>(ssl_));
}

bool Connection::stopping() const { return server_.stopping(); }

bool Connection::handshake(void* sslCtx) {
    SSL* ssl = SSL_new(static_cast<SSL_CTX*>(sslCtx));
    if (!ssl) return false;
    ssl_ = ssl;
    SSL_set_fd(ssl, fd_);
    if (SSL_accept(ssl) != 1) {
        ERR_clear_error();
        broken_ = true;
        return false;
    }
    return true;
}

long Connection::readSome(char* buf, size_t size) {
    if (fd_ < 0) return -1;
    if (ssl_) {
        int n = SSL_read(static_cast<SSL*>(ssl_), buf, static_cast<int>(size));
        if (n <= 0) {
            ERR_clear_error();
            return -1;
        }
        return n;
    }
    for (;;) {
        ssize_t n = ::recv(fd_, buf, size, 0);
        if (n < 0 && errno == EINTR) continue;
        return n <= 0 ? -1 : static_cast<long>(n);
    }
}

bool Connection::readRequest(HttpRequest& request, std::chrono::milliseconds idle) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + idle;
    bool gotFirst = !buffer_.empty();
    size_t headEnd = std::string::npos;
    char chunk[16384];

    auto fill = [&]() -> bool {
        bool pending = ssl_ && SSL_pending(static_cast<SSL*>(ssl_)) > 0;
        if (!pending) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return false;
            pollfd fds[2] = {{fd_, POLLIN, 0}, {server_.stopFd(), POLLIN, 0}};
            int r = ::poll(fds, 2, static_cast<int>(left));
            if (r < 0 && errno == EINTR) return true;
            if (r <= 0) return false;
            if (fds[1].revents) return false;
        }
        long n = readSome(chunk, sizeof chunk);
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<size_t>(n));
        if (!gotFirst) {
            gotFirst = true;
            deadline = Clock::now() + kHeadCompletion;
        }
        return true;
    };

    while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
        if (buffer_.size() > kMaxHead) return false;
        if (!fill()) return false;
    }

    std::string_view head(buffer_.data(), headEnd);
    size_t lineEnd = head.find("\r\n");
    std::string_view requestLine = head.substr(0, lineEnd);
    size_t sp1 = requestLine.find(' ');
    size_t sp2 = requestLine.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1) return false;
    request.method = std::string(requestLine.substr(0, sp1));
    request.target = std::string(requestLine.substr(sp1 + 1, sp2 - sp1 - 1));
    request.version = std::string(requestLine.substr(sp2 + 1));
    size_t q = request.target.find('?');
    request.path = request.target.substr(0, q);
    request.query = q == std::string::npos ? std::string() : request.target.substr(q + 1);
    request.params = parseQuery(request.query);

    size_t pos = lineEnd == std::string_view::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
        size_t e = head.find("\r\n", pos);
        if (e == std::string_view::npos) e = head.size();
        std::string_view line = head.substr(pos, e - pos);
        size_t colon = line.find(':');
        if (colon != std::string_view::npos)
            request.headers.emplace_back(std::string(line.substr(0, colon)), trim(line.substr(colon + 1)));
        pos = e + 2;
    }
    buffer_.erase(0, headEnd + 4);

    std::string length = request.header("Content-Length");
    std::string encoding = request.header("Transfer-Encoding");
    bool hasBody = !encoding.empty() || (!length.empty() && length != "0");
    // A client that asks first would otherwise wait its own time-out before sending the body.
    if (hasBody && equalsNoCase(request.header("Expect"), "100-continue") && !write("HTTP/1.1 100 Continue\r\n\r\n"))
        return false;
    if (!encoding.empty() && encoding.find("chunked") != std::string::npos) {
        // Decoded into the body; trailers are dropped.
        std::string body;
        for (;;) {
            size_t e;
            while ((e = buffer_.find("\r\n")) == std::string::npos)
                if (buffer_.size() > kMaxHead || !fill()) return false;
            size_t size = std::strtoul(buffer_.substr(0, e).c_str(), nullptr, 16);
            buffer_.erase(0, e + 2);
            if (size == 0) {
                while ((e = buffer_.find("\r\n")) == std::string::npos)
                    if (!fill()) return false;
                buffer_.erase(0, e + 2);
                break;
            }
            if (body.size() + size > kMaxBody) return false;
            while (buffer_.size() < size + 2)
                if (!fill()) return false;
            body.append(buffer_, 0, size);
            buffer_.erase(0, size + 2);
        }
        request.body = std::move(body);
    } else if (!length.empty()) {
        size_t size = std::strtoul(length.c_str(), nullptr, 10);
        if (size > kMaxBody) return false;
        while (buffer_.size() < size)
            if (!fill()) return false;
        request.body = buffer_.substr(0, size);
        buffer_.erase(0, size);
    }
    return true;
}

bool Connection::write(std::string_view bytes) {
    if (fd_ < 0 || broken_) return false;
    while (!bytes.empty()) {
        if (server_.stopping()) {
            broken_ = true;
            return false;
        }
        long n;
        if (ssl_) {
            size_t piece = std::min<size_t>(bytes.size(), 1 << 20);
            n = SSL_write(static_cast<SSL*>(ssl_), bytes.data(), static_cast<int>(piece));
            if (n <= 0) ERR_clear_error();
        } else {
            n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
        }
        if (n <= 0) {
            broken_ = true;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string Connection::serializeHead(const HttpResponse& response, size_t contentLength, bool keepAlive) {
    std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       (response.reason.empty() ? reasonPhrase(response.status) : response.reason) + "\r\n";
    if (!hasHeader(response.headers, "Server")) head += "Server: Tengine\r\n";
    for (const auto& [n, v] : response.headers) head += n + ": " + v + "\r\n";
    if (contentLength != std::string::npos && !hasHeader(response.headers, "Content-Length"))
        head += "Content-Length: " + std::to_string(contentLength) + "\r\n";
    if (!hasHeader(response.headers, "Connection"))
        head += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    if (!hasHeader(response.headers, "Date")) head += "Date: " + httpDate() + "\r\n";
    head += "\r\n";
    return head;
}

bool Connection::send(const HttpResponse& response, bool headOnly) {
    if (http10_) keepAlive_ = false;
    std::string bytes = serializeHead(response, response.body.size(), keepAlive_);
    if (!headOnly) bytes += response.body;
    return write(bytes);
}

bool Connection::pause(std::chrono::milliseconds time) {
    if (fd_ < 0 || server_.stopping()) return false;
    pollfd fds[2] = {{fd_, POLLRDHUP, 0}, {server_.stopFd(), POLLIN, 0}};
    int r = ::poll(fds, 2, static_cast<int>(time.count()));
    if (r < 0) return errno == EINTR;
    if (r == 0) return true;
    return false;
}

bool Connection::peerClosed() {
    if (fd_ < 0) return true;
    pollfd fd = {fd_, POLLRDHUP, 0};
    return ::poll(&fd, 1, 0) > 0;
}

void Connection::reset() {
    // What was written should reach the peer before the reset, or the cut would fall at a
    // random place instead of where the caller put it.
    for (int i = 0; i < 100 && fd_ >= 0 && !server_.stopping(); ++i) {
        int queued = 0;
        if (::ioctl(fd_, SIOCOUTQ, &queued) != 0 || queued == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard<std::mutex> lock(server_.mu_);
    if (fd_ < 0) return;
    linger lg{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::close(fd_);
    for (auto& [id, w] : server_.workers_)
        if (w.fd == fd_) w.fd = -1;
    fd_ = -1;
    reset_ = true;
    keepAlive_ = false;
}

// ---------------------------------------------------------------------------------------------
// HttpServer

HttpServer::HttpServer() = default;

HttpServer::~HttpServer() { stop(); }

bool HttpServer::openListener() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 512) != 0) {
        ::close(fd);
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    listenFd_ = fd;
    return true;
}

bool HttpServer::start(int port, const std::string& certFile, const std::string& keyFile, Handler handler) {
    if (running_) return false;
    handler_ = std::move(handler);
    if (!certFile.empty() || !keyFile.empty()) {
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        if (!ctx) return false;
        SSL_CTX_set_mode(ctx, SSL_MODE_AUTO_RETRY);
        if (SSL_CTX_use_certificate_chain_file(ctx, certFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(ctx) != 1) {
            ERR_clear_error();
            SSL_CTX_free(ctx);
            return false;
        }
        sslCtx_ = ctx;
    }
    port_ = port;
    stopping_ = false;
    refusing_ = false;
    if (!openListener()) {
        if (sslCtx_) SSL_CTX_free(static_cast<SSL_CTX*>(sslCtx_));
        sslCtx_ = nullptr;
        return false;
    }
    stopFd_ = ::eventfd(0, EFD_CLOEXEC);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    running_ = true;
    acceptThread_ = std::thread([this] { acceptLoop(); });
    return true;
}

void HttpServer::setRefusing(bool refusing) {
    refusing_ = refusing;
    signalFd(wakeFd_);
    // Wait until the accept loop has acted, so the caller's next connect sees the new state.
    for (int i = 0; i < 200 && running_; ++i) {
        bool open;
        {
            std::lock_guard<std::mutex> lock(mu_);
            open = listenFd_ >= 0;
        }
        if (open != refusing) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

size_t HttpServer::openConnections() const {
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = 0;
    for (const auto& [id, w] : workers_)
        if (!w.done) ++n;
    return n;
}

void HttpServer::reapFinished() {
    std::vector<std::thread> finished;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto it = workers_.begin(); it != workers_.end();) {
            if (it->second.done) {
                finished.push_back(std::move(it->second.thread));
                it = workers_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& t : finished)
        if (t.joinable()) t.join();
}

void HttpServer::acceptLoop() {
    // A peer that goes away mid-write must not kill the process; the write just fails.
    vigilo::ignoreBrokenPipes();
    while (!stopping_) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (refusing_ && listenFd_ >= 0) {
                ::close(listenFd_);
                listenFd_ = -1;
            } else if (!refusing_ && listenFd_ < 0) {
                openListener();
            }
        }
        pollfd fds[3] = {{stopFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
        int r = ::poll(fds, listenFd_ >= 0 ? 3 : 2, listenFd_ >= 0 ? 1000 : 100);
        if (r < 0 && errno != EINTR) break;
        if (stopping_ || fds[0].revents) break;
        if (fds[1].revents) {
            std::uint64_t v;
            ssize_t n = ::read(wakeFd_, &v, sizeof v);
            (void)n;
            continue;
        }
        reapFinished();
        if (listenFd_ < 0 || !(fds[2].revents & POLLIN)) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        timeval tv{kSocketTimeoutSeconds, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::lock_guard<std::mutex> lock(mu_);
        std::uint64_t id = nextId_++;
        Worker& w = workers_[id];
        w.fd = fd;
        w.thread = std::thread([this, id, fd] { serve(id, fd); });
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
}

void HttpServer::serve(std::uint64_t id, int fd) {
    // A peer that goes away mid-write must not kill the process; the write just fails.
    vigilo::ignoreBrokenPipes();
    {
        Connection conn(*this, fd);
        bool ok = !sslCtx_ || conn.handshake(sslCtx_);
        bool first = true;
        while (ok && !stopping_) {
            HttpRequest request;
            auto wait = first ? std::chrono::duration_cast<std::chrono::milliseconds>(kFirstRequestWait)
                              : std::chrono::duration_cast<std::chrono::milliseconds>(kKeepAliveIdle);
            first = false;
            if (!conn.readRequest(request, wait)) break;
            request.remotePort = 0;
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0)
                request.remotePort = ntohs(peer.sin_port);
            conn.http10_ = request.version == "HTTP/1.0";
            conn.keepAlive_ = !conn.http10_ && !equalsNoCase(request.header("Connection"), "close");
            handler_(request, conn);
            if (!conn.keepAlive_ || conn.reset_ || conn.broken_) break;
        }
        if (conn.ssl_ && !conn.reset_ && !conn.broken_ && conn.fd_ >= 0) {
            SSL_shutdown(static_cast<SSL*>(conn.ssl_));
            ERR_clear_error();
        }
        std::lock_guard<std::mutex> lock(mu_);
        if (conn.fd_ >= 0) {
            ::shutdown(conn.fd_, SHUT_RDWR);
            ::close(conn.fd_);
            conn.fd_ = -1;
        }
        auto it = workers_.find(id);
        if (it != workers_.end()) it->second.fd = -1;
    }
    std::lock_guard<std::mutex> lock(mu_);
    auto it = workers_.find(id);
    if (it != workers_.end()) it->second.done = true;
}

void HttpServer::stop() {
    if (!running_) return;
    stopping_ = true;
    signalFd(stopFd_);
    if (acceptThread_.joinable()) acceptThread_.join();
    std::map<std::uint64_t, Worker> workers;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& [id, w] : workers_)
            if (w.fd >= 0) ::shutdown(w.fd, SHUT_RDWR);
    }
    // Workers remove nothing themselves, so the map is stable while we join.
    for (;;) {
        std::thread t;
        {
            std::lock_guard<std::mutex> lock(mu_);
            auto it =
                std::find_if(workers_.begin(), workers_.end(), [](auto& p) { return p.second.thread.joinable(); });
            if (it == workers_.end()) break;
            t = std::move(it->second.thread);
        }
        t.join();
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        workers_.clear();
    }
    if (sslCtx_) SSL_CTX_free(static_cast<SSL_CTX*>(sslCtx_));
    sslCtx_ = nullptr;
    ::close(stopFd_);
    ::close(wakeFd_);
    stopFd_ = wakeFd_ = -1;
    running_ = false;
}

}  // namespace vigilo::sim
