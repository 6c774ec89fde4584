#include "net/service.h"

#include <curl/curl.h>

#include <cstdlib>

#include "net/http.h"
#include "text/charset.h"
#include "text/strings.h"

namespace vigilo {

namespace {

std::string endpointFromEnvironment(const char* name, std::string fallback) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return fallback;
    std::string endpoint = value;
    // Paths are appended with their own leading slash.
    while (!endpoint.empty() && endpoint.back() == '/') endpoint.pop_back();
    return endpoint.empty() ? fallback : endpoint;
}

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

}  // namespace

Endpoints Endpoints::fromEnvironment() {
    Endpoints endpoints;
    endpoints.account = endpointFromEnvironment("VIGILO_ACCOUNT_ENDPOINT", endpoints.account);
    endpoints.live = endpointFromEnvironment("VIGILO_LIVE_ENDPOINT", endpoints.live);
    return endpoints;
}

std::string queryValue(std::string_view value) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(value.size());
    for (unsigned char c : value) {
        if (unreserved(c)) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 15];
        }
    }
    return encoded;
}

std::string profileUrl(const Endpoints& endpoints, std::string_view secUid) {
    return endpoints.account + "/web/api/v2/user/info/?sec_uid=" + queryValue(secUid);
}

std::string postListUrl(const Endpoints& endpoints, std::string_view secUid) {
    return endpoints.account + "/web/api/v2/aweme/post/?sec_uid=" + queryValue(secUid) +
           "&count=21&max_cursor=0&aid=1128&_signature=" + std::string(kSignature) + "&dytk=";
}

std::string roomInfoUrl(const Endpoints& endpoints, std::string_view roomId) {
    return endpoints.live + "/webcast/room/reflow/info/?room_id=" + queryValue(roomId) + "&live_id=1&app_id=1128";
}

SharePage fetchSharePage(std::string_view link) {
    HttpRequestOptions options;
    options.url = std::string(link);
    options.method = HttpMethod::Get;
    options.extraHeaders = "User-Agent: " + std::string(kDesktopAgent);
    options.noRedirect = true;
    options.maxBodyBytes = kMaxPageAnswerBytes;
    const HttpResult result = InternetHttpClient::send(options);
    SharePage page;
    page.text = bodyToText(result.body);
    for (const std::string& line : splitCrLf(result.responseHeaders))
        if (line.size() > 9 && toLowerAscii(line.substr(0, 9)) == "location:")
            page.location = trimBlanks(line.substr(9));
    if (!result.transportOk()) {
        // An address that is refused or names no host is the link's fault; anything else
        // (refused or reset connections, time-outs, stalls) is the service's or the network's.
        const int code = result.transportCode;
        page.answered =
            code == CURLE_URL_MALFORMAT || code == CURLE_UNSUPPORTED_PROTOCOL || code == CURLE_COULDNT_RESOLVE_HOST;
        return page;
    }
    const bool serverFailed = result.statusCode >= 500 || result.statusCode == 429;
    const bool emptyPage = result.statusCode < 400 && result.body.empty() && page.location.empty();
    page.answered = !serverFailed && !emptyPage;
    return page;
}

std::string resolveShareLink(std::string_view link) { return fetchSharePage(link).text; }

}  // namespace vigilo
