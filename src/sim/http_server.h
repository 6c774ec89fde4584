#pragma once
// A small HTTP/1.1 server for the simulated service. It keeps what the tests need to see and
// what the faults need to break: request headers in the order and spelling they arrived, the
// raw connection (to stall it, dribble bytes, or reset it mid-body), and a stop that returns
// promptly whatever the connections are doing. Plain TCP or TLS (OpenSSL), one thread per
// connection, loopback only.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace vigilo::sim {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;
    std::string target;                              // as received
    std::string path;                                // target up to '?', not decoded
    std::string query;                               // after '?', not decoded
    std::string version;                             // "HTTP/1.1"
    HeaderList headers;                              // in order, names as sent, values trimmed
    std::multimap<std::string, std::string> params;  // decoded query
    std::string body;
    int remotePort = 0;

    // First header of that name (ASCII case-insensitive); empty when absent.
    std::string header(std::string_view name) const;
    bool hasHeader(std::string_view name) const;
    std::string param(const std::string& name) const;
};

struct HttpResponse {
    int status = 200;
    std::string reason;  // empty: the standard phrase
    HeaderList headers;  // Content-Length, Date, Server and Connection are added when missing
    std::string body;
};

std::string reasonPhrase(int status);
std::string percentDecode(std::string_view text, bool plusIsSpace);
std::multimap<std::string, std::string> parseQuery(std::string_view query);

class HttpServer;

// One accepted connection, used by a handler on the connection's own thread.
class Connection {
public:
    // Writes all bytes; false when the peer is gone, the write timed out, or the server stops.
    bool write(std::string_view bytes);
    // Head and body of a response; `headOnly` for HEAD requests.
    bool send(const HttpResponse& response, bool headOnly = false);
    static std::string serializeHead(const HttpResponse& response, size_t contentLength, bool keepAlive);

    // Waits up to `time`; false when the server stops or the peer closed its side meanwhile.
    bool pause(std::chrono::milliseconds time);
    bool stopping() const;
    // Whether the peer has closed (checked without waiting).
    bool peerClosed();

    // After this the connection is closed once the handler returns.
    void closeAfterResponse() { keepAlive_ = false; }
    bool keepAlive() const { return keepAlive_; }
    // Drops the connection with a TCP reset; nothing more can be written.
    void reset();
    bool isReset() const { return reset_; }
    bool isHttp10() const { return http10_; }
    int fd() const { return fd_; }

private:
    friend class HttpServer;
    struct Tls;
    Connection(HttpServer& server, int fd);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool handshake(void* sslCtx);
    long readSome(char* buf, size_t size);
    bool readRequest(HttpRequest& request, std::chrono::milliseconds idle);

    HttpServer& server_;
    int fd_;
    void* ssl_ = nullptr;
    std::string buffer_;
    bool keepAlive_ = true;
    bool reset_ = false;
    bool http10_ = false;
    bool broken_ = false;
};

class HttpServer {
public:
    using Handler = std::function<void(const HttpRequest&, Connection&)>;

    HttpServer();
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds 127.0.0.1:port (0: ephemeral). With cert and key files, every connection is TLS.
    bool start(int port, const std::string& certFile, const std::string& keyFile, Handler handler);
    void stop();
    int port() const { return port_; }
    bool tls() const { return sslCtx_ != nullptr; }
    bool running() const { return running_; }

    // While refusing, the listening socket is closed: connects fail with "connection refused".
    void setRefusing(bool refusing);
    size_t openConnections() const;

    // Handlers that wait use this to wake on stop.
    int stopFd() const { return stopFd_; }
    bool stopping() const { return stopping_; }

private:
    friend class Connection;
    struct Worker {
        std::thread thread;
        int fd = -1;
        bool done = false;
    };

    bool openListener();
    void acceptLoop();
    void serve(std::uint64_t id, int fd);
    void reapFinished();

    Handler handler_;
    void* sslCtx_ = nullptr;
    int port_ = 0;
    int listenFd_ = -1;
    int stopFd_ = -1;
    int wakeFd_ = -1;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> refusing_{false};
    std::thread acceptThread_;
    mutable std::mutex mu_;
    std::map<std::uint64_t, Worker> workers_;
    std::uint64_t nextId_ = 1;
};

}  // namespace vigilo::sim
