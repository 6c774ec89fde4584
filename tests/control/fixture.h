#pragma once
// A context on a fresh directory with quick pacing and a recording user interface; the
// service endpoints point at a closed loopback port so nothing leaves the machine.
#include <memory>

#include "app/context.h"
#include "support/testdir.h"

namespace vigilo::testing {

inline Endpoints deadEndpoints() {
    Endpoints endpoints;
    endpoints.account = "http://127.0.0.1:9";
    endpoints.live = "http://127.0.0.1:9";
    return endpoints;
}

struct ContextFixture {
    TempDir dir;
    RecordingUserInterface ui;
    std::unique_ptr<AppContext> ctx =
        std::make_unique<AppContext>(Paths::forDirectory(dir.path()), Pacing{}.scaled(0.01), deadEndpoints(), ui);
};

}  // namespace vigilo::testing
