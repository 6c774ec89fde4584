// The native session client: numbered messages for the step that failed, the redirect target,
// and the body decoded by the charset the page declares.
#include <algorithm>

#include "net/clientrules.h"
#include "net/exchange.h"
#include "net/http.h"
#include "text/charset.h"
#include "text/regex.h"
#include "text/strings.h"

namespace vigilo {

namespace {

constexpr std::string_view kMsgPlatform = "700 当前系统不支持WinHttp服务!";
constexpr std::string_view kMsgBadUrl = "701 解析URL地址失败!";
constexpr std::string_view kMsgSession = "702 创建WinHttp会话失败!";
constexpr std::string_view kMsgConnect = "703 创建WinHttp连接失败!";
constexpr std::string_view kMsgRequest = "704 创建WinHttp请求失败!";
constexpr std::string_view kMsgTimeouts = "705 设置超时时间失败!";
constexpr std::string_view kMsgCredentials = "707 设置代理凭证失败!";
constexpr std::string_view kMsgCertificates = "忽略错误/证书错误  失败！";
constexpr std::string_view kMsgCookies = "708 禁止自动设置Cookies失败!";
constexpr std::string_view kMsgRedirects = "709 重定向设置失败!";
constexpr std::string_view kMsgHeaders = "710 设置协议头失败!";
constexpr std::string_view kMsgSend = "711 发送请求失败!";
constexpr std::string_view kMsgNoAnswer = "712 服务器未响应!";
constexpr std::string_view kMsgRead = "713 读取数据失败!";

constexpr std::string_view kCharsetPattern = R"(<meta.+?charset=[^\w]?([-\w]+))";

// Which step of the session a transfer failure belongs to: nothing sent yet (connection, name
// lookup, TLS), sent without an answer, or failed while the body was being read.
std::string_view transferMessage(const net::ExchangeOutcome& outcome) {
    switch (outcome.code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SEND_ERROR:
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_URL_MALFORMAT: return kMsgSend;
        case CURLE_TOO_MANY_REDIRECTS: return kMsgNoAnswer;
        default: break;
    }
    if (outcome.failure == net::FailureKind::HeadersTooLarge) return kMsgNoAnswer;
    switch (outcome.reached) {
        case net::Reached::HeaderBlock: return kMsgRead;
        case net::Reached::RequestSent: return kMsgNoAnswer;
        case net::Reached::Nothing: return kMsgSend;
    }
    return kMsgSend;
}

std::string_view stageMessage(net::Stage stage) {
    switch (stage) {
        case net::Stage::Init: return kMsgSession;
        case net::Stage::Url: return kMsgBadUrl;
        case net::Stage::Timeouts: return kMsgTimeouts;
        case net::Stage::Proxy: return kMsgConnect;
        case net::Stage::Method: return kMsgRequest;
        case net::Stage::Credentials: return kMsgCredentials;
        case net::Stage::Tls: return kMsgCertificates;
        case net::Stage::Cookies: return kMsgCookies;
        case net::Stage::Redirects: return kMsgRedirects;
        case net::Stage::Headers: return kMsgHeaders;
        case net::Stage::Transfer:
        case net::Stage::None: break;
    }
    return kMsgSend;
}

// The body as text: a declared charset converts to the memory's UTF-8 (gbk and gb2312 pages
// from GBK); without a declaration the bytes stay as they are.
std::string decodeBody(const std::string& body) {
    std::string text = body.substr(0, body.find('\0'));
    RegexMatcher matcher;
    if (!matcher.execute(kCharsetPattern, std::string_view(text).substr(0, 1024))) return text;
    const std::string charset = matcher.subMatch(1, 1);
    if (charset.empty()) return text;
    const std::string lower = toLowerAscii(charset);
    const std::string from = (lower == "gbk" || lower == "gb2312") ? std::string("GBK") : charset;
    std::string converted = convertCharset(text, from, "UTF-8");
    // A charset iconv does not know leaves the text as it was.
    if (converted.empty() && !text.empty()) return text;
    return converted.substr(0, converted.find('\0'));
}

}  // namespace

HttpResult NativeHttpClient::send(const HttpRequestOptions& options) {
    HttpResult result;
    result.receivedCookies = options.receivedCookiesIn;
    auto failWith = [&](std::string_view message, std::string why) {
        result.statusText = std::string(message);
        result.error = why.empty() ? std::string(message) : std::move(why);
        return result;
    };

    // Without the HTTP library there is no session of any kind.
    if (net::curlApi() == nullptr) return failWith(kMsgPlatform, "libcurl is not available: " + net::curlLoadError());

    const bool autoMerge = options.autoMergeCookies.value_or(true);
    const bool complete = options.completeHeaders.value_or(true);
    const bool normalize = options.normalizeHeaderCase.value_or(true);
    const HttpMethod method = net::clampedMethod(options);

    std::string why;
    const auto checked = net::checkedUrl(options.url, false, &why);
    if (!checked) return failWith(kMsgBadUrl, why);

    net::ExchangeRequest request;
    request.url = *checked;
    request.verb = methodVerb(method);
    request.proxy = options.proxy.value_or(std::string());
    const int timeout = options.timeoutSeconds.value_or(0);
    const long t = timeout >= 1 ? timeout : 30;
    request.connectTimeoutSeconds = t;
    request.stallSeconds = t;
    request.totalTimeoutSeconds = std::max(net::kPageTotalTimeoutSeconds, 10 * t);
    request.maxBodyBytes = net::answerCap(options, net::currentNetConfig());
    request.contentJudged = options.contentJudged;

    const std::string serverUser = options.serverUser.value_or(std::string());
    const std::string serverPassword = options.serverPassword.value_or(std::string());
    if (!serverUser.empty() && !serverPassword.empty()) request.serverCredentials = {serverUser, serverPassword};
    const std::string proxyUser = options.proxyUser.value_or(std::string());
    const std::string proxyPassword = options.proxyPassword.value_or(std::string());
    if (!proxyUser.empty() && !proxyPassword.empty()) request.proxyCredentials = {proxyUser, proxyPassword};

    const std::string cookies = options.cookies.value_or(std::string());
    request.cookieEngine = !cookies.empty();
    request.followRedirects = !options.noRedirect.value_or(false);

    std::string headers = options.extraHeaders.value_or(std::string());
    if (!headers.empty()) headers += "\r\n";
    if (complete) {
        struct Default {
            std::string_view search;
            std::string_view line;
        };
        static constexpr Default kDefaults[] = {
            {"User-Agent: ", "User-Agent: Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; WOW64; Trident/5.0)\r\n"},
            {"Accept: ", "Accept: text/html, application/xhtml+xml, */*\r\n"},
            {"Accept-Encoding: ", "Accept-Encoding: gbk, GB2312\r\n"},
            {"Accept-Language: ", "Accept-Language: zh-cn\r\n"},
        };
        for (const Default& entry : kDefaults) {
            if (!containsNoCase(headers, entry.search)) headers += entry.line;
        }
        if (method == HttpMethod::Post && !containsNoCase(headers, "Content-Type:")) {
            headers += "Content-Type: application/x-www-form-urlencoded\r\n";
        }
        if (!containsNoCase(headers, "Cache-Control: ")) headers += "Cache-Control: no-cache\r\n";
    }
    if (normalize) headers = normalizeHeaderNames(headers);

    std::vector<net::HeaderField> fields = net::headerFieldsFromText(headers);
    // A first Connection line asking for keep-alive takes every such line out.
    for (const net::HeaderField& field : fields) {
        if (field.name != "Connection") continue;
        if (field.value == "keep-alive") {
            std::erase_if(fields,
                          [](const net::HeaderField& f) { return f.name == "Connection" && f.value == "keep-alive"; });
        }
        break;
    }
    if (!containsNoCase(headers, "Cookie:") && !cookies.empty()) {
        const std::string cookieLines = containsNoCase(cookies, "Cookie:") ? cookies : "Cookie: " + cookies;
        for (net::HeaderField& field : net::headerFieldsFromText(cookieLines)) fields.push_back(std::move(field));
    }
    request.headers = std::move(fields);

    if (request.verb != "HEAD") {
        request.body = net::requestBody(options);
        request.sendBody = !request.body.empty() || method == HttpMethod::Post;
    }

    net::ExchangeOutcome outcome = net::performExchange(request);
    if (outcome.failedStage != net::Stage::None && outcome.failedStage != net::Stage::Transfer) {
        return failWith(stageMessage(outcome.failedStage), outcome.error);
    }
    if (!outcome.ok()) {
        const std::string_view message = transferMessage(outcome);
        // Only a read that failed after a whole header block keeps what arrived; an answer
        // over the size limit counts as no answer at all.
        if (message != kMsgRead || outcome.failure == net::FailureKind::TooLarge)
            return failWith(message, outcome.error);
        result.error = outcome.error;
    }

    result.responseHeaders = outcome.headerBlock;
    const auto lineEnd = outcome.headerBlock.find("\r\n");
    result.statusText = outcome.headerBlock.size() > 9 && lineEnd != std::string::npos && lineEnd > 9
                            ? outcome.headerBlock.substr(9, lineEnd - 9)
                            : std::string();
    result.statusCode = static_cast<int>(outcome.status);

    const std::string collected = collectSetCookies(outcome.headerBlock);
    std::string received = options.receivedCookiesIn;
    if (endsWith(received, "; ")) received.resize(received.size() - 2);
    // Appending to a non-empty text needs a separator, or the first new pair would be glued
    // onto the last old one.
    if (!collected.empty()) received += received.empty() ? collected : "; " + collected;
    result.receivedCookies = received;

    const std::string_view block = outcome.headerBlock;
    std::size_t from = 0;
    while (from < block.size()) {
        auto end = block.find("\r\n", from);
        if (end == std::string_view::npos) end = block.size();
        const std::string_view line = block.substr(from, end - from);
        if (line.size() >= 10 && toLowerAscii(line.substr(0, 10)) == "location: ") {
            result.redirectLocation = std::string(line.substr(10));
        }
        from = end + 2;
    }

    if (autoMerge && !cookies.empty()) result.receivedCookies = mergeCookies(cookies, result.receivedCookies);

    result.text = decodeBody(outcome.body);
    result.body = std::move(outcome.body);
    result.answerHold = std::move(outcome.hold);
    return result;
}

}  // namespace vigilo
