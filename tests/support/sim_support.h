#pragma once
// Helpers for tests that talk to the simulated service or check media: a raw HTTP exchange
// that shows exactly what came back (including resets and stalls), a reply parser, and a
// command runner for ffprobe and friends.
#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace vigilo::test {

struct RawReply {
    std::string bytes;  // everything received
    bool connected = false;
    bool reset = false;     // the peer reset the connection
    bool closed = false;    // the peer closed it normally
    bool timedOut = false;  // nothing ended the exchange within the time
};

// Sends `request` as is to 127.0.0.1:port, then reads until the peer closes, `limit` bytes
// have arrived, or `timeout` passes.
RawReply rawExchange(int port, const std::string& request, std::chrono::milliseconds timeout, size_t limit = 4u << 20);

// A GET request with the given extra header lines ("Name: value"), HTTP/1.1, Connection: close.
std::string getRequest(const std::string& target, const std::vector<std::string>& headerLines = {});

struct Reply {
    int status = 0;
    std::string reason;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;       // de-chunked
    bool complete = false;  // the body is as long as announced
    std::string header(const std::string& name) const;
};

// Parses a response received as bytes; false when there is no status line and head.
bool parseReply(const std::string& bytes, Reply& reply);

struct CommandResult {
    bool ran = false;  // started and ended within the time
    int exitCode = -1;
    std::string output;  // stdout
};
CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

// Stream types ffprobe finds in a file or URL ("video", "audio"); empty when it finds none.
std::vector<std::string> probeStreams(const std::string& input, std::chrono::milliseconds timeout);

std::string readFileBytes(const std::string& path);

}  // namespace vigilo::test
