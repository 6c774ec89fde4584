#include "web/config.h"

#include <cstdlib>

#include "text/strings.h"

namespace vigilo::web {

namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

bool allDigits(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

std::optional<WebConfig> parseWebAddress(const std::string& text, std::string& error) {
    WebConfig config;
    std::string host, port = text;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find("]:");
        if (close == std::string::npos) {
            error = "web address '" + text + "' needs the form [ADDR]:PORT";
            return std::nullopt;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host.find(':') != std::string::npos) {
            error = "web address '" + text + "': put an IPv6 address in brackets, [ADDR]:PORT";
            return std::nullopt;
        }
    }
    if (!allDigits(port) || std::atoi(port.c_str()) > 65535) {
        error = "web address '" + text + "' needs a port from 0 to 65535";
        return std::nullopt;
    }
    config.port = std::atoi(port.c_str());
    if (!host.empty()) {
        for (char c : host) {
            const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
                            c == ':' || c == '-';
            if (!ok) {
                error = "web address '" + text + "': '" + host + "' is not an address";
                return std::nullopt;
            }
        }
        config.address = host;
    }
    return config;
}

std::optional<WebConfig> webConfigFromEnvironment(const std::string& address, std::string& error) {
    const std::string text = address.empty() ? env("VIGILO_WEB") : address;
    if (text.empty()) return std::nullopt;
    auto config = parseWebAddress(text, error);
    if (!config) return std::nullopt;
    config->certFile = env("VIGILO_WEB_CERT");
    config->keyFile = env("VIGILO_WEB_KEY");
    if (config->certFile.empty() != config->keyFile.empty()) {
        error = "VIGILO_WEB_CERT and VIGILO_WEB_KEY go together: set both for HTTPS, or neither";
        return std::nullopt;
    }
    const std::string hosts = env("VIGILO_WEB_HOSTS");
    std::size_t from = 0;
    while (from <= hosts.size()) {
        auto end = hosts.find(',', from);
        if (end == std::string::npos) end = hosts.size();
        const std::string name = toLowerAscii(trimBlanks(hosts.substr(from, end - from)));
        if (!name.empty()) config->hostNames.push_back(name);
        from = end + 1;
    }
    return config;
}

}  // namespace vigilo::web
