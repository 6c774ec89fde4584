#include "sim/hostile.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>

#include "sim/http_server.h"

namespace vigilo::sim {
namespace {

constexpr std::size_t kPiece = 64 * 1024;
constexpr std::size_t kEndlessLength = std::size_t{1} << 40;

std::string typeOf(const HttpResponse& normal, const char* fallback) {
    for (const auto& [name, value] : normal.headers)
        if (name == "Content-Type") return value;
    return fallback;
}

// Writes one piece and, when paced, waits as long as the rate asks for it.
bool writePaced(Connection& conn, std::string_view piece, std::size_t bytesPerSecond) {
    if (!conn.write(piece)) return false;
    if (bytesPerSecond == 0) return true;
    const auto wait = std::chrono::milliseconds(std::max<std::size_t>(1, piece.size() * 1000 / bytesPerSecond));
    return conn.pause(wait);
}

void playLongArray(Connection& conn, const HttpResponse& normal, const HostileAnswer& answer, bool headOnly) {
    // {"hostile_padding":[0,0,...,0],<the normal members>}
    const std::string_view body = normal.body;
    const bool object = body.size() >= 2 && body.front() == '{';
    const std::string head = "{\"hostile_padding\":[0";
    const std::string tail = object && body.size() > 2 ? "]," + std::string(body.substr(1)) : "]}";
    const std::size_t fixed = head.size() + tail.size();
    const std::size_t total = std::max(answer.bytes, fixed);
    std::size_t padding = total - fixed;  // ",0" pairs, and one blank when it is odd
    HttpResponse r{200, "", {{"Content-Type", typeOf(normal, "application/json; charset=utf-8")}}, ""};
    if (!conn.write(Connection::serializeHead(r, total, conn.keepAlive() && !conn.isHttp10())) || headOnly) return;
    if (!writePaced(conn, head, answer.bytesPerSecond)) return;
    std::string block;
    while (block.size() < kPiece) block += ",0";
    if (padding % 2 == 1) {
        if (!conn.write(" ")) return;
        --padding;
    }
    while (padding > 0) {
        const std::size_t n = std::min(padding, block.size());
        if (!writePaced(conn, std::string_view(block).substr(0, n), answer.bytesPerSecond)) return;
        padding -= n;
    }
    writePaced(conn, tail, answer.bytesPerSecond);
}

void playEndless(Connection& conn, const HostileAnswer& answer, bool headOnly) {
    conn.closeAfterResponse();
    HttpResponse r{200, "", {{"Content-Type", "video/mp4"}}, ""};
    const std::size_t length = answer.bytes == 0 ? kEndlessLength : answer.bytes;
    if (!conn.write(Connection::serializeHead(r, length, false)) || headOnly) return;
    // It begins like a video (an FLV header), so only its length can stop the download.
    std::string block(kPiece, '\x42');
    block.replace(0, 5, "FLV\x01\x05");
    if (!writePaced(conn, block, answer.bytesPerSecond)) return;
    block.replace(0, 5, 5, '\x42');
    while (writePaced(conn, block, answer.bytesPerSecond)) {
    }
}

}  // namespace

void playHostile(Connection& conn, const HttpResponse& normal, const HostileAnswer& answer, bool headOnly) {
    switch (answer.kind) {
        case HostileKind::LongArray: playLongArray(conn, normal, answer, headOnly); return;
        case HostileKind::Endless: playEndless(conn, answer, headOnly); return;
        case HostileKind::None: conn.send(normal, headOnly); return;
    }
}

}  // namespace vigilo::sim
