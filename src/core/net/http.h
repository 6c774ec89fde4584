#pragma once
// The three HTTP clients. Each exchange is synchronous on the calling thread and shares no
// cookie, header or credential with any other exchange. A failed exchange yields empty values,
// never an exception; `error` carries a diagnostic for logs and tests.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vigilo {

namespace net {
class AnswerHold;
}

// Caps on collected answers: the service's JSON answers are under 200 KB, its redirect pages
// a few hundred bytes.
inline constexpr std::size_t kMaxJsonAnswerBytes = std::size_t{8} << 20;
inline constexpr std::size_t kMaxPageAnswerBytes = std::size_t{1} << 20;

// The request methods by the numbers a caller may give them; a number outside them means GET.
enum class HttpMethod : int { Get = 0, Post, Head, Put, Options, Delete, Trace, Connect };

// Parameters of one exchange. An unset optional is a parameter that was not given.
struct HttpRequestOptions {
    std::string url;
    std::optional<HttpMethod> method;  // GET when unset
    std::optional<std::string> bodyText;
    std::optional<std::string> cookies;
    std::string receivedCookiesIn;            // native client: received cookies are appended to this
    std::optional<std::string> extraHeaders;  // lines separated by CR LF
    std::optional<bool> noRedirect;
    std::optional<std::string> bodyBytes;
    std::optional<std::string> proxy;
    std::optional<int> timeoutSeconds;
    std::optional<std::string> serverUser, serverPassword;  // native client
    std::optional<std::string> proxyUser, proxyPassword;
    std::optional<int> credentialTarget;      // scriptable client, default 1
    std::optional<bool> autoMergeCookies;     // default true
    std::optional<bool> completeHeaders;      // default true
    std::optional<bool> normalizeHeaderCase;  // default true
    // A larger answer body fails the exchange; never above NetConfig::maxBodyBytes.
    std::optional<std::size_t> maxBodyBytes;
    // The caller reads the answer and tells the request budget itself whether it was usable
    // (net::reportAnswer); the exchange then reports nothing of it.
    bool contentJudged = false;
};

struct HttpResult {
    // The body's share of the process-wide answer budget, given back with the last copy.
    // Declared first so it goes last, once the body's memory is freed (see net::AnswerHold).
    std::shared_ptr<net::AnswerHold> answerHold;
    std::string body;              // raw body bytes
    std::string responseHeaders;   // header block, lines separated by CR LF (last response's block)
    std::string receivedCookies;   // name=value pairs joined by "; "
    int statusCode = 0;            // 0 when no answer
    std::string redirectLocation;  // native client
    std::string statusText;        // native client: "200 OK" or a numbered message
    std::string text;              // native client: the decoded body text
    std::string error;             // diagnostic, empty on success
    int transportCode = 0;         // libcurl's code of a failed exchange (URL refused: 3), else 0
    bool transportOk() const { return error.empty(); }
};

// The verb of a method; a number outside the enum's means GET.
const char* methodVerb(HttpMethod method);

class ScriptableHttpClient {
public:
    static HttpResult send(const HttpRequestOptions& options);
};

class NativeHttpClient {
public:
    static HttpResult send(const HttpRequestOptions& options);
};

class InternetHttpClient {
public:
    static HttpResult send(const HttpRequestOptions& options);
};

// Header and cookie helpers shared by the clients.
std::string normalizeHeaderNames(std::string_view headerText);
std::string mergeCookies(std::string_view sent, std::string_view received);
// Set-Cookie collection: exact "Set-Cookie" name, the name=value pair up to the first ";".
std::string collectSetCookies(std::string_view responseHeaders);
std::string urlHost(std::string_view url);
int urlPort(std::string_view url);
std::string urlPath(std::string_view url);

// Process-wide network settings (read once from the environment, replaceable in tests).
struct NetConfig {
    bool insecureTls = false;                          // VIGILO_INSECURE_TLS=1
    std::size_t maxBodyBytes = std::size_t{64} << 20;  // JSON and redirect pages
    // Collected answer bytes held at once by the whole process (VIGILO_ANSWER_BUDGET_MB).
    std::size_t answerBudgetBytes = std::size_t{64} << 20;
    // Requests a minute sent to one host by the whole program (VIGILO_REQUESTS_PER_MINUTE); a
    // request waits for its turn. 0: no cap.
    double requestsPerMinute = 0;
    // A video larger than this is given up (VIGILO_MAX_VIDEO_MB), and so is a download once
    // the file system of its folder has less than minFreeBytes free (VIGILO_MIN_FREE_MB).
    std::int64_t maxVideoBytes = std::int64_t{4} << 30;
    std::int64_t minFreeBytes = std::int64_t{1} << 30;
    // Time-outs of the exchanges that take none as a parameter (the Internet-API client and
    // the downloads): connecting, and the longest wait without a byte.
    long connectSeconds = 15;
    long stallSeconds = 30;
    // Tests only: every exchange's time-outs (connecting, stalling, overall) multiplied by this,
    // none below one second, so the fault tests run the real code paths in seconds.
    double timeoutScale = 1.0;
    static NetConfig fromEnvironment();
};
const NetConfig& netConfig();
void setNetConfig(const NetConfig& config);

}  // namespace vigilo
