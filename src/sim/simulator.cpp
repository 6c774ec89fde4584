#include "sim/simulator.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <mutex>
#include <random>
#include <regex>

#include "sim/http_server.h"
#include "sim/json_out.h"
#include "sim/live_source.h"

namespace vigilo::sim {

namespace {

constexpr size_t kHugeSize = 200u << 20;
constexpr size_t kHugeHeaderSize = 1u << 20;
constexpr int kNestingDepth = 1000000;
constexpr const char* kShareTail =
    "&utm_source=copy&utm_campaign=client_share&utm_medium=android&share_app_name=douyin";

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}
std::int64_t nowSec() { return nowMs() / 1000; }

std::uint64_t fnv(std::string_view s, std::uint64_t seed = 1469598103934665603ull) {
    std::uint64_t h = seed;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::string hex(std::uint64_t v, int digits) {
    static const char* d = "0123456789abcdef";
    std::string out(static_cast<size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i) {
        out[static_cast<size_t>(i)] = d[v & 15];
        v >>= 4;
        if (v == 0) v = fnv(out);  // longer than 16 digits: keep it looking like a digest
    }
    return out;
}

// Query values of addresses the service writes: everything outside the unreserved set encoded.
std::string urlEncode(std::string_view s) {
    static const char* d = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
            c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(d[c >> 4]);
            out.push_back(d[c & 15]);
        }
    }
    return out;
}

std::string htmlEscape(std::string_view s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&#34;"; break;
            case '\'': out += "&#39;"; break;
            default: out.push_back(c);
        }
    }
    return out;
}

bool headerSafe(std::string_view s) {
    return std::none_of(s.begin(), s.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    });
}

std::string logId() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &tm);
    static std::atomic<std::uint64_t> counter{0x0101501351};
    std::string tail = hex(fnv(std::to_string(++counter)), 18);
    std::transform(tail.begin(), tail.end(), tail.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
    return buf + tail;
}

const std::string& deepNesting() {
    static const std::string text = std::string(kNestingDepth, '[') + std::string(kNestingDepth, ']');
    return text;
}

const std::string& serverErrorPage() {
    static const std::string page =
        "<html>\r\n<head><title>500 Internal Server Error</title></head>\r\n<body>\r\n"
        "<center><h1>500 Internal Server Error</h1></center>\r\n<hr><center>Tengine</center>\r\n</body>\r\n"
        "</html>\r\n";
    return page;
}

const std::string& notFoundPage() {
    static const std::string page =
        "<html>\r\n<head><title>404 Not Found</title></head>\r\n<body>\r\n"
        "<center><h1>404 Not Found</h1></center>\r\n<hr><center>Tengine</center>\r\n</body>\r\n</html>\r\n";
    return page;
}

const std::string& htmlInsteadOfJson() {
    static const std::string page =
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>验证码中间页</title>"
        "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\"></head><body>"
        "<div id=\"app\">请完成下列验证后继续</div><script>window._sec = {\"status_code\":0};</script>"
        "</body></html>";
    return page;
}

const std::string& forbiddenPage() {
    static const std::string page =
        "<html>\r\n<head><title>403 Forbidden</title></head>\r\n<body>\r\n"
        "<center><h1>403 Forbidden</h1></center>\r\n<hr><center>Tengine</center>\r\n</body>\r\n</html>\r\n";
    return page;
}

// What a rate-limited client gets: 429, a wait in seconds (none when negative), a JSON refusal.
HttpResponse tooManyRequests(int retryAfterSeconds) {
    HttpResponse r{429,
                   "",
                   {{"Content-Type", "application/json; charset=utf-8"}},
                   R"({"status_code":2154,"status_msg":"请求过于频繁，请稍后再试"})"};
    if (retryAfterSeconds >= 0) r.headers.push_back({"Retry-After", std::to_string(retryAfterSeconds)});
    return r;
}

std::string redirectPage(const std::string& target) { return "<a href=\"" + htmlEscape(target) + "\">Found</a>.\n\n"; }

HttpResponse redirectResponse(const std::string& target) {
    HttpResponse r{302, "", {{"Content-Type", "text/html; charset=utf-8"}}, redirectPage(target)};
    if (headerSafe(target)) r.headers.emplace_back("Location", target);
    return r;
}

HttpResponse jsonResponse(std::string body) {
    return {200,
            "",
            {{"Content-Type", "application/json; charset=utf-8"}, {"Vary", "Accept-Encoding"}, {"X-Tt-Logid", logId()}},
            std::move(body)};
}

std::string contentType(const HttpResponse& r) {
    for (const auto& [n, v] : r.headers)
        if (n == "Content-Type") return v;
    return "application/octet-stream";
}

bool validStreamName(const std::string& name) {
    return !name.empty() && name.size() <= 100 && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
}

// Byte range of a "Range: bytes=a-b" header against a body of `size` bytes; false when absent
// or unusable (then the whole body is sent).
bool parseRange(const std::string& header, size_t size, size_t& first, size_t& last, bool& unsatisfiable) {
    unsatisfiable = false;
    if (header.rfind("bytes=", 0) != 0 || header.find(',') != std::string::npos) return false;
    std::string range = header.substr(6);
    size_t dash = range.find('-');
    if (dash == std::string::npos) return false;
    std::string a = range.substr(0, dash), b = range.substr(dash + 1);
    char* end = nullptr;
    if (a.empty()) {
        if (b.empty()) return false;
        size_t n = std::strtoull(b.c_str(), &end, 10);
        if (n == 0) {
            unsatisfiable = true;
            return true;
        }
        first = size > n ? size - n : 0;
        last = size - 1;
    } else {
        first = std::strtoull(a.c_str(), &end, 10);
        last = b.empty() ? size - 1 : std::min<size_t>(std::strtoull(b.c_str(), &end, 10), size - 1);
    }
    if (size == 0 || first >= size || last < first) unsatisfiable = true;
    return true;
}

std::vector<std::string> hashtags(const std::string& desc, std::vector<std::pair<size_t, size_t>>& spans) {
    // Positions count characters (code points), as the service's offsets do.
    std::vector<std::string> tags;
    size_t chars = 0;
    size_t i = 0;
    auto step = [&](size_t at) {
        unsigned char c = static_cast<unsigned char>(desc[at]);
        return c < 0x80 ? 1u : c < 0xE0 ? 2u : c < 0xF0 ? 3u : 4u;
    };
    while (i < desc.size()) {
        if (desc[i] == '#') {
            size_t startChar = chars;
            size_t j = i + 1;
            size_t tagChars = 0;
            while (j < desc.size() && desc[j] != ' ' && desc[j] != '#' && desc[j] != '\n' && desc[j] != '\r') {
                j += step(j);
                ++tagChars;
            }
            if (tagChars > 0) {
                tags.push_back(desc.substr(i + 1, std::min(j, desc.size()) - i - 1));
                spans.emplace_back(startChar, startChar + tagChars + 1);
            }
            chars += tagChars + 1;
            i = std::min(j, desc.size());
        } else {
            i += step(i);
            ++chars;
        }
    }
    return tags;
}

struct FaultState {
    Fault fault = Fault::None;
    int remaining = -1;  // -1: until changed
};

struct RoomState {
    Room room;
    std::int64_t liveCreateTime = 0;  // start of the owner's current show
};

}  // namespace

std::vector<Fault> allFaults() {
    return {Fault::Stall,         Fault::Slow,         Fault::ResetMidBody, Fault::Http500,   Fault::Empty404,
            Fault::TruncatedJson, Fault::Html,         Fault::DeepNesting,  Fault::Huge,      Fault::RedirectLoop,
            Fault::HugeHeader,    Fault::EmptyOwnRoom, Fault::SwappedTypes, Fault::EmptyBody, Fault::Blocked};
}

const char* faultName(Fault fault) {
    switch (fault) {
        case Fault::None: return "none";
        case Fault::Stall: return "stall";
        case Fault::Slow: return "slow";
        case Fault::ResetMidBody: return "reset-mid-body";
        case Fault::Http500: return "http-500";
        case Fault::Empty404: return "empty-404";
        case Fault::TruncatedJson: return "truncated-json";
        case Fault::Html: return "html";
        case Fault::DeepNesting: return "deep-nesting";
        case Fault::Huge: return "huge";
        case Fault::RedirectLoop: return "redirect-loop";
        case Fault::HugeHeader: return "huge-header";
        case Fault::EmptyOwnRoom: return "empty-own-room";
        case Fault::SwappedTypes: return "swapped-types";
        case Fault::EmptyBody: return "empty-body";
        case Fault::Blocked: return "blocked";
        case Fault::Http429: return "http-429";
        case Fault::Http403: return "http-403";
    }
    return "unknown";
}

std::string RequestRecord::header(const std::string& name) const {
    auto lower = [](std::string s) {
        std::transform(s.begin(), s.end(), s.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return s;
    };
    std::string want = lower(name);
    for (const auto& [n, v] : headers)
        if (lower(n) == want) return v;
    return {};
}

std::string RequestRecord::param(const std::string& name) const {
    auto it = params.find(name);
    return it == params.end() ? std::string() : it->second;
}

struct Simulator::Impl {
    HttpServer server;
    mutable std::mutex mu;
    std::int64_t videoRate = 0;  // under mu
    // The request limit of the JSON endpoints; under mu.
    int limitRequests = 0;
    std::chrono::milliseconds limitWindow{60000};
    std::deque<std::chrono::steady_clock::time_point> limitRecent;
    int retryAfterSeconds = 1;
    size_t refused = 0;
    Simulator::Transfers videoTransfers;  // under mu
    mutable std::condition_variable requestCv;
    std::mt19937 rng{std::random_device{}()};
    bool shuffle = true;

    std::vector<std::string> accountOrder;
    std::map<std::string, Account> accounts;
    std::map<std::string, RoomState> rooms;
    std::map<std::string, std::string> shareTargets;                   // code -> "a" + secUid or "r" + roomId
    std::map<std::string, std::string> shareCodes;                     // the reverse
    std::map<std::string, std::shared_ptr<const std::string>> videos;  // video id -> bytes
    std::map<std::string, std::shared_ptr<const std::string>> covers;  // cover uri -> bytes
    std::map<std::string, std::string> roomStreams;                    // room id -> stream name

    std::string notice;
    bool noticeSet = false;
    std::string update = "#!/bin/sh\necho vgmon\n";
    std::string noticeShare = "Kq3vW7x";
    std::string noticeKey = "d41d8cd98f00b204e9800998";

    std::map<std::string, FaultState> faults;
    std::map<std::string, std::uint64_t> faultGeneration;
    std::map<std::string, HostileAnswer> hostile;
    std::function<Fault(const std::string&)> faultChooser;

    std::deque<RequestRecord> log;
    size_t logLimit = 10000;
    std::map<std::string, size_t> counts;
    size_t total = 0;
    std::function<void(const RequestRecord&)> observer;

    std::map<std::string, std::vector<std::pair<std::string, std::string>>> extraHeaders;
    std::map<std::string, CannedResponse> canned;

    std::map<std::string, std::shared_ptr<LiveSource>> streams;
    std::string liveDir;
    std::uint64_t streamCounter = 0;

    std::string base() const {
        return std::string(server.tls() ? "https" : "http") + "://127.0.0.1:" + std::to_string(server.port());
    }

    // --- state helpers (mu held) ---
    std::string codeFor(const std::string& key) {
        auto it = shareCodes.find(key);
        if (it != shareCodes.end()) return it->second;
        static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
        std::string code;
        do {
            code.clear();
            for (int i = 0; i < 7; ++i) code.push_back(alphabet[rng() % 62]);
        } while (shareTargets.count(code));
        shareTargets[code] = key;
        shareCodes[key] = code;
        return code;
    }

    std::string uCode() {
        static const char* alphabet = "0123456789abcdefghijklmnopqrstuvwxyz";
        std::string out;
        for (int i = 0; i < 9; ++i) out.push_back(alphabet[rng() % 36]);
        return out;
    }

    std::string videoIdFor(const std::string& secUid, const Post& post) {
        std::string id = "v0200f" + hex(fnv(post.awemeId, fnv(secUid)), 16) + "bc" + hex(fnv(post.awemeId), 10);
        if (!videos.count(id)) videos[id] = std::make_shared<const std::string>(post.videoBytes);
        return id;
    }

    RoomState* findRoom(const std::string& id) {
        auto it = rooms.find(id);
        return it == rooms.end() ? nullptr : &it->second;
    }

    // The room whose owner is live in `liveId` (a room other than the linked one).
    RoomState* findByLiveRoom(const std::string& liveId) {
        for (auto& [id, r] : rooms)
            if (!r.room.liveRoomId.empty() && r.room.liveRoomId == liveId) return &r;
        return nullptr;
    }

    Fault takeFault(const std::string& endpoint, std::uint64_t& generation) {
        std::function<Fault(const std::string&)> chooser;
        {
            std::lock_guard<std::mutex> lock(mu);
            generation = faultGeneration[endpoint];
            auto it = faults.find(endpoint);
            if (it == faults.end()) {
                chooser = faultChooser;
            } else {
                Fault f = it->second.fault;
                if (it->second.remaining > 0 && --it->second.remaining == 0) faults.erase(it);
                return f;
            }
        }
        return chooser ? chooser(endpoint) : Fault::None;
    }

    Json extra() { return Json{{"now", nowMs()}, {"logid", logId()}}; }

    std::string render(Json doc, Fault fault) {
        if (fault == Fault::SwappedTypes) swapTypes(doc);
        std::mt19937 local;
        {
            std::lock_guard<std::mutex> lock(mu);
            local.seed(rng());
        }
        return dumpJson(doc, shuffle ? &local : nullptr);
    }

    // --- answers ---
    Json userInfo(const Account& a) {
        std::int64_t count =
            a.awemeCountOverride >= 0 ? a.awemeCountOverride : static_cast<std::int64_t>(a.posts.size());
        std::string avatar = "aweme-avatar/tos-cn-avt-0015_" + hex(fnv(a.uid), 32);
        auto picture = [&](const std::string& size) {
            return Json{
                {"uri", avatar},
                {"url_list",
                 Json::array({"https://p3-pc.douyinpic.com/aweme/" + size + "/" + avatar + ".jpeg?from=2956013662",
                              "https://p11.douyinpic.com/aweme/" + size + "/" + avatar + ".jpeg?from=2956013662"})}};
        };
        return Json{{"uid", a.uid},
                    {"short_id", a.shortId},
                    {"unique_id", a.uniqueId},
                    {"nickname", a.nickname},
                    {"signature", a.signature},
                    {"sec_uid", a.secUid},
                    {"aweme_count", count},
                    {"follower_count", a.followerCount},
                    {"following_count", static_cast<std::int64_t>(fnv(a.uid) % 300)},
                    {"total_favorited", std::to_string(a.followerCount * 7 + 13)},
                    {"favoriting_count", static_cast<std::int64_t>(fnv(a.secUid) % 2000)},
                    {"custom_verify", ""},
                    {"enterprise_verify_reason", ""},
                    {"is_gov_media_vip", false},
                    {"avatar_thumb", picture("100x100")},
                    {"avatar_medium", picture("720x720")},
                    {"avatar_larger", picture("1080x1080")}};
    }

    std::string playUrl(const std::string& vid, int line, bool watermark) {
        return base() + "/aweme/v1/play" + std::string(watermark ? "wm" : "") + "/?video_id=" + urlEncode(vid) +
               "&line=" + std::to_string(line) +
               "&ratio=540p&media_type=4&vr_type=0&improve_bitrate=0&is_play_url=1&is_support_h265=0"
               "&source=PackSourceEnum_PUBLISH";
    }

    Json postItem(const Account& a, const Post& p) {
        std::string vid = videoIdFor(a.secUid, p);
        int lowbrCount = p.playUrlCount;
        if (lowbrCount < 0) lowbrCount = (!p.awemeId.empty() && (p.awemeId.back() - '0') % 2 == 1) ? 2 : 4;
        Json lowbr = Json::array(), play = Json::array(), download = Json::array();
        for (int i = 0; i < lowbrCount; ++i) lowbr.push_back(playUrl(vid, i, false));
        for (int i = 0; i < p.playAddrCount; ++i) play.push_back(playUrl(vid, i, false));
        for (int i = 0; i < p.downloadAddrCount; ++i) download.push_back(playUrl(vid, i, true));
        std::vector<std::pair<size_t, size_t>> spans;
        auto tags = hashtags(p.desc, spans);
        Json extras = Json::array();
        for (size_t i = 0; i < tags.size(); ++i) {
            extras.push_back(Json{{"start", static_cast<std::int64_t>(spans[i].first)},
                                  {"end", static_cast<std::int64_t>(spans[i].second)},
                                  {"type", 1},
                                  {"hashtag_name", tags[i]},
                                  {"hashtag_id", static_cast<std::int64_t>(fnv(tags[i]) % 1000000000000000000ull)},
                                  {"is_commerce", false}});
        }
        std::string cover = "tos-cn-p-0015/" + hex(fnv(vid), 32);
        covers[cover] = std::make_shared<const std::string>(
            p.coverBytes.empty() ? std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00") + "COVER-" + p.awemeId + "\xFF\xD9"
                                 : p.coverBytes);
        const std::int64_t createTime =
            p.createTime != 0 ? p.createTime : 1672531200 + static_cast<std::int64_t>(fnv(p.awemeId) % 31536000);
        return Json{
            {"aweme_id", p.awemeId},
            {"desc", p.desc},
            {"author", userInfo(a)},
            {"aweme_type", 4},
            {"create_time", createTime},
            {"video", Json{{"play_addr", Json{{"uri", vid}, {"url_list", play}}},
                           {"play_addr_lowbr", Json{{"uri", vid}, {"url_list", lowbr}}},
                           {"download_addr", Json{{"uri", vid}, {"url_list", download}}},
                           {"cover", Json{{"uri", cover},
                                          {"url_list", Json::array({base() + "/cover/" + cover + "~noop.jpeg"})}}},
                           {"duration", static_cast<std::int64_t>(5000 + fnv(p.awemeId) % 50000)},
                           {"ratio", "540p"},
                           {"has_watermark", true},
                           {"bit_rate", nullptr},
                           {"height", 960},
                           {"width", 540}}},
            {"statistics", Json{{"aweme_id", p.awemeId},
                                {"comment_count", static_cast<std::int64_t>(fnv(p.awemeId) % 500)},
                                {"digg_count", static_cast<std::int64_t>(fnv(p.awemeId) % 9000)},
                                {"play_count", 0},
                                {"share_count", static_cast<std::int64_t>(fnv(p.awemeId) % 70)}}},
            {"text_extra", extras},
            {"share_url", "https://www.iesdouyin.com/share/video/" + p.awemeId +
                              "/?region=CN&mid=" + std::to_string(fnv(p.awemeId) % 7000000000000000000ull)}};
    }

    HttpResponse profile(const HttpRequest& req, Fault fault) {
        Json doc;
        {
            std::lock_guard<std::mutex> lock(mu);
            auto it = accounts.find(req.param("sec_uid"));
            doc = Json{{"status_code", 0}};
            bool empty = it != accounts.end() && it->second.emptyAnswers > 0;
            if (empty) --it->second.emptyAnswers;
            if (it != accounts.end() && fault != Fault::Blocked && !empty) doc["user_info"] = userInfo(it->second);
            doc["extra"] = extra();
        }
        return jsonResponse(render(std::move(doc), fault));
    }

    HttpResponse posts(const HttpRequest& req, Fault fault) {
        Json doc;
        {
            std::lock_guard<std::mutex> lock(mu);
            auto it = accounts.find(req.param("sec_uid"));
            long count = std::strtol(req.param("count").c_str(), nullptr, 10);
            if (count <= 0) count = 21;
            count = std::min(count, 50L);
            Json list = Json::array();
            bool more = true;
            if (it != accounts.end() && fault != Fault::Blocked && it->second.emptyAnswers == 0) {
                const auto& posts = it->second.posts;
                size_t n = std::min(posts.size(), static_cast<size_t>(count));
                for (size_t i = 0; i < n; ++i) list.push_back(postItem(it->second, posts[i]));
                more = posts.size() > n;
            }
            std::int64_t cursor = list.empty() ? 0 : nowMs() - static_cast<std::int64_t>(rng() % 86400000);
            Json hasMore = (rng() & 1) ? Json(more) : Json(more ? 1 : 0);
            doc = Json{{"status_code", 0},     {"aweme_list", list},
                       {"max_cursor", cursor}, {"min_cursor", list.empty() ? 0 : cursor - 86400000},
                       {"has_more", hasMore},  {"extra", extra()}};
        }
        return jsonResponse(render(std::move(doc), fault));
    }

    Json roomJson(const RoomState& state, const std::string& id, bool live, std::int64_t createTime, Fault fault) {
        const Room& r = state.room;
        bool ownerLive = !r.liveRoomId.empty();
        Json owner{{"id", idNumber(r.ownerId)},
                   {"id_str", r.ownerId},
                   {"short_id", static_cast<std::int64_t>(fnv(r.ownerId) % 9000000000ull + 1000000000ull)},
                   {"display_id", "dy" + hex(fnv(r.ownerSecUid), 8)},
                   {"nickname", r.ownerNickname},
                   {"sec_uid", r.ownerSecUid},
                   {"follow_info", Json{{"follower_count", static_cast<std::int64_t>(fnv(r.ownerId) % 100000)},
                                        {"following_count", static_cast<std::int64_t>(fnv(r.ownerSecUid) % 500)}}},
                   {"avatar_thumb", Json{{"url_list", Json::array({"https://p3.douyinpic.com/img/aweme-avatar/" +
                                                                   hex(fnv(r.ownerId), 24) + "~c5_100x100.jpeg"})}}}};
        if (fault == Fault::EmptyOwnRoom) {
            owner["own_room"] = Json{{"room_ids", Json::array()}, {"room_ids_str", Json::array()}};
        } else if (ownerLive) {
            owner["own_room"] = Json{{"room_ids", Json::array({idNumber(r.liveRoomId)})},
                                     {"room_ids_str", Json::array({r.liveRoomId})}};
        }
        auto map = [&](const std::string& url) {
            Json listed = Json::object();
            if (!live || url.empty()) return listed;
            for (const std::string& key : r.qualities) {
                if (!r.taggedQualities) {
                    listed[key] = url;
                    continue;
                }
                listed[key] = url + (url.find('?') == std::string::npos ? "?" : "&") + "quality=" + key;
            }
            return listed;
        };
        Json stream{{"default_resolution", r.defaultResolution},
                    {"rtmp_pull_url", r.rtmpPullUrl},
                    {"hls_pull_url", r.hlsPullUrl},
                    {"flv_pull_url", map(r.rtmpPullUrl)},
                    {"hls_pull_url_map", map(r.hlsPullUrl)},
                    {"candidate_resolution", Json::array({"SD1", "SD2", "HD1", "FULL_HD1"})},
                    {"id", idNumber(id)},
                    {"id_str", id},
                    {"provider", 0}};
        return Json{{"id", idNumber(id)},
                    {"id_str", id},
                    {"status", live ? 2 : 4},
                    {"create_time", createTime},
                    {"title", r.ownerNickname + "的直播间"},
                    {"user_count", live ? static_cast<std::int64_t>(fnv(id) % 5000) : 0},
                    {"owner", owner},
                    {"stream_url", stream},
                    {"room_view_stats", Json{{"display_short", live ? "1.2万" : "0"}}}};
    }

    HttpResponse room(const HttpRequest& req, Fault fault) {
        Json doc;
        {
            std::lock_guard<std::mutex> lock(mu);
            std::string id = req.param("room_id");
            Json data = Json::object();
            if (fault != Fault::Blocked) {
                if (RoomState* base = findRoom(id)) {
                    bool live = base->room.liveRoomId == id;
                    data["room"] = roomJson(*base, id, live, base->room.createTime, fault);
                } else if (RoomState* owner = findByLiveRoom(id)) {
                    data["room"] = roomJson(*owner, id, true, owner->liveCreateTime, fault);
                } else {
                    data["prompts"] = "直播已结束";
                }
            }
            doc = Json{{"data", data}, {"extra", extra()}, {"status_code", 0}};
        }
        return jsonResponse(render(std::move(doc), fault));
    }

    HttpResponse share(const HttpRequest& req) {
        std::string code = req.path.substr(1, 7);
        std::lock_guard<std::mutex> lock(mu);
        auto it = shareTargets.find(code);
        if (it == shareTargets.end()) return {404, "", {}, ""};
        const std::string& key = it->second;
        std::string target;
        if (key[0] == 'a') {
            auto acc = accounts.find(key.substr(1));
            if (acc == accounts.end()) return {404, "", {}, ""};
            target = base() + "/share/user/" + acc->second.uid + "?sec_uid=" + acc->second.secUid +
                     "&u_code=" + uCode() + "&timestamp=" + std::to_string(nowSec()) + kShareTail;
        } else {
            std::string roomId = key.substr(1);
            if (!findRoom(roomId)) return {404, "", {}, ""};
            target = base() + "/webcast/reflow/" + roomId + "?u_code=" + uCode() + kShareTail;
        }
        return redirectResponse(target);
    }

    HttpResponse playAnswer(const HttpRequest& req) {
        std::string vid = req.param("video_id");
        std::lock_guard<std::mutex> lock(mu);
        if (!videos.count(vid)) return {404, "", {}, ""};
        std::string target = base() + "/" + hex(fnv(vid), 32) + "/" + hex(static_cast<std::uint64_t>(nowSec()), 8) +
                             "/video/tos/cn/tos-cn-ve-15/" + urlEncode(vid) +
                             "/?a=1128&br=470&bt=470&cd=0%7C0%7C0&cr=0&cs=0&cv=1&dr=0&ds=3&er=&l=" + logId() +
                             "&lr=&mime_type=video_mp4&net=0&pl=0&qs=0&rc=" + hex(fnv(vid, 7), 16) + "&vl=&vr=";
        return redirectResponse(target);
    }

    static HttpResponse bytesResponse(const HttpRequest& req, const std::string& bytes, const std::string& type,
                                      std::vector<std::pair<std::string, std::string>> extraHeaders = {}) {
        HttpResponse r{200, "", {{"Content-Type", type}, {"Accept-Ranges", "bytes"}}, ""};
        for (auto& h : extraHeaders) r.headers.push_back(std::move(h));
        size_t first = 0, last = 0;
        bool unsatisfiable = false;
        if (parseRange(req.header("Range"), bytes.size(), first, last, unsatisfiable)) {
            if (unsatisfiable) {
                r.status = 416;
                r.headers.emplace_back("Content-Range", "bytes */" + std::to_string(bytes.size()));
                return r;
            }
            r.status = 206;
            r.headers.emplace_back("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) +
                                                        "/" + std::to_string(bytes.size()));
            r.body = bytes.substr(first, last - first + 1);
            return r;
        }
        r.body = bytes;
        return r;
    }

    HttpResponse video(const HttpRequest& req, const std::string& vid) {
        std::shared_ptr<const std::string> bytes;
        {
            std::lock_guard<std::mutex> lock(mu);
            auto it = videos.find(vid);
            if (it != videos.end()) bytes = it->second;
        }
        if (!bytes) return {404, "", {{"Content-Type", "text/html"}}, notFoundPage()};
        return bytesResponse(req, *bytes, "video/mp4");
    }

    std::string noticeText() {
        if (noticeSet) return notice;
        return "版本号【1.0.0.0】运营状态【运营中】公告栏【】更新软件地址【" + base() + "/update/vgmon】";
    }

    std::string noticePath() const { return "/api/v3/file/sourcejump/" + noticeShare + "/" + noticeKey; }

    HttpResponse noticeAnswer(const HttpRequest& req) {
        std::lock_guard<std::mutex> lock(mu);
        if (req.path == noticePath())
            return redirectResponse(base() + "/api/v3/file/source/4217/notice.txt?sign=" + hex(fnv(noticeKey), 20) +
                                    "%3D%3A0");
        return {
            200,
            "",
            {{"Content-Type", "text/plain; charset=utf-8"}, {"Content-Disposition", "inline; filename=\"notice.txt\""}},
            noticeText()};
    }

    std::string classify(const std::string& path) {
        static const std::regex shareRe("^/[A-Za-z0-9]{7}/$");
        static const std::regex videoRe("^/[0-9a-f]+/[0-9a-f]+/video/tos/cn/[^/]+/[^/]+/$");
        if (path == "/web/api/v2/user/info/") return kProfile;
        if (path == "/web/api/v2/aweme/post/") return kPosts;
        if (path == "/webcast/room/reflow/info/") return kRoom;
        if (path == "/aweme/v1/play/" || path == "/aweme/v1/playwm/") return kPlay;
        if (path == "/update/vgmon") return kUpdate;
        if (path.rfind("/cover/", 0) == 0) return kCover;
        if (path.rfind("/api/v3/file/sourcejump/", 0) == 0 || path.rfind("/api/v3/file/source/", 0) == 0)
            return kNotice;
        if (path.rfind("/stage/", 0) == 0) return kStream;
        if (path.rfind("/share/user/", 0) == 0 || path.rfind("/webcast/reflow/", 0) == 0) return kLanding;
        {
            std::lock_guard<std::mutex> lock(mu);
            if (canned.count(path)) return kCustom;
        }
        if (std::regex_match(path, shareRe)) return kShare;
        if (std::regex_match(path, videoRe)) return kVideo;
        return "other";
    }

    void record(const HttpRequest& req, const std::string& endpoint) {
        RequestRecord rec;
        rec.endpoint = endpoint;
        rec.method = req.method;
        rec.target = req.target;
        rec.path = req.path;
        rec.params = req.params;
        rec.headers = req.headers;
        rec.version = req.version;
        rec.body = req.body;
        rec.time = std::chrono::system_clock::now();
        std::function<void(const RequestRecord&)> obs;
        {
            std::lock_guard<std::mutex> lock(mu);
            ++counts[endpoint];
            ++total;
            obs = observer;
            log.push_back(rec);
            while (log.size() > logLimit) log.pop_front();
        }
        requestCv.notify_all();
        if (obs) obs(rec);
    }

    // Holds the request while the endpoint's stall lasts; false when the exchange is over.
    bool hold(Connection& conn, const std::string& endpoint, std::uint64_t generation) {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mu);
                if (faultGeneration[endpoint] != generation) return true;
            }
            if (!conn.pause(std::chrono::milliseconds(50))) return false;
        }
    }

    void play(Connection& conn, const HttpRequest& req, HttpResponse normal, Fault fault) {
        bool head = req.method == "HEAD";
        switch (fault) {
            case Fault::Slow: {
                conn.closeAfterResponse();
                std::string bytes = Connection::serializeHead(normal, normal.body.size(), false);
                if (!head) bytes += normal.body;
                for (char c : bytes) {
                    if (!conn.write(std::string_view(&c, 1))) return;
                    if (!conn.pause(std::chrono::seconds(1))) return;
                }
                return;
            }
            case Fault::ResetMidBody: {
                std::string bytes = Connection::serializeHead(normal, normal.body.size(), true);
                bytes.append(normal.body, 0, normal.body.size() / 2);
                conn.write(bytes);
                conn.reset();
                return;
            }
            case Fault::Http500: conn.send({500, "", {{"Content-Type", "text/html"}}, serverErrorPage()}, head); return;
            case Fault::Empty404: conn.send({404, "", {}, ""}, head); return;
            case Fault::TruncatedJson:
                normal.body.resize(normal.body.size() / 2);
                conn.send(normal, head);
                return;
            case Fault::Html:
                conn.send({200, "", {{"Content-Type", "text/html; charset=utf-8"}}, htmlInsteadOfJson()}, head);
                return;
            case Fault::DeepNesting:
                conn.send({200, "", {{"Content-Type", "application/json; charset=utf-8"}}, deepNesting()}, head);
                return;
            case Fault::Huge: {
                const std::string type = contentType(normal);
                HttpResponse r{200, "", {{"Content-Type", type}}, ""};
                if (!conn.write(Connection::serializeHead(r, kHugeSize, conn.keepAlive() && !conn.isHttp10())) || head)
                    return;
                static const std::string block = std::string(64 * 1024, 'A');
                // A huge video still begins like one (an FLV header), so what is tried is its size.
                std::string first = type.rfind("video/", 0) == 0 ? "FLV\x01\x05" + block.substr(5)
                                                                 : "{\"status_code\":0,\"data\":\"" + block.substr(25);
                size_t sent = 0;
                while (sent < kHugeSize) {
                    std::string_view piece = sent == 0 ? std::string_view(first) : std::string_view(block);
                    piece = piece.substr(0, std::min(piece.size(), kHugeSize - sent));
                    if (sent + piece.size() == kHugeSize && piece.size() >= 2) {
                        std::string last(piece.substr(0, piece.size() - 2));
                        last += "\"}";
                        if (!conn.write(last)) return;
                    } else if (!conn.write(piece)) {
                        return;
                    }
                    sent += piece.size();
                }
                return;
            }
            case Fault::RedirectLoop: conn.send(redirectResponse(base() + req.target), head); return;
            case Fault::HugeHeader:
                normal.headers.insert(normal.headers.begin(), {"X-Tt-Trace-Tag", std::string(kHugeHeaderSize, 'x')});
                conn.send(normal, head);
                return;
            case Fault::EmptyBody:
                normal.body.clear();
                conn.send(normal, head);
                return;
            case Fault::Http429: {
                int wait = 0;
                {
                    std::lock_guard<std::mutex> lock(mu);
                    ++refused;
                    wait = retryAfterSeconds;
                }
                conn.send(tooManyRequests(wait), head);
                return;
            }
            case Fault::Http403: {
                {
                    std::lock_guard<std::mutex> lock(mu);
                    ++refused;
                }
                conn.send({403, "", {{"Content-Type", "text/html"}}, forbiddenPage()}, head);
                return;
            }
            default: conn.send(normal, head); return;
        }
    }

    std::shared_ptr<LiveSource> stream(const std::string& name) {
        std::lock_guard<std::mutex> lock(mu);
        auto it = streams.find(name);
        return it == streams.end() ? nullptr : it->second;
    }

    void serveStream(Connection& conn, const HttpRequest& req) {
        bool head = req.method == "HEAD";
        std::string file = req.path.substr(std::string("/stage/").size());
        std::shared_ptr<LiveSource> src;
        {
            std::lock_guard<std::mutex> lock(mu);
            for (auto& [name, s] : streams) {
                if (file == s->flvFile() || s->ownsHlsFile(file)) {
                    src = s;
                    break;
                }
            }
        }
        if (!src || file.find('/') != std::string::npos) {
            conn.send({404, "", {{"Content-Type", "text/html"}}, notFoundPage()}, head);
            return;
        }
        if (file == src->flvFile())
            src->serveFlv(conn, head);
        else
            src->serveHls(conn, file, head);
    }

    // Whether the request limit refuses a request now; `wait` is then its Retry-After.
    bool overLimit(int& wait) {
        std::lock_guard<std::mutex> lock(mu);
        if (limitRequests <= 0) return false;
        const auto now = std::chrono::steady_clock::now();
        while (!limitRecent.empty() && now - limitRecent.front() >= limitWindow) limitRecent.pop_front();
        if (static_cast<int>(limitRecent.size()) < limitRequests) {
            limitRecent.push_back(now);
            return false;
        }
        ++refused;
        const auto free = limitRecent.front() + limitWindow - now;
        wait = std::max(
            1, static_cast<int>((std::chrono::duration_cast<std::chrono::milliseconds>(free).count() + 999) / 1000));
        return true;
    }

    void handle(const HttpRequest& req, Connection& conn) {
        std::string endpoint = classify(req.path);
        record(req, endpoint);
        if (endpoint == kProfile || endpoint == kPosts || endpoint == kRoom) {
            int wait = 0;
            if (overLimit(wait)) {
                conn.send(tooManyRequests(wait), req.method == "HEAD");
                return;
            }
        }
        std::uint64_t generation = 0;
        Fault fault = takeFault(endpoint, generation);
        if (fault == Fault::Stall) {
            if (!hold(conn, endpoint, generation)) {
                conn.closeAfterResponse();
                return;
            }
            fault = Fault::None;
        }
        if (endpoint == kStream) {
            if (fault == Fault::None || fault == Fault::EmptyOwnRoom || fault == Fault::SwappedTypes ||
                fault == Fault::Blocked) {
                serveStream(conn, req);
            } else {
                play(conn, req, {200, "", {{"Content-Type", "video/x-flv"}}, ""}, fault);
            }
            return;
        }
        HttpResponse answer;
        if (endpoint == kProfile) {
            answer = profile(req, fault);
        } else if (endpoint == kPosts) {
            answer = posts(req, fault);
        } else if (endpoint == kRoom) {
            answer = room(req, fault);
        } else if (endpoint == kShare) {
            answer = share(req);
        } else if (endpoint == kPlay) {
            answer = playAnswer(req);
        } else if (endpoint == kVideo) {
            static const std::regex videoRe("/video/tos/cn/[^/]+/([^/]+)/$");
            std::smatch m;
            std::regex_search(req.path, m, videoRe);
            answer = video(req, percentDecode(m[1].str(), false));
        } else if (endpoint == kCover) {
            std::string uri = req.path.substr(std::string("/cover/").size());
            if (const auto tail = uri.rfind('~'); tail != std::string::npos) uri.resize(tail);
            std::shared_ptr<const std::string> bytes;
            {
                std::lock_guard<std::mutex> lock(mu);
                if (auto it = covers.find(uri); it != covers.end()) bytes = it->second;
            }
            answer = bytes ? bytesResponse(req, *bytes, "image/jpeg")
                           : HttpResponse{404, "", {{"Content-Type", "text/html"}}, notFoundPage()};
        } else if (endpoint == kNotice) {
            answer = noticeAnswer(req);
        } else if (endpoint == kUpdate) {
            std::string bytes;
            {
                std::lock_guard<std::mutex> lock(mu);
                bytes = update;
            }
            answer = bytesResponse(req, bytes, "application/octet-stream",
                                   {{"Content-Disposition", "attachment; filename=\"vgmon\""}});
        } else if (endpoint == kLanding) {
            answer = {
                200,
                "",
                {{"Content-Type", "text/html; charset=utf-8"}},
                "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>抖音</title></head><body></body></html>"};
        } else if (endpoint == kCustom) {
            std::lock_guard<std::mutex> lock(mu);
            const CannedResponse& c = canned[req.path];
            answer = {c.status, c.reason, c.headers, c.body};
        } else {
            answer = {404, "", {{"Content-Type", "text/html"}}, notFoundPage()};
        }
        {
            std::lock_guard<std::mutex> lock(mu);
            auto it = extraHeaders.find(endpoint);
            if (it != extraHeaders.end())
                for (const auto& h : it->second) answer.headers.push_back(h);
        }
        HostileAnswer hostileAnswer;
        {
            std::lock_guard<std::mutex> lock(mu);
            auto it = hostile.find(endpoint);
            if (it != hostile.end()) hostileAnswer = it->second;
        }
        if (hostileAnswer.kind != HostileKind::None) {
            playHostile(conn, answer, hostileAnswer, req.method == "HEAD");
            return;
        }
        if (endpoint != kVideo) return play(conn, req, std::move(answer), fault);
        std::int64_t rate = 0;
        {
            std::lock_guard<std::mutex> lock(mu);
            rate = videoRate;
            ++videoTransfers.now;
            videoTransfers.peak = std::max(videoTransfers.peak, videoTransfers.now);
        }
        if (rate > 0 && fault == Fault::None && answer.status == 200 && req.method != "HEAD")
            trickle(conn, answer, rate);
        else
            play(conn, req, std::move(answer), fault);
        std::lock_guard<std::mutex> lock(mu);
        --videoTransfers.now;
    }

    void trickle(Connection& conn, const HttpResponse& answer, std::int64_t bytesPerSecond) {
        conn.closeAfterResponse();
        if (!conn.write(Connection::serializeHead(answer, answer.body.size(), false))) return;
        const std::size_t piece = static_cast<std::size_t>(std::max<std::int64_t>(1, bytesPerSecond / 10));
        for (std::size_t at = 0; at < answer.body.size(); at += piece) {
            if (!conn.write(std::string_view(answer.body).substr(at, piece))) return;
            if (at + piece < answer.body.size() && !conn.pause(std::chrono::milliseconds(100))) return;
        }
    }

    void ensureLiveDir() {
        if (!liveDir.empty()) return;
        std::string tmpl = (std::filesystem::temp_directory_path() / "vigilo-sim-live-XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (::mkdtemp(buf.data())) liveDir = buf.data();
    }
};

Simulator::Simulator() : impl_(std::make_unique<Impl>()) {}

Simulator::~Simulator() { stop(); }

bool Simulator::start(int port, const std::string& certFile, const std::string& keyFile) {
    return impl_->server.start(port, certFile, keyFile, [impl = impl_.get()](const HttpRequest& req, Connection& conn) {
        impl->handle(req, conn);
    });
}

void Simulator::setRequestLimit(int requests, std::chrono::milliseconds window) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->limitRequests = requests;
    impl_->limitWindow = window.count() > 0 ? window : std::chrono::milliseconds(60000);
    impl_->limitRecent.clear();
}

void Simulator::setRetryAfter(int seconds) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->retryAfterSeconds = seconds;
}

size_t Simulator::refusedCount() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->refused;
}

void Simulator::setVideoRate(std::int64_t bytesPerSecond) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->videoRate = bytesPerSecond;
}

Simulator::Transfers Simulator::videoTransfers() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->videoTransfers;
}

void Simulator::resetVideoPeak() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->videoTransfers.peak = impl_->videoTransfers.now;
}

void Simulator::stop() {
    impl_->server.stop();
    std::map<std::string, std::shared_ptr<LiveSource>> streams;
    std::string dir;
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        streams.swap(impl_->streams);
        dir.swap(impl_->liveDir);
    }
    streams.clear();  // ends every generator and reaps it
    if (!dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
}

int Simulator::port() const { return impl_->server.port(); }

std::string Simulator::baseUrl() const { return impl_->base(); }

void Simulator::addAccount(const Account& account) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (!impl_->accounts.count(account.secUid)) impl_->accountOrder.push_back(account.secUid);
    impl_->accounts[account.secUid] = account;
    impl_->codeFor("a" + account.secUid);
}

void Simulator::addPost(const std::string& secUid, const Post& post) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->accounts.find(secUid);
    if (it != impl_->accounts.end()) it->second.posts.insert(it->second.posts.begin(), post);
}

bool Simulator::editAccount(const std::string& secUid, const std::function<void(Account&)>& change) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->accounts.find(secUid);
    if (it == impl_->accounts.end()) return false;
    change(it->second);
    it->second.secUid = secUid;  // the key stays what it was
    return true;
}

void Simulator::removeNewestPost(const std::string& secUid) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->accounts.find(secUid);
    if (it != impl_->accounts.end() && !it->second.posts.empty()) it->second.posts.erase(it->second.posts.begin());
}

std::string Simulator::accountShareLink(const std::string& secUid) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->base() + "/" + impl_->codeFor("a" + secUid) + "/";
}

void Simulator::addRoom(const Room& room) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    RoomState& s = impl_->rooms[room.roomId];
    s.room = room;
    if (s.room.createTime == 0) s.room.createTime = nowSec() - (room.liveRoomId.empty() ? 86400 : 600);
    s.liveCreateTime = s.room.createTime;
    impl_->codeFor("r" + room.roomId);
}

void Simulator::goLive(const std::string& roomId, const std::string& streamUrl, const std::string& liveRoomId) {
    std::string flv, hls;
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        RoomState* s = impl_->findRoom(roomId);
        if (!s) return;
        std::string path = streamUrl.substr(0, streamUrl.find('?'));
        auto endsWith = [&](const std::string& tail) {
            return path.size() >= tail.size() && path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
        };
        auto swapTail = [&](const std::string& from, const std::string& to) {
            std::string out = streamUrl;
            out.replace(path.size() - from.size(), from.size(), to);
            return out;
        };
        if (endsWith(".m3u8")) {
            hls = streamUrl;
            flv = !s->room.rtmpPullUrl.empty() ? s->room.rtmpPullUrl : swapTail(".m3u8", ".flv");
        } else {
            flv = streamUrl;
            hls = !s->room.hlsPullUrl.empty() ? s->room.hlsPullUrl
                                              : (endsWith(".flv") ? swapTail(".flv", ".m3u8") : streamUrl);
        }
    }
    goLiveWithUrls(roomId, flv, hls, liveRoomId);
}

void Simulator::goLiveWithUrls(const std::string& roomId, const std::string& flvUrl, const std::string& hlsUrl,
                               const std::string& liveRoomId) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    RoomState* s = impl_->findRoom(roomId);
    if (!s) return;
    s->room.liveRoomId = liveRoomId.empty() ? roomId : liveRoomId;
    s->room.rtmpPullUrl = flvUrl;
    s->room.hlsPullUrl = hlsUrl;
    s->liveCreateTime = nowSec();
    if (s->room.liveRoomId == roomId) s->room.createTime = s->liveCreateTime;
}

void Simulator::endShow(const std::string& roomId) {
    std::string streamName;
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        RoomState* s = impl_->findRoom(roomId);
        if (!s) s = impl_->findByLiveRoom(roomId);
        if (!s) return;
        s->room.liveRoomId.clear();
        auto it = impl_->roomStreams.find(s->room.roomId);
        if (it != impl_->roomStreams.end()) {
            streamName = it->second;
            impl_->roomStreams.erase(it);
        }
    }
    if (!streamName.empty()) endStream(streamName);
}

bool Simulator::isLive(const std::string& roomId) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    RoomState* s = impl_->findRoom(roomId);
    return s && !s->room.liveRoomId.empty();
}

std::string Simulator::roomShareLink(const std::string& roomId) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->base() + "/" + impl_->codeFor("r" + roomId) + "/";
}

bool Simulator::editRoom(const std::string& roomId, const std::function<void(Room&)>& change) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    RoomState* s = impl_->findRoom(roomId);
    if (!s) return false;
    change(s->room);
    s->room.roomId = roomId;
    return true;
}

void Simulator::setNotice(const std::string& utf8Text) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->notice = utf8Text;
    impl_->noticeSet = true;
}

void Simulator::setUpdateFile(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->update = bytes;
}

std::string Simulator::noticeUrl() const { return impl_->base() + impl_->noticePath(); }

std::string Simulator::updateUrl() const { return impl_->base() + "/update/vgmon"; }

void Simulator::setFault(const std::string& endpoint, Fault fault) { setFault(endpoint, fault, -1); }

void Simulator::setHostileAnswer(const std::string& endpoint, const HostileAnswer& answer) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (answer.kind == HostileKind::None)
        impl_->hostile.erase(endpoint);
    else
        impl_->hostile[endpoint] = answer;
}

void Simulator::setFault(const std::string& endpoint, Fault fault, int times) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    ++impl_->faultGeneration[endpoint];
    if (fault == Fault::None || times == 0)
        impl_->faults.erase(endpoint);
    else
        impl_->faults[endpoint] = FaultState{fault, times < 0 ? -1 : times};
}

void Simulator::clearFaults() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->faults.clear();
    for (auto& [name, gen] : impl_->faultGeneration) ++gen;
}

void Simulator::setFaultChooser(std::function<Fault(const std::string& endpoint)> chooser) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->faultChooser = std::move(chooser);
}

void Simulator::setRefusing(bool refusing) { impl_->server.setRefusing(refusing); }

std::vector<RequestRecord> Simulator::requests() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return {impl_->log.begin(), impl_->log.end()};
}

std::vector<RequestRecord> Simulator::requests(const std::string& endpoint) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    std::vector<RequestRecord> out;
    for (const auto& r : impl_->log)
        if (r.endpoint == endpoint) out.push_back(r);
    return out;
}

void Simulator::clearRequests() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->log.clear();
}

size_t Simulator::requestCount(const std::string& endpoint) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (endpoint.empty()) return impl_->total;
    auto it = impl_->counts.find(endpoint);
    return it == impl_->counts.end() ? 0 : it->second;
}

bool Simulator::waitForRequests(const std::string& endpoint, size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->requestCv.wait_for(lock, timeout, [&] {
        if (endpoint.empty()) return impl_->total >= count;
        auto it = impl_->counts.find(endpoint);
        return it != impl_->counts.end() && it->second >= count;
    });
}

void Simulator::setRequestLogLimit(size_t limit) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->logLimit = limit;
    while (impl_->log.size() > limit) impl_->log.pop_front();
}

void Simulator::setRequestObserver(std::function<void(const RequestRecord&)> observer) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->observer = std::move(observer);
}

void Simulator::addResponseHeader(const std::string& endpoint, const std::string& name, const std::string& value) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->extraHeaders[endpoint].emplace_back(name, value);
}

void Simulator::setResponse(const std::string& path, const CannedResponse& response) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->canned[path] = response;
}

void Simulator::setShuffleMembers(bool shuffle) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->shuffle = shuffle;
}

bool Simulator::ffmpegAvailable() { return LiveSource::ffmpegAvailable(); }

StreamUrls Simulator::createStream(const std::string& name, StreamAudio audio) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    StreamUrls urls;
    urls.name = name;
    if (urls.name.empty()) {
        do {
            urls.name = "stream-" + std::to_string(110000000000000000ull + (impl_->rng() % 1000000000ull) * 1000 +
                                                   ++impl_->streamCounter);
        } while (impl_->streams.count(urls.name));
    }
    if (!validStreamName(urls.name) || impl_->streams.count(urls.name)) return {};
    impl_->ensureLiveDir();
    if (impl_->liveDir.empty()) return {};
    LiveOptions options;
    options.audio = audio;
    impl_->streams[urls.name] = std::make_shared<LiveSource>(urls.name, impl_->liveDir, options);
    urls.flv = impl_->base() + "/stage/" + urls.name + ".flv";
    urls.hls = impl_->base() + "/stage/" + urls.name + ".m3u8";
    return urls;
}

void Simulator::stallStream(const std::string& name, bool stalled) {
    if (auto s = impl_->stream(name)) s->setStalled(stalled);
}

void Simulator::freezePlaylist(const std::string& name, bool frozen) {
    if (auto s = impl_->stream(name)) s->setPlaylistFrozen(frozen);
}

void Simulator::endStream(const std::string& name) {
    if (auto s = impl_->stream(name)) s->end();
}

int Simulator::streamViewers(const std::string& name) const {
    auto s = impl_->stream(name);
    return s ? s->flvClients() : 0;
}

StreamUrls Simulator::goLiveWithStream(const std::string& roomId, const std::string& liveRoomId, StreamAudio audio) {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        if (!impl_->findRoom(roomId)) return {};
    }
    StreamUrls urls = createStream("", audio);
    if (urls.name.empty()) return urls;
    std::string previous;
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        auto& slot = impl_->roomStreams[roomId];
        previous = slot;
        slot = urls.name;
    }
    if (!previous.empty()) endStream(previous);
    goLiveWithUrls(roomId, urls.flv, urls.hls, liveRoomId);
    return urls;
}

size_t Simulator::openConnections() const { return impl_->server.openConnections(); }

}  // namespace vigilo::sim
