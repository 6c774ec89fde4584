// The parts of an address that the clients take from it.
#include <string>

#include "fuzz_input.h"
#include "net/http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view url(reinterpret_cast<const char*>(data), size);
    const std::string host = vigilo::urlHost(url);
    FUZZ_CHECK(host.find('/') == std::string::npos && host.find(':') == std::string::npos);
    const int port = vigilo::urlPort(url);
    FUZZ_CHECK(port >= 0 && port <= 65535);
    const std::string path = vigilo::urlPath(url);
    FUZZ_CHECK(path.starts_with('/'));
    FUZZ_CHECK(path == "/" || url.ends_with(path));
    return 0;
}
