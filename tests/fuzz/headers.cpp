// Header normalisation, the cookie merge and Set-Cookie collection. Layout: the header block,
// NUL, the cookies sent, NUL, the cookies received.
#include <set>
#include <string>

#include "fuzz_input.h"
#include "net/http.h"

namespace {

std::vector<std::string_view> cookieItems(std::string_view text) {
    std::vector<std::string_view> items;
    if (text.empty()) return items;
    for (;;) {
        const size_t at = text.find("; ");
        items.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return items;
        text.remove_prefix(at + 2);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vigilo::fuzz::Input in(data, size);
    const std::string_view headers = in.upTo('\0');
    const std::string_view sent = in.upTo('\0');
    const std::string_view received = in.rest();

    const std::string normal = vigilo::normalizeHeaderNames(headers);
    FUZZ_CHECK(normal.size() <= headers.size());
    FUZZ_CHECK(!normal.ends_with("\r\n"));
    FUZZ_CHECK(vigilo::normalizeHeaderNames(normal) == normal);

    const std::string collected = vigilo::collectSetCookies(headers);
    FUZZ_CHECK(collected.size() <= headers.size());
    (void)vigilo::collectSetCookies(normal);

    // Each cookie appears once, and deleted ones are gone.
    const std::string merged = vigilo::mergeCookies(sent, received);
    std::set<std::string_view> seen;
    for (std::string_view item : cookieItems(merged)) {
        FUZZ_CHECK(seen.insert(item).second);
        FUZZ_CHECK(!item.ends_with("=deleted"));
    }
    (void)vigilo::mergeCookies(merged, collected);
    return 0;
}
