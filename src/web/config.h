#pragma once
// Where the web page listens and who may reach it: `--web [ADDR:]PORT` or VIGILO_WEB, with
// VIGILO_WEB_CERT / VIGILO_WEB_KEY for TLS and VIGILO_WEB_HOSTS for the names a reverse proxy
// or a browser uses to reach it.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vigilo::web {

struct WebConfig {
    std::string address = "127.0.0.1";  // a bare port binds loopback only
    int port = 0;                       // 0: the system picks one (tests)
    // Host names accepted in the Host header besides the loopback names and the bound address.
    std::vector<std::string> hostNames;
    std::string certFile, keyFile;  // both set: HTTPS
    // Wrong tokens cost nothing for the first few tries from an address, then each further
    // wrong answer waits this long (doubling up to maxFailureDelay).
    int freeFailures = 5;
    std::chrono::milliseconds failureDelay{500};
    std::chrono::milliseconds maxFailureDelay{8000};
    // How long an action waits for the UI thread to take it before it is answered 503.
    std::chrono::milliseconds uiBound{10000};

    bool tls() const { return !certFile.empty() && !keyFile.empty(); }
};

// "[ADDR:]PORT": "8080", "0.0.0.0:8080", "[::1]:8080". nullopt with `error` set when malformed.
std::optional<WebConfig> parseWebAddress(const std::string& text, std::string& error);

// VIGILO_WEB (nullopt when unset or empty), with VIGILO_WEB_CERT, VIGILO_WEB_KEY and
// VIGILO_WEB_HOSTS; `error` set when one of them is malformed. `address` overrides VIGILO_WEB
// (the command line's --web).
std::optional<WebConfig> webConfigFromEnvironment(const std::string& address, std::string& error);

}  // namespace vigilo::web
