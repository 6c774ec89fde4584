#pragma once
// What the program relies on from the service: endpoints, request paths, agents.
#include <string>
#include <string_view>

namespace vigilo {

inline constexpr std::string_view kDesktopAgent =
    "Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/38.0.2125.122 "
    "Safari/537.36 SE 2.X MetaSr 1.0";
inline constexpr std::string_view kMobileAgentLine =
    "User-Agent: Mozilla/5.0 (iPhone; CPU iPhone OS 13_2_3 like Mac OS X) AppleWebKit/605.1.15 (KHTML, "
    "like Gecko) Version/13.0.3 Mobile/15E148 Safari/604.1 Edg/89.0.4389.82";
inline constexpr std::string_view kSignature = "qTvNkWBB5pLcRYZdHfE8261KM3";

struct Endpoints {
    std::string account = "https://www.iesdouyin.com";  // VIGILO_ACCOUNT_ENDPOINT
    std::string live = "https://webcast.amemv.com";     // VIGILO_LIVE_ENDPOINT
    static Endpoints fromEnvironment();
};

// Query values from the service's own texts are percent-encoded where they could break the
// request (anything outside the URL-safe set), so an id can never add a parameter or a header.
std::string queryValue(std::string_view value);

std::string profileUrl(const Endpoints& endpoints, std::string_view secUid);
std::string postListUrl(const Endpoints& endpoints, std::string_view secUid);
std::string roomInfoUrl(const Endpoints& endpoints, std::string_view roomId);

}  // namespace vigilo

namespace vigilo {
// One GET of a share link without following the redirect, with the desktop agent, through the
// Internet-API client; the body as text (the redirect page that carries the target).
std::string resolveShareLink(std::string_view link);

// The same GET, telling a page from no answer: `answered` is false for a transport failure, a
// server error (5xx, 429) or an empty body without a redirect, which say nothing about what the
// link is.
// `location`: the redirect's Location header, where a page without its body still points.
struct SharePage {
    std::string text;
    std::string location;
    bool answered = false;
};
SharePage fetchSharePage(std::string_view link);
}  // namespace vigilo
