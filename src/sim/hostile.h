#pragma once
// Answers a hostile service plays in place of an endpoint's normal one: bodies meant to cost
// the client memory or disk rather than to be read.
#include <cstddef>

namespace vigilo::sim {

enum class HostileKind {
    None,
    // The normal JSON answer with a long array put in front of its members: a valid object of
    // `bytes` bytes, with everything the client reads still in it.
    LongArray,
    // A video body that does not end while the client reads: announced as `bytes` long, or as
    // a terabyte when `bytes` is 0.
    Endless,
};

struct HostileAnswer {
    HostileKind kind = HostileKind::None;
    std::size_t bytes = std::size_t{60} << 20;  // the whole body (LongArray), its announced length (Endless)
    std::size_t bytesPerSecond = 0;             // 0: as fast as the client reads
};

class Connection;
struct HttpResponse;

// Plays `answer` on the connection; `normal` is what the endpoint would have answered.
void playHostile(Connection& conn, const HttpResponse& normal, const HostileAnswer& answer, bool headOnly);

}  // namespace vigilo::sim
