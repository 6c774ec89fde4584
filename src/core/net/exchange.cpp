#include "net/exchange.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "net/http.h"
#include "net/politeness.h"
#include "net/reason.h"
#include "sys/spawn.h"
#include "sys/stop.h"
#include "text/strings.h"

namespace vigilo::net {
namespace {

// Only reached once curlApi() returned the loaded library: every path into a transfer or a
// URL check looks first.
const CurlApi& curl() { return *curlApi(); }

struct ShareDeleter {
    void operator()(CURLSH* share) const noexcept { curl().share_cleanup(share); }
};
using ShareHandle = std::unique_ptr<CURLSH, ShareDeleter>;

// Process-wide curl state. The share carries the DNS cache and TLS sessions (never cookies);
// idle easy handles are kept so their connections and their cached CA store serve the next
// exchange. Connections stay inside their own easy handle because libcurl cannot hand a shared
// connection cache safely between concurrent threads. Created once and never destroyed:
// detached worker threads may still run an exchange while the process ends.
struct Global {
    std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
    ShareHandle share;
    std::mutex poolMutex;
    std::vector<EasyHandle> idle;
};

constexpr std::size_t kMaxIdleHandles = 64;
// Idle connections each kept handle may hold (the endpoints, a share-link host, a CDN).
constexpr long kConnectionsPerHandle = 3;

void lockShared(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    auto* g = static_cast<Global*>(user);
    if (data >= 0 && data < CURL_LOCK_DATA_LAST) g->locks[static_cast<std::size_t>(data)].lock();
}

void unlockShared(CURL*, curl_lock_data data, void* user) {
    auto* g = static_cast<Global*>(user);
    if (data >= 0 && data < CURL_LOCK_DATA_LAST) g->locks[static_cast<std::size_t>(data)].unlock();
}

Global& global() {
    static Global* g = [] {
        curl().global_init(CURL_GLOBAL_DEFAULT);
        // A peer that closes its end must give a write error, not end the process.
        ignoreBrokenPipes();
        auto* state = new Global;
        state->share.reset(curl().share_init());
        if (state->share) {
            CURLSH* s = state->share.get();
            curl().share_setopt(s, CURLSHOPT_USERDATA, state);
            curl().share_setopt(s, CURLSHOPT_LOCKFUNC, lockShared);
            curl().share_setopt(s, CURLSHOPT_UNLOCKFUNC, unlockShared);
            curl().share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
            curl().share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        }
        return state;
    }();
    return *g;
}

EasyHandle acquireEasy() {
    Global& g = global();
    {
        std::lock_guard lock(g.poolMutex);
        if (!g.idle.empty()) {
            EasyHandle handle = std::move(g.idle.back());
            g.idle.pop_back();
            return handle;
        }
    }
    return EasyHandle(curl().easy_init());
}

// Options, headers, credentials and callbacks are wiped before a handle goes back; a handle
// that held a cookie store or credentials is not kept at all.
void releaseEasy(EasyHandle handle, bool reusable) {
    if (!handle) return;
    if (!reusable) return;
    curl().easy_reset(handle.get());
    Global& g = global();
    std::lock_guard lock(g.poolMutex);
    if (g.idle.size() < kMaxIdleHandles) g.idle.push_back(std::move(handle));
}

bool isTokenChar(unsigned char c) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
    switch (c) {
        case '!':
        case '#':
        case '$':
        case '%':
        case '&':
        case '\'':
        case '*':
        case '+':
        case '-':
        case '.':
        case '^':
        case '_':
        case '`':
        case '|':
        case '~': return true;
        default: return false;
    }
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && toLowerAscii(a) == toLowerAscii(b);
}

long parseStatus(std::string_view statusLine) {
    const auto space = statusLine.find(' ');
    if (space == std::string_view::npos) return 0;
    long code = 0;
    int digits = 0;
    for (std::size_t i = space + 1; i < statusLine.size() && digits < 3; ++i, ++digits) {
        const char c = statusLine[i];
        if (c < '0' || c > '9') break;
        code = code * 10 + (c - '0');
    }
    return digits == 3 ? code : 0;
}

struct Transfer {
    const ExchangeRequest* request = nullptr;
    ExchangeOutcome* outcome = nullptr;
    CURL* handle = nullptr;
    // The stall clock: it starts once the connection is up and restarts with every byte.
    bool connected = false;
    std::chrono::milliseconds stallLimit{0};
    curl_off_t lastBytes = 0;
    std::chrono::steady_clock::time_point lastActivity;
    // How long the answer may wait for its share of the answer budget: the server is not
    // stalling meanwhile, so the whole exchange's time, not the stall time.
    std::chrono::milliseconds budgetWait{0};
    bool finalResponse = false;
    bool blankSeen = false;
    bool hasLocation = false;
    bool hasContentEncoding = false;
    std::int64_t contentLength = -1;
};

constexpr std::size_t kFirstAnswerHold = std::size_t{64} << 10;

std::string_view withoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    return line;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    ExchangeOutcome& out = *t.outcome;
    const size_t length = size * count;
    const std::string_view raw(data, length);

    if (startsWith(raw, "HTTP/")) {
        // A new response (a redirect followed, an interim 1xx): only the last one counts.
        out.headerBlock.clear();
        out.body.clear();
        out.status = parseStatus(withoutLineEnd(raw));
        out.reached = Reached::Nothing;
        t.finalResponse = false;
        t.blankSeen = false;
        t.hasLocation = false;
        t.hasContentEncoding = false;
        t.contentLength = -1;
    } else if (t.blankSeen) {
        return length;  // trailers after a chunked body
    }

    const std::string_view line = withoutLineEnd(raw);
    if (out.headerBlock.size() + line.size() + 2 > kMaxHeaderBlockBytes) {
        out.failure = FailureKind::HeadersTooLarge;
        return 0;
    }
    out.headerBlock.append(line);
    out.headerBlock.append("\r\n");

    if (line.empty()) {
        t.blankSeen = true;
        out.reached = Reached::HeaderBlock;
        const bool redirectFollowed = t.request->followRedirects && out.status / 100 == 3 && t.hasLocation;
        if (out.status >= 200 && !redirectFollowed) {
            t.finalResponse = true;
            // An announced length is refused or held at once: waiting for the budget while
            // holding nothing can never block the holders that would give bytes back.
            const bool decoded = t.hasContentEncoding && !t.request->acceptEncoding.empty();
            if (!t.request->sink && t.contentLength > 0 && !decoded) {
                const std::size_t cap = t.request->maxBodyBytes;
                if (cap != 0 && static_cast<std::uint64_t>(t.contentLength) > cap) {
                    out.failure = FailureKind::TooLarge;
                    return 0;
                }
                if (!out.hold) out.hold = std::make_shared<AnswerHold>();
                const auto length = static_cast<std::size_t>(t.contentLength);
                if (!out.hold->growTo(length, std::chrono::steady_clock::now() + t.budgetWait)) {
                    out.failure = FailureKind::BudgetSpent;
                    return 0;
                }
                t.lastActivity = std::chrono::steady_clock::now();
                out.body.reserve(length);
            }
            if (t.request->onFinalHeaders &&
                !t.request->onFinalHeaders(out.status, t.contentLength, t.hasContentEncoding)) {
                out.failure = FailureKind::Aborted;
                return 0;
            }
        }
        return length;
    }

    const auto colon = line.find(':');
    if (colon != std::string_view::npos) {
        const std::string_view name = line.substr(0, colon);
        if (equalsNoCase(name, "Location")) {
            t.hasLocation = true;
        } else if (equalsNoCase(name, "Content-Encoding")) {
            t.hasContentEncoding = !trimBlanks(line.substr(colon + 1)).empty();
        } else if (equalsNoCase(name, "Content-Length")) {
            const std::string value = trimBlanks(line.substr(colon + 1));
            std::int64_t parsed = 0;
            bool valid = !value.empty() && value.size() <= 18;
            for (char c : value) {
                if (c < '0' || c > '9') {
                    valid = false;
                    break;
                }
                parsed = parsed * 10 + (c - '0');
            }
            t.contentLength = valid ? parsed : -1;
        }
    }
    return length;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    ExchangeOutcome& out = *t.outcome;
    const size_t length = size * count;
    if (!t.finalResponse) return length;  // the page of a redirect being followed
    if (t.request->sink) {
        if (t.request->sink(data, length)) return length;
        out.failure = FailureKind::Aborted;
        return 0;
    }
    const std::size_t cap = t.request->maxBodyBytes;
    const std::size_t needed = out.body.size() + length;
    if (cap != 0 && needed > cap) {
        out.failure = FailureKind::TooLarge;
        return 0;
    }
    if (!out.hold) out.hold = std::make_shared<AnswerHold>();
    if (needed > out.hold->bytes()) {
        // Doubling keeps the waits few; the body's capacity is exactly what the hold covers.
        std::size_t want = std::max({needed, out.hold->bytes() * 2, kFirstAnswerHold});
        if (cap != 0) want = std::min(want, cap);
        if (!out.hold->growTo(want, std::chrono::steady_clock::now() + t.budgetWait)) {
            out.failure = FailureKind::BudgetSpent;
            return 0;
        }
        t.lastActivity = std::chrono::steady_clock::now();
        out.body.reserve(want);
    }
    out.body.append(data, length);
    return length;
}

// curl's own low-speed check averages over several seconds, so a server that sends a little
// and then stops would be waited on far longer than the limit. This one ends the exchange once
// no byte moved for the whole limit.
//
// curl calls this about once a second even when nothing moves, so it is also where the stop
// request of the thread's owner reaches a transfer in flight.
int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto& t = *static_cast<Transfer*>(user);
    if (stopRequested()) {
        t.outcome->failure = FailureKind::Stopped;
        return 1;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!t.connected) {
        curl_off_t pretransfer = 0;
        if (curl().easy_getinfo(t.handle, CURLINFO_PRETRANSFER_TIME_T, &pretransfer) != CURLE_OK || pretransfer <= 0) {
            return 0;
        }
        t.connected = true;
        t.lastActivity = now;
    }
    const curl_off_t bytes = downloaded + uploaded;
    if (bytes != t.lastBytes) {
        t.lastBytes = bytes;
        t.lastActivity = now;
        return 0;
    }
    if (now - t.lastActivity >= t.stallLimit) {
        t.outcome->failure = FailureKind::Stalled;
        return 1;
    }
    return 0;
}

bool setOpt(CURL* handle, CURLoption option, long value) {
    return curl().easy_setopt(handle, option, value) == CURLE_OK;
}
bool setOpt(CURL* handle, CURLoption option, const char* value) {
    return curl().easy_setopt(handle, option, value) == CURLE_OK;
}

std::string hexByte(unsigned char c) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    return {'%', kHex[c >> 4], kHex[c & 15]};
}

}  // namespace

bool headerNameIsToken(std::string_view name) {
    if (name.empty()) return false;
    for (unsigned char c : name) {
        if (!isTokenChar(c)) return false;
    }
    return true;
}

bool headerValueIsSafe(std::string_view value) {
    for (unsigned char c : value) {
        if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
    }
    return true;
}

std::optional<std::string> checkedUrl(std::string_view url, bool guessHttp, std::string* why) {
    auto refuse = [&](const char* reason) -> std::optional<std::string> {
        if (why != nullptr) *why = reason;
        return std::nullopt;
    };
    std::string text;
    text.reserve(url.size() + 8);
    for (unsigned char c : url) {
        if (c < 0x20 || c == 0x7F) return refuse("control character in URL");
        if (c == ' ' || c >= 0x80) {
            text += hexByte(c);
        } else {
            text += static_cast<char>(c);
        }
    }
    if (text.empty()) return refuse("empty URL");
    if (guessHttp && text.find("://") == std::string::npos) text.insert(0, "http://");

    if (curlApi() == nullptr) return refuse("libcurl is not available");
    UrlHandle parsed(curl().url());
    if (!parsed) return refuse("out of memory");
    if (curl().url_set(parsed.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return refuse("malformed URL");
    char* scheme = nullptr;
    char* host = nullptr;
    const bool haveScheme = curl().url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK;
    const bool haveHost = curl().url_get(parsed.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK;
    const std::string schemeText = haveScheme && scheme ? toLowerAscii(scheme) : std::string();
    const bool hostEmpty = !haveHost || host == nullptr || *host == '\0';
    curl().free(scheme);
    curl().free(host);
    if (schemeText != "http" && schemeText != "https") return refuse("URL scheme is not http or https");
    if (hostEmpty) return refuse("URL has no host");
    return text;
}

ExchangeOutcome performExchange(const ExchangeRequest& request) {
    ExchangeOutcome out;
    auto fail = [&](Stage stage, std::string why) {
        out.failedStage = stage;
        if (out.failure == FailureKind::None)
            out.failure = stage == Stage::Transfer ? transferFailureKind(out.code) : FailureKind::Other;
        out.error = std::move(why);
        return out;
    };

    if (curlApi() == nullptr) return fail(Stage::Init, "libcurl is not available: " + curlLoadError());
    if (stopRequested()) {
        out.failure = FailureKind::Stopped;
        return fail(Stage::Transfer, "stopped");
    }
    {
        // Every exchange with a host shares its budget; a capped one waits for its turn here.
        HostBudget& budget = requestBudget();
        budget.setCap(currentNetConfig().requestsPerMinute);
        if (!budget.acquire(budgetHost(request.url))) {
            out.failure = FailureKind::Stopped;
            return fail(Stage::Transfer, "stopped");
        }
    }
    Global& g = global();
    EasyHandle easy = acquireEasy();
    if (!easy) return fail(Stage::Init, "curl_easy_init failed");
    CURL* h = easy.get();
    const bool reusable = !request.cookieEngine && !request.proxyCredentials && !request.serverCredentials;

    Transfer transfer;
    transfer.request = &request;
    transfer.outcome = &out;
    transfer.handle = h;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    auto finish = [&](Stage stage, std::string why) {
        releaseEasy(std::move(easy), reusable);
        return fail(stage, std::move(why));
    };

    // Settings that hold for every exchange.
    bool ok = setOpt(h, CURLOPT_NOSIGNAL, 1L) && setOpt(h, CURLOPT_MAXCONNECTS, kConnectionsPerHandle) &&
              setOpt(h, CURLOPT_PROTOCOLS_STR, request.httpsOnly ? "https" : "http,https") &&
              setOpt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) &&
              setOpt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) &&
              curl().easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK &&
              curl().easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeader) == CURLE_OK &&
              curl().easy_setopt(h, CURLOPT_HEADERDATA, &transfer) == CURLE_OK &&
              curl().easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody) == CURLE_OK &&
              curl().easy_setopt(h, CURLOPT_WRITEDATA, &transfer) == CURLE_OK &&
              curl().easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress) == CURLE_OK &&
              curl().easy_setopt(h, CURLOPT_XFERINFODATA, &transfer) == CURLE_OK && setOpt(h, CURLOPT_NOPROGRESS, 0L);
    if (ok && g.share) ok = curl().easy_setopt(h, CURLOPT_SHARE, g.share.get()) == CURLE_OK;
    if (ok && !request.acceptEncoding.empty()) ok = setOpt(h, CURLOPT_ACCEPT_ENCODING, request.acceptEncoding.c_str());
    if (!ok) return finish(Stage::Init, "setting up the handle failed");

    if (!setOpt(h, CURLOPT_URL, request.url.c_str())) return finish(Stage::Url, "URL refused");

    {
        const NetConfig config = currentNetConfig();
        const double scale = config.timeoutScale > 0 ? config.timeoutScale : 1.0;
        // 0 stays "no limit"; anything else is scaled, and never shorter than a second.
        const auto scaledMs = [scale](long seconds) -> long {
            if (seconds <= 0) return 0;
            return std::max(1000L, static_cast<long>(static_cast<double>(seconds) * 1000.0 * scale));
        };
        const long stallMs = std::max(1000L, scaledMs(request.stallSeconds));
        transfer.stallLimit = std::chrono::milliseconds(stallMs);
        transfer.budgetWait = std::chrono::milliseconds(std::max(stallMs, scaledMs(request.totalTimeoutSeconds)));
        if (!(setOpt(h, CURLOPT_CONNECTTIMEOUT_MS, scaledMs(request.connectTimeoutSeconds)) &&
              setOpt(h, CURLOPT_LOW_SPEED_LIMIT, std::max(1L, request.minBytesPerSecond)) &&
              // curl measures the speed once a second, so its window is never under two.
              setOpt(h, CURLOPT_LOW_SPEED_TIME, std::max(2L, (stallMs + 999) / 1000)) &&
              setOpt(h, CURLOPT_TIMEOUT_MS, scaledMs(request.totalTimeoutSeconds)))) {
            return finish(Stage::Timeouts, "setting the time-outs failed");
        }
    }
    // A refused size only costs speed.
    if (request.receiveBufferBytes > 0) (void)setOpt(h, CURLOPT_BUFFERSIZE, request.receiveBufferBytes);

    {
        std::string proxy = request.proxy;
        if (!proxy.empty() && proxy.find("://") == std::string::npos) proxy.insert(0, "http://");
        if (!headerValueIsSafe(proxy) || !setOpt(h, CURLOPT_PROXY, proxy.c_str())) {
            return finish(Stage::Proxy, "proxy refused");
        }
    }

    {
        bool methodOk = true;
        const std::string& verb = request.verb;
        if (verb == "HEAD") {
            methodOk = setOpt(h, CURLOPT_NOBODY, 1L);
        } else if (request.sendBody || verb == "POST") {
            methodOk = setOpt(h, CURLOPT_POST, 1L) &&
                       curl().easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                                          static_cast<curl_off_t>(request.body.size())) == CURLE_OK &&
                       curl().easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data()) == CURLE_OK;
            if (methodOk && verb != "POST") methodOk = setOpt(h, CURLOPT_CUSTOMREQUEST, verb.c_str());
        } else if (verb == "GET") {
            methodOk = setOpt(h, CURLOPT_HTTPGET, 1L);
        } else {
            methodOk = setOpt(h, CURLOPT_CUSTOMREQUEST, verb.c_str());
        }
        if (!methodOk) return finish(Stage::Method, "setting the method failed");
    }

    if (request.serverCredentials) {
        if (!(setOpt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC)) &&
              setOpt(h, CURLOPT_USERNAME, request.serverCredentials->first.c_str()) &&
              setOpt(h, CURLOPT_PASSWORD, request.serverCredentials->second.c_str()))) {
            return finish(Stage::Credentials, "setting the server credentials failed");
        }
    }
    if (request.proxyCredentials) {
        if (!(setOpt(h, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC)) &&
              setOpt(h, CURLOPT_PROXYUSERNAME, request.proxyCredentials->first.c_str()) &&
              setOpt(h, CURLOPT_PROXYPASSWORD, request.proxyCredentials->second.c_str()))) {
            return finish(Stage::Credentials, "setting the proxy credentials failed");
        }
    }

    {
        const bool insecure = currentNetConfig().insecureTls;
        if (!(setOpt(h, CURLOPT_SSL_VERIFYPEER, insecure ? 0L : 1L) &&
              setOpt(h, CURLOPT_SSL_VERIFYHOST, insecure ? 0L : 2L) &&
              setOpt(h, CURLOPT_PROXY_SSL_VERIFYPEER, insecure ? 0L : 1L) &&
              setOpt(h, CURLOPT_PROXY_SSL_VERIFYHOST, insecure ? 0L : 2L))) {
            return finish(Stage::Tls, "setting certificate checks failed");
        }
    }

    if (request.cookieEngine && !setOpt(h, CURLOPT_COOKIEFILE, "")) {
        return finish(Stage::Cookies, "switching the cookie engine on failed");
    }

    if (!(setOpt(h, CURLOPT_FOLLOWLOCATION, request.followRedirects ? 1L : 0L) &&
          setOpt(h, CURLOPT_MAXREDIRS, static_cast<long>(kMaxRedirects)) &&
          setOpt(h, CURLOPT_REDIR_PROTOCOLS_STR, request.httpsOnly ? "https" : "http,https"))) {
        return finish(Stage::Redirects, "setting redirects failed");
    }

    HeaderList headers;
    {
        bool haveAccept = false;
        bool haveContentType = false;
        bool headersOk = true;
        for (const HeaderField& field : request.headers) {
            if (!headerNameIsToken(field.name) || !headerValueIsSafe(field.value)) continue;
            if (equalsNoCase(field.name, "Accept")) haveAccept = true;
            if (equalsNoCase(field.name, "Content-Type")) haveContentType = true;
            // "Name;" is curl's way of sending a header with an empty value.
            headersOk =
                headersOk && headers.append(field.value.empty() ? field.name + ";" : field.name + ": " + field.value);
        }
        // curl's own defaults would add lines the caller did not ask for.
        if (!haveAccept) headersOk = headersOk && headers.append("Accept:");
        if (!haveContentType) headersOk = headersOk && headers.append("Content-Type:");
        headersOk = headersOk && headers.append("Expect:");
        if (!headersOk || curl().easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()) != CURLE_OK) {
            return finish(Stage::Headers, "setting the request headers failed");
        }
    }

    const CURLcode code = curl().easy_perform(h);
    out.code = code;
    curl_off_t requestSize = 0;
    if (curl().easy_getinfo(h, CURLINFO_REQUEST_SIZE, &requestSize) == CURLE_OK && requestSize > 0 &&
        out.reached == Reached::Nothing) {
        out.reached = Reached::RequestSent;
    }
    long status = 0;
    if (curl().easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status != 0) out.status = status;
    // A refusal counts however the transfer ended (a download gives up on its header block);
    // a good status only once the answer arrived whole.
    const bool refusal = out.status == 429 || out.status == 503 || out.status == 403;
    if (!request.contentJudged && out.reached == Reached::HeaderBlock && out.failure != FailureKind::Stopped &&
        (code == CURLE_OK || refusal)) {
        reportStatus(request.url, static_cast<int>(out.status), out.headerBlock);
    }

    if (code != CURLE_OK) {
        std::string why = curl().easy_strerror(code);
        switch (out.failure) {
            case FailureKind::Stopped: why = "stopped"; break;
            case FailureKind::Stalled:
                why = "no data for " + std::to_string(transfer.stallLimit.count() / 1000) + " s";
                break;
            case FailureKind::TooLarge: why = "answer body larger than the limit"; break;
            case FailureKind::BudgetSpent: why = "too many large answers held at once"; break;
            case FailureKind::HeadersTooLarge: why = "answer header block larger than the limit"; break;
            default:
                if (errorBuffer[0] != '\0') {
                    why += ": ";
                    why += errorBuffer;
                }
        }
        if (out.failure == FailureKind::TooLarge || out.failure == FailureKind::BudgetSpent) {
            std::string().swap(out.body);
            out.hold.reset();
        }
        return finish(Stage::Transfer, why);
    }
    releaseEasy(std::move(easy), reusable);
    return out;
}

}  // namespace vigilo::net
