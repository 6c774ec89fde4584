#pragma once
// The one place that drives libcurl. The three clients and the downloads describe an exchange
// here after applying their own header, cookie and redirect rules; this layer validates what
// reaches the wire, runs the transfer and reports what happened at each stage.
#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/budget.h"
#include "net/curl_api.h"
#include "net/http.h"

namespace vigilo::net {

struct EasyDeleter {
    void operator()(CURL* handle) const noexcept { curlApi()->easy_cleanup(handle); }
};
struct UrlDeleter {
    void operator()(CURLU* handle) const noexcept { curlApi()->url_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

// Owner of a header list; curl_slist_append returns null on failure and leaves the old list
// alone, so the list is only replaced once the append worked.
class HeaderList {
public:
    HeaderList() = default;
    ~HeaderList() { release(); }
    HeaderList(HeaderList&& other) noexcept : list_(other.list_) { other.list_ = nullptr; }
    HeaderList& operator=(HeaderList&& other) noexcept {
        if (this != &other) {
            release();
            list_ = other.list_;
            other.list_ = nullptr;
        }
        return *this;
    }
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;

    bool append(const std::string& line) {
        const CurlApi* api = curlApi();
        if (api == nullptr) return false;
        curl_slist* grown = api->slist_append(list_, line.c_str());
        if (grown == nullptr) return false;
        list_ = grown;
        return true;
    }
    curl_slist* get() const { return list_; }

private:
    // A list exists only once the library is loaded.
    void release() {
        if (list_ != nullptr) curlApi()->slist_free_all(list_);
    }

    curl_slist* list_ = nullptr;
};

struct HeaderField {
    std::string name;
    std::string value;
};

// A header line may reach curl only when its name is an HTTP token and its value holds no
// control byte but the tab: anything else could end the line early and start another.
bool headerNameIsToken(std::string_view name);
bool headerValueIsSafe(std::string_view value);

// A URL curl may be given: http or https with a host, no control byte; blanks and bytes above
// 0x7F are percent-encoded. With guessHttp a text without a scheme is taken as http.
std::optional<std::string> checkedUrl(std::string_view url, bool guessHttp, std::string* why = nullptr);

// Where a failure happened, in the order the options are applied.
enum class Stage {
    None,
    Init,  // no easy handle
    Url,   // the URL was refused
    Timeouts,
    Proxy,
    Method,
    Credentials,
    Tls,
    Cookies,
    Redirects,
    Headers,
    Transfer,  // curl_easy_perform failed
};

struct ExchangeRequest {
    std::string url;  // already passed through checkedUrl
    std::string verb = "GET";
    std::vector<HeaderField> headers;  // in order; invalid lines are left out
    bool sendBody = false;             // POST always sends one, even empty
    std::string body;
    bool followRedirects = true;
    bool httpsOnly = false;  // neither the address nor a redirect may be plain http
    long connectTimeoutSeconds = 15;
    long stallSeconds = 30;  // no byte for this long ends the exchange
    // Fewer bytes a second than this, averaged over stallSeconds, also ends it: a server that
    // drips a byte at a time never stalls, yet would hold the exchange for ever.
    long minBytesPerSecond = 1;
    long totalTimeoutSeconds = 0;                                          // 0: no overall limit
    std::string proxy;                                                     // empty: direct
    std::optional<std::pair<std::string, std::string>> proxyCredentials;   // basic
    std::optional<std::pair<std::string, std::string>> serverCredentials;  // basic
    bool cookieEngine = false;                                             // cookies set during redirects travel on
    // Collected bodies only; 0: no limit. Collected bodies also take their bytes from the
    // process-wide answer budget, waiting for them up to the overall time-out (at least the
    // stall time).
    std::size_t maxBodyBytes = 0;
    std::string acceptEncoding;   // non-empty: curl asks for and decodes these codings
    long receiveBufferBytes = 0;  // 0: libcurl's default; large bodies go in fewer, larger pieces
    // The caller judges the answer: it tells the request budget what the answer signalled
    // (net::reportAnswer), or nothing when the host is not the watched service's. Otherwise
    // the exchange reports the answer's status.
    bool contentJudged = false;
    // Called when the header block of the final response is complete; false aborts.
    std::function<bool(long status, std::int64_t contentLength, bool hasContentEncoding)> onFinalHeaders;
    // Streams the final response's body instead of collecting it; false aborts.
    std::function<bool(const char* data, std::size_t size)> sink;
};

// Why an exchange (or the save of what it brought) failed, as one kind; the detail in words
// (curl's text, the limit passed) goes beside it. The Chinese reasons of the log are mapped from
// it (net/reason.h).
enum class FailureKind {
    None,             // it worked
    TimedOut,         // no answer, or no byte, within the time allowed
    Stalled,          // no byte moved for the stall limit (told as a time-out)
    NoConnection,     // the host could not be found, reached, or the connection broke
    Tls,              // the secure connection or the certificate failed
    HttpStatus,       // the server answered with an error status (the status goes beside it)
    NotVideo,         // a page came back where a video was expected
    ShortBody,        // the answer ended before the length it announced
    DiskFull,         // nothing more could be written
    TooLarge,         // the body is larger than the limit allows
    HeadersTooLarge,  // the header block is larger than the limit allows
    BudgetSpent,      // the answer budget stayed spent: too many large answers held at once
    Aborted,          // the caller's header check or sink said stop
    Stopped,          // the program's owner asked the work to stop
    Other,            // anything else (a refused address, a set-up that failed, …)
};

// How far an exchange got before it ended: what a caller needs to tell a refused request from
// an answer cut short.
enum class Reached {
    Nothing,      // no request went out
    RequestSent,  // the request went out; no whole header block came back
    HeaderBlock,  // the last response's header block arrived whole
};

struct ExchangeOutcome {
    Stage failedStage = Stage::None;
    CURLcode code = CURLE_OK;
    FailureKind failure = FailureKind::None;  // None on success
    std::string error;                        // the failure's detail; empty on success
    long status = 0;                          // status of the last response seen
    std::string headerBlock;                  // last response: status line, header lines and the blank line, CR LF each
    // The collected body's share of the answer budget. Declared before the body so it is given
    // back after the body's memory is freed (see AnswerHold).
    std::shared_ptr<AnswerHold> hold;
    std::string body;  // collected body of the final response
    Reached reached = Reached::Nothing;
    bool ok() const { return failedStage == Stage::None; }
};

// On a failed transfer the body holds what arrived before the failure, except when it grew
// past maxBodyBytes: then it is empty.
ExchangeOutcome performExchange(const ExchangeRequest& request);

// A copy of the process-wide settings, safe to take from any thread.
NetConfig currentNetConfig();

// Header blocks are capped so a hostile answer cannot grow memory without bound.
inline constexpr std::size_t kMaxHeaderBlockBytes = std::size_t{1} << 20;
inline constexpr int kMaxRedirects = 10;

}  // namespace vigilo::net
