// The scriptable request client: one exchange per call, 15 s per phase unless told otherwise,
// the status code reported.
#include <algorithm>

#include "net/clientrules.h"
#include "net/exchange.h"
#include "net/http.h"
#include "text/strings.h"

namespace vigilo {

namespace {

constexpr std::string_view kDefaultAgent = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

// Setting a header replaces an earlier one of the same name, as the request object does.
void setField(std::vector<net::HeaderField>& fields, std::string name, std::string value) {
    for (net::HeaderField& field : fields) {
        if (net::sameNameNoCase(field.name, name)) {
            field.name = std::move(name);
            field.value = std::move(value);
            return;
        }
    }
    fields.push_back({std::move(name), std::move(value)});
}

}  // namespace

HttpResult ScriptableHttpClient::send(const HttpRequestOptions& options) {
    HttpResult result;
    const HttpMethod method = net::clampedMethod(options);
    const std::string& url = options.url;

    std::string why;
    const auto checked = net::checkedUrl(url, false, &why);
    const bool merge = options.autoMergeCookies.value_or(true) && options.cookies.has_value();
    if (!checked) {
        // An address that cannot be sent is one more failed exchange: the given cookies still
        // come back merged.
        result.error = why;
        if (merge) result.receivedCookies = mergeCookies(*options.cookies, "");
        return result;
    }

    net::ExchangeRequest request;
    request.url = *checked;
    request.verb = methodVerb(method);

    // -1 keeps the request object's own defaults: 60 s to connect, 30 s to answer.
    const int timeout = options.timeoutSeconds.value_or(0);
    if (timeout == -1) {
        request.connectTimeoutSeconds = 60;
        request.stallSeconds = 30;
    } else {
        const long t = timeout >= 1 ? timeout : 15;
        request.connectTimeoutSeconds = t;
        request.stallSeconds = t;
    }
    request.totalTimeoutSeconds = std::max(net::kPageTotalTimeoutSeconds, 10 * request.stallSeconds);
    request.proxy = options.proxy.value_or(std::string());
    request.followRedirects = !options.noRedirect.value_or(false);
    request.maxBodyBytes = net::answerCap(options, net::currentNetConfig());
    request.contentJudged = options.contentJudged;

    std::string headers = options.extraHeaders.value_or(std::string());
    if (options.completeHeaders.value_or(true)) {
        if (!containsNoCase(headers, "Accept:")) headers += "\r\nAccept: */*";
        if (!containsNoCase(headers, "Referer:")) headers += "\r\nReferer: " + url;
        if (!containsNoCase(headers, "Accept-Language:")) headers += "\r\nAccept-Language: zh-cn";
        if (!containsNoCase(headers, "User-Agent:")) headers += "\r\nUser-Agent: " + std::string(kDefaultAgent);
        if (method == HttpMethod::Post && !containsNoCase(headers, "Content-Type:")) {
            headers += "\r\nContent-Type: application/x-www-form-urlencoded";
        }
    }
    if (options.normalizeHeaderCase.value_or(true)) headers = normalizeHeaderNames(headers);

    const std::string proxyUser = options.proxyUser.value_or(std::string());
    if (!request.proxy.empty() && !proxyUser.empty()) {
        const std::pair credentials{proxyUser, options.proxyPassword.value_or(std::string())};
        // Target 1 names the proxy; 0 the server; the object refuses anything else.
        switch (options.credentialTarget.value_or(1)) {
            case 1: request.proxyCredentials = credentials; break;
            case 0: request.serverCredentials = credentials; break;
            default: break;
        }
    }

    std::vector<net::HeaderField> fields;
    if (options.cookies) {
        std::string cookies = *options.cookies;
        if (!cookies.empty() && containsNoCase(cookies, "Cookie:")) {
            std::string stripped;
            const std::string lower = toLowerAscii(cookies);
            std::size_t from = 0;
            for (auto at = lower.find("cookie:"); at != std::string::npos; at = lower.find("cookie:", from)) {
                stripped.append(cookies, from, at - from);
                from = at + 7;
            }
            stripped.append(cookies, from);
            cookies = std::move(stripped);
        }
        // The value goes as given, blanks included; the object sets it even when empty.
        fields.push_back({"Cookie", cookies});
    }
    // The keep-alive line is dropped from a list of lines; a single line goes as given.
    const bool singleLine = headers.find("\r\n") == std::string::npos;
    for (net::HeaderField& field : net::headerFieldsFromText(headers)) {
        if (!singleLine && field.name == "Connection" && field.value == "keep-alive") continue;
        setField(fields, std::move(field.name), std::move(field.value));
    }
    request.headers = std::move(fields);

    if (request.verb != "HEAD") {
        request.body = net::requestBody(options);
        request.sendBody = !request.body.empty() || method == HttpMethod::Post;
    }

    net::ExchangeOutcome outcome = net::performExchange(request);
    if (!outcome.ok()) {
        result.error = outcome.error;
        if (merge) result.receivedCookies = mergeCookies(*options.cookies, "");
        return result;
    }

    result.body = std::move(outcome.body);
    result.answerHold = std::move(outcome.hold);
    // The object's header text leaves out the status line.
    const auto lineEnd = outcome.headerBlock.find("\r\n");
    result.responseHeaders = lineEnd == std::string::npos ? std::string() : outcome.headerBlock.substr(lineEnd + 2);
    result.statusCode = static_cast<int>(outcome.status);
    result.receivedCookies = collectSetCookies(result.responseHeaders);
    if (merge) result.receivedCookies = mergeCookies(*options.cookies, result.receivedCookies);
    return result;
}

}  // namespace vigilo
