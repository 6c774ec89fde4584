// Header, cookie and URL helpers shared by the three clients, and the process-wide settings.
#include <cstdlib>
#include <mutex>

#include "net/exchange.h"
#include "net/http.h"
#include "text/strings.h"

namespace vigilo {
namespace {

constexpr std::string_view kCrLf = "\r\n";

// Pieces of `text` between separators; a trailing empty piece is dropped, inner ones kept.
std::vector<std::string_view> splitKeepingInner(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> pieces;
    std::size_t from = 0;
    while (true) {
        const auto at = text.find(separator, from);
        if (at == std::string_view::npos) {
            if (from < text.size()) pieces.push_back(text.substr(from));
            break;
        }
        pieces.push_back(text.substr(from, at - from));
        from = at + separator.size();
    }
    return pieces;
}

char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The text between the first `left` and the next `right` after it; "" when either is missing.
std::string between(std::string_view text, std::string_view left, std::string_view right) {
    const auto l = text.find(left);
    if (l == std::string_view::npos) return {};
    const auto start = l + left.size();
    const auto r = text.find(right, start);
    if (r == std::string_view::npos) return {};
    return std::string(text.substr(start, r - start));
}

std::string removeAllNoCase(std::string_view text, std::string_view needle) {
    std::string out;
    const std::string lower = toLowerAscii(text);
    const std::string lowerNeedle = toLowerAscii(needle);
    std::size_t from = 0;
    while (true) {
        const auto at = lower.find(lowerNeedle, from);
        if (at == std::string::npos) {
            out.append(text.substr(from));
            return out;
        }
        out.append(text.substr(from, at - from));
        from = at + needle.size();
    }
}

std::string cookieName(std::string_view item) {
    const auto eq = item.find('=');
    return trimBlanks(eq == std::string_view::npos ? item : item.substr(0, eq));
}

// The host with its port, as urlHost finds it before cutting the port.
std::string hostAndPort(std::string_view url) {
    std::string text = toLowerAscii(url);
    if (!endsWith(text, "/")) text += '/';
    if (startsWith(text, "https://")) return between(text, "https://", "/");
    if (text.find("http://") == std::string::npos) text.insert(0, "http://");
    return between(text, "http://", "/");
}

struct ConfigStore {
    std::mutex mutex;
    NetConfig config = NetConfig::fromEnvironment();
};

ConfigStore& configStore() {
    static ConfigStore store;
    return store;
}

}  // namespace

const char* methodVerb(HttpMethod method) {
    static constexpr const char* kVerbs[] = {"GET", "POST", "HEAD", "PUT", "OPTIONS", "DELETE", "TRACE", "CONNECT"};
    const int index = static_cast<int>(method);
    if (index < 0 || index > static_cast<int>(HttpMethod::Connect)) return "GET";
    return kVerbs[index];
}

std::string normalizeHeaderNames(std::string_view headerText) {
    std::string result;
    for (std::string_view line : splitKeepingInner(headerText, kCrLf)) {
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string name(line.substr(0, colon));
        bool startOfPiece = true;
        for (char& c : name) {
            if (startOfPiece) c = upperAscii(c);
            startOfPiece = c == '-';
        }
        result += name;
        result.append(line.substr(colon));
        result.append(kCrLf);
    }
    if (endsWith(result, kCrLf)) result.resize(result.size() - kCrLf.size());
    return result;
}

std::string mergeCookies(std::string_view sent, std::string_view received) {
    auto prepare = [](std::string_view text) {
        std::string trimmed = trimBlanks(text);
        if (endsWith(trimmed, ";")) trimmed += ' ';
        return trimmed;
    };
    const std::string sentText = prepare(sent);
    const std::string receivedText = prepare(received);
    std::vector<std::string> items;
    for (std::string_view item : splitKeepingInner(receivedText, "; ")) items.emplace_back(item);
    const std::size_t receivedCount = items.size();

    for (std::string_view item : splitKeepingInner(sentText, "; ")) {
        const std::string name = cookieName(item);
        bool replaced = false;
        for (std::size_t i = 0; i < receivedCount && !replaced; ++i) replaced = cookieName(items[i]) == name;
        if (!replaced) items.emplace_back(item);
    }

    std::string joined;
    for (const std::string& item : items) {
        if (endsWith(item, "=deleted")) continue;
        joined += item;
        joined += "; ";
    }
    if (endsWith(joined, "; ")) joined.resize(joined.size() - 2);

    std::vector<std::string_view> unique;
    for (std::string_view item : splitKeepingInner(joined, "; ")) {
        bool seen = false;
        for (std::string_view kept : unique) seen = seen || kept == item;
        if (!seen) unique.push_back(item);
    }
    std::string result;
    for (std::size_t i = 0; i < unique.size(); ++i) {
        if (i != 0) result += "; ";
        result.append(unique[i]);
    }
    return result;
}

std::string collectSetCookies(std::string_view responseHeaders) {
    std::string cookies;
    for (std::string_view line : splitKeepingInner(responseHeaders, kCrLf)) {
        const auto sep = line.find(": ");
        if (sep == std::string_view::npos || line.substr(0, sep) != "Set-Cookie") continue;
        std::string cookie = line.find(';') == std::string_view::npos ? trimBlanks(removeAllNoCase(line, "Set-Cookie:"))
                                                                      : trimBlanks(between(line, "Set-Cookie:", ";"));
        // A header without a pair ("Set-Cookie: ; path=/") adds nothing.
        if (cookie.empty()) continue;
        cookies += cookie;
        cookies += "; ";
    }
    if (endsWith(cookies, "; ")) cookies.resize(cookies.size() - 2);
    return cookies;
}

std::string urlHost(std::string_view url) {
    std::string host = hostAndPort(url);
    const auto colon = host.find(':');
    if (colon != std::string::npos) host.resize(colon);
    return host;
}

int urlPort(std::string_view url) {
    const std::string host = hostAndPort(url);
    const auto colon = host.rfind(':');
    if (colon != std::string::npos) {
        long port = 0;
        for (std::size_t i = colon + 1; i < host.size() && host[i] >= '0' && host[i] <= '9'; ++i) {
            port = port * 10 + (host[i] - '0');
            if (port > 65535) return 0;
        }
        return static_cast<int>(port);
    }
    return toLowerAscii(url.substr(0, 5)) == "https" ? 443 : 80;
}

std::string urlPath(std::string_view url) {
    const std::string host = urlHost(url);
    const std::string lower = toLowerAscii(url);
    // The host is looked for after the scheme, so a host that also occurs in "http" is not
    // found inside the scheme itself.
    const auto scheme = lower.find("://");
    const std::size_t from = scheme == std::string::npos ? 0 : scheme + 3;
    const auto at = lower.find(host, from);
    if (at == std::string::npos) return "/";
    const auto slash = url.find('/', at + host.size());
    if (slash == std::string_view::npos) return "/";
    return std::string(url.substr(slash));
}

NetConfig NetConfig::fromEnvironment() {
    NetConfig config;
    const char* insecure = std::getenv("VIGILO_INSECURE_TLS");
    config.insecureTls = insecure != nullptr && std::string_view(insecure) == "1";
    // Whole mebibytes; anything that is not a positive number keeps the default.
    const auto megabytes = [](const char* name, auto& into) {
        const char* text = std::getenv(name);
        if (text == nullptr || *text == '\0') return;
        char* end = nullptr;
        const long long value = std::strtoll(text, &end, 10);
        if (*end != '\0' || value <= 0 || value > (1LL << 40)) return;
        into = static_cast<std::remove_reference_t<decltype(into)>>(value) << 20;
    };
    megabytes("VIGILO_ANSWER_BUDGET_MB", config.answerBudgetBytes);
    megabytes("VIGILO_MAX_VIDEO_MB", config.maxVideoBytes);
    megabytes("VIGILO_MIN_FREE_MB", config.minFreeBytes);
    if (const char* text = std::getenv("VIGILO_REQUESTS_PER_MINUTE"); text != nullptr && *text != '\0') {
        char* end = nullptr;
        const long long value = std::strtoll(text, &end, 10);
        if (*end == '\0' && value > 0 && value <= 1000000) config.requestsPerMinute = static_cast<double>(value);
    }
    return config;
}

const NetConfig& netConfig() { return configStore().config; }

void setNetConfig(const NetConfig& config) {
    ConfigStore& store = configStore();
    std::lock_guard lock(store.mutex);
    store.config = config;
}

namespace net {
NetConfig currentNetConfig() {
    ConfigStore& store = configStore();
    std::lock_guard lock(store.mutex);
    return store.config;
}
}  // namespace net

}  // namespace vigilo
