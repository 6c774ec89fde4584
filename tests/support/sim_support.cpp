#include "support/sim_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/process.h"

namespace vigilo::test {

RawReply rawExchange(int port, const std::string& request, std::chrono::milliseconds timeout, size_t limit) {
    RawReply reply;
    sim::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return reply;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return reply;
    reply.connected = true;
    size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = ::send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return reply;
        sent += static_cast<size_t>(n);
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[65536];
    while (reply.bytes.size() < limit) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            reply.timedOut = true;
            break;
        }
        pollfd p{fd.get(), POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) {
            reply.timedOut = true;
            break;
        }
        ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            reply.reset = errno == ECONNRESET;
            break;
        }
        if (n == 0) {
            reply.closed = true;
            break;
        }
        reply.bytes.append(buf, static_cast<size_t>(n));
    }
    return reply;
}

std::string getRequest(const std::string& target, const std::vector<std::string>& headerLines) {
    std::string out = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const auto& line : headerLines) out += line + "\r\n";
    out += "Connection: close\r\n\r\n";
    return out;
}

std::string Reply::header(const std::string& name) const {
    auto lower = [](std::string s) {
        for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    for (const auto& [n, v] : headers)
        if (lower(n) == lower(name)) return v;
    return {};
}

bool parseReply(const std::string& bytes, Reply& reply) {
    size_t headEnd = bytes.find("\r\n\r\n");
    if (bytes.rfind("HTTP/", 0) != 0 || headEnd == std::string::npos) return false;
    std::istringstream head(bytes.substr(0, headEnd));
    std::string line;
    std::getline(head, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t sp1 = line.find(' ');
    size_t sp2 = line.find(' ', sp1 + 1);
    reply.status = std::atoi(line.substr(sp1 + 1, sp2 - sp1 - 1).c_str());
    reply.reason = sp2 == std::string::npos ? std::string() : line.substr(sp2 + 1);
    while (std::getline(head, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        size_t v = colon + 1;
        while (v < line.size() && line[v] == ' ') ++v;
        reply.headers.emplace_back(line.substr(0, colon), line.substr(v));
    }
    std::string rest = bytes.substr(headEnd + 4);
    if (reply.header("Transfer-Encoding").find("chunked") != std::string::npos) {
        size_t pos = 0;
        reply.complete = false;
        for (;;) {
            size_t e = rest.find("\r\n", pos);
            if (e == std::string::npos) break;
            size_t size = std::strtoul(rest.substr(pos, e - pos).c_str(), nullptr, 16);
            if (size == 0) {
                reply.complete = true;
                break;
            }
            if (e + 2 + size > rest.size()) {
                reply.body += rest.substr(e + 2);
                break;
            }
            reply.body += rest.substr(e + 2, size);
            pos = e + 2 + size + 2;
        }
    } else if (!reply.header("Content-Length").empty()) {
        size_t length = std::strtoull(reply.header("Content-Length").c_str(), nullptr, 10);
        reply.body = rest.substr(0, length);
        reply.complete = rest.size() >= length;
    } else {
        reply.body = rest;
        reply.complete = true;
    }
    return true;
}

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    CommandResult result;
    sim::ChildProcess::Options options;
    options.pipeStdout = true;
    sim::ChildProcess child = sim::ChildProcess::spawn(argv, options);
    if (!child.running()) return result;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[8192];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            child.killAndReap();
            return result;
        }
        pollfd p{child.stdoutFd(), POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) continue;
        ssize_t n = ::read(child.stdoutFd(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.output.append(buf, static_cast<size_t>(n));
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (!child.waitExit(std::max(left, std::chrono::milliseconds(0)))) {
        child.killAndReap();
        return result;
    }
    result.ran = true;
    int status = child.exitStatus();
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::vector<std::string> probeStreams(const std::string& input, std::chrono::milliseconds timeout) {
    CommandResult r = runCommand({"ffprobe", "-v", "error", "-rw_timeout", "10000000", "-show_entries",
                                  "stream=codec_type", "-of", "csv=p=0", input},
                                 timeout);
    std::vector<std::string> types;
    if (!r.ran || r.exitCode != 0) return types;
    std::istringstream in(r.output);
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ',' || line.back() == ' ')) line.pop_back();
        if (!line.empty()) types.push_back(line);
    }
    return types;
}

std::string readFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace vigilo::test
