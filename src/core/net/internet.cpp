// The Internet-API client: the agent travels as the session's user agent, cookies are appended
// to the header text, and the whole response header block is delivered.
#include <algorithm>

#include "net/clientrules.h"
#include "net/exchange.h"
#include "net/http.h"
#include "text/strings.h"

namespace vigilo {

namespace {

constexpr std::string_view kDefaultAgent = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

std::string agentFrom(const std::string& headers) {
    if (!containsNoCase(headers, "User-Agent:")) return std::string(kDefaultAgent);
    const std::string text = headers + "\r\n";
    const auto marker = text.find("User-Agent:");
    if (marker != std::string::npos) {
        const auto start = marker + 11;
        const auto end = text.find("\r\n", start);
        std::string agent = trimBlanks(std::string_view(text).substr(start, end - start));
        if (!agent.empty()) return agent;
    }
    return headerValue(headers);
}

}  // namespace

HttpResult InternetHttpClient::send(const HttpRequestOptions& options) {
    HttpResult result;
    const HttpMethod method = net::clampedMethod(options);
    const std::string& url = options.url;

    std::string headers = options.extraHeaders.value_or(std::string());
    if (options.normalizeHeaderCase.value_or(true)) headers = normalizeHeaderNames(headers);

    std::string why;
    const auto checked = net::checkedUrl(url, true, &why);
    if (!checked) {
        result.error = why;
        result.transportCode = CURLE_URL_MALFORMAT;
        return result;
    }

    net::ExchangeRequest request;
    request.url = *checked;
    request.verb = methodVerb(method);
    const NetConfig config = net::currentNetConfig();
    request.connectTimeoutSeconds = config.connectSeconds;
    request.stallSeconds = config.stallSeconds;
    request.totalTimeoutSeconds = std::max(net::kPageTotalTimeoutSeconds, 10 * config.stallSeconds);
    request.proxy = options.proxy.value_or(std::string());
    request.followRedirects = !options.noRedirect.value_or(false);
    request.maxBodyBytes = net::answerCap(options, config);
    request.contentJudged = options.contentJudged;

    const std::string agent = agentFrom(headers);

    if (options.completeHeaders.value_or(true)) {
        if (headers.empty()) headers = "Accept: */*";
        if (!containsNoCase(headers, "Accept:")) headers += "\r\nAccept: */*";
        if (!containsNoCase(headers, "Referer:")) headers += "\r\nReferer: " + url;
        if (!containsNoCase(headers, "Accept-Language:")) headers += "\r\nAccept-Language: zh-cn";
        if (method == HttpMethod::Post && !containsNoCase(headers, "Content-Type:")) {
            headers += "\r\nContent-Type: application/x-www-form-urlencoded";
        }
    }

    const std::string cookies = options.cookies.value_or(std::string());
    if (!cookies.empty()) {
        headers += cookies.find("Cookie:") == std::string::npos ? "\r\nCookie: " + cookies : "\r\n" + cookies;
    }

    std::vector<net::HeaderField> fields = net::headerFieldsFromText(headers);
    // The session's agent goes out unless the header text names one itself.
    if (!net::hasField(fields, "User-Agent")) fields.insert(fields.begin(), {"User-Agent", agent});
    request.headers = std::move(fields);

    if (method != HttpMethod::Get && request.verb != "HEAD") {
        request.body = net::requestBody(options);
        request.sendBody = true;
    }

    net::ExchangeOutcome outcome = net::performExchange(request);
    const bool merge = options.autoMergeCookies.value_or(true) && options.cookies.has_value();
    if (!outcome.ok()) {
        result.error = outcome.error;
        result.transportCode = static_cast<int>(outcome.code);
        if (merge) result.receivedCookies = mergeCookies(*options.cookies, "");
        return result;
    }

    result.body = std::move(outcome.body);
    result.answerHold = std::move(outcome.hold);
    result.responseHeaders = outcome.headerBlock;
    result.statusCode = static_cast<int>(outcome.status);
    result.receivedCookies = collectSetCookies(result.responseHeaders);
    if (merge) result.receivedCookies = mergeCookies(*options.cookies, result.receivedCookies);
    return result;
}

}  // namespace vigilo
