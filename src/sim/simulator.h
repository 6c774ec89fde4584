#pragma once
// A simulated service on loopback: share-link redirect pages, profile and post-list JSON,
// room information, play-address redirects, video bodies, the update notice and an update
// file. Its state is scriptable from tests, and it records every request it receives.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/hostile.h"
#include "sim/stream_audio.h"

namespace vigilo::sim {

struct Post {
    std::string awemeId;  // text id, 19 digits in the real service
    std::string desc;
    std::string videoBytes;  // served at the video address
    // Entries of video.play_addr_lowbr.url_list. -1: as the real service does, two for some
    // posts (those whose id ends in an odd digit) and four for the others.
    int playUrlCount = -1;
    // Entries of video.play_addr and video.download_addr (the watermarked address).
    int playAddrCount = 2;
    int downloadAddrCount = 2;
    // Served at the cover address (video.cover.url_list); empty: a small JPEG made from the id.
    std::string coverBytes = {};
    // create_time, seconds since 1970; 0: a time in 2023-2024 made from the id.
    std::int64_t createTime = 0;
};

struct Account {
    std::string uid;     // numeric text
    std::string secUid;  // MS4wLjABAAAA...
    std::string shortId;
    std::string uniqueId;
    std::string nickname;
    std::string signature;
    std::int64_t followerCount = 0;
    std::vector<Post> posts;  // newest first; aweme_count is posts.size() unless overridden
    std::int64_t awemeCountOverride = -1;
    // The next this many profile answers (and the post lists asked meanwhile) get what a
    // blocked request gets: no user_info, an empty aweme_list.
    int emptyAnswers = 0;
};

struct Room {
    std::string roomId;  // the room of the share link
    std::string ownerId;
    std::string ownerNickname;
    std::string ownerSecUid;
    std::string liveRoomId;       // the owner's current live room; empty when not live
    std::int64_t createTime = 0;  // seconds since 1970
    std::string defaultResolution = "HD1";
    std::string rtmpPullUrl;  // an http://...flv address despite its name
    std::string hlsPullUrl;   // .m3u8
    // The qualities flv_pull_url and hls_pull_url_map list (a live room only), "ORIGIN" among
    // them when wanted. Tagged, each quality's address carries "quality=<key>" in its query
    // (the same stream is served), so a test sees which one a recorder took.
    std::vector<std::string> qualities{"FULL_HD1", "HD1", "SD1", "SD2"};
    bool taggedQualities = false;
};

// Faults the service can play on an endpoint. The JSON-only ones (EmptyOwnRoom, SwappedTypes,
// Blocked) leave other endpoints' answers as they are. "Connection refused" is setRefusing.
enum class Fault {
    None,
    Stall,         // accepts and never answers: each request is held until the endpoint's
                   // fault is set again or cleared (then it is answered), the client leaves,
                   // or the simulator stops
    Slow,          // one byte per second
    ResetMidBody,  // closes the connection halfway through the body
    Http500,
    Empty404,
    TruncatedJson,
    Html,
    DeepNesting,  // JSON nested a million levels
    Huge,         // a 200 MB body
    RedirectLoop,
    HugeHeader,    // a 1 MB header line
    EmptyOwnRoom,  // room: own_room with empty lists
    SwappedTypes,  // numbers where text is expected and the reverse
    EmptyBody,     // 200 with an empty body
    Blocked,       // 200 with what a blocked request gets: an empty list, no user_info, no room
    Http429,       // too many requests, with the Retry-After of setRetryAfter
    Http403,       // forbidden: a client the service has shut out for a while
};

// Every fault of a broken answer, for tests that walk the whole matrix. The refusals
// (Http429, Http403) are left out: the program slows down on them rather than failing.
std::vector<Fault> allFaults();
const char* faultName(Fault fault);

// Endpoint names for faults and request records.
inline constexpr const char* kProfile = "profile";
inline constexpr const char* kPosts = "posts";
inline constexpr const char* kRoom = "room";
inline constexpr const char* kShare = "share";
inline constexpr const char* kPlay = "play";
inline constexpr const char* kVideo = "video";
inline constexpr const char* kCover = "cover";  // posts' cover pictures
inline constexpr const char* kNotice = "notice";
inline constexpr const char* kUpdate = "update";
inline constexpr const char* kLanding = "landing";  // pages the share-link targets lead to
inline constexpr const char* kStream = "stream";    // live streams (FLV, HLS playlist, segments)
inline constexpr const char* kCustom = "custom";    // answers set with setResponse

// A fixed answer for a path of the test's choosing (cookies, odd status lines, charsets).
struct CannedResponse {
    int status = 200;
    std::string reason;  // empty: the standard phrase
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

struct StreamUrls {
    std::string name;
    std::string flv;  // HTTP-FLV, what rtmp_pull_url carries
    std::string hls;  // the .m3u8 playlist
};

struct RequestRecord {
    std::string endpoint;  // one of the names above, or "other"
    std::string method;
    std::string target;  // path and query as received
    std::string path;
    std::multimap<std::string, std::string> params;
    std::vector<std::pair<std::string, std::string>> headers;  // as received, in order
    std::string version;                                       // "HTTP/1.1"
    std::string body;
    std::chrono::system_clock::time_point time;

    std::string header(const std::string& name) const;  // first of that name, any case
    std::string param(const std::string& name) const;
};

class Simulator {
public:
    Simulator();
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Listens on 127.0.0.1; port 0 picks an ephemeral port. With cert and key files, HTTPS.
    bool start(int port = 0, const std::string& certFile = "", const std::string& keyFile = "");
    void stop();
    int port() const;
    std::string baseUrl() const;  // scheme://127.0.0.1:port

    // Adding an account with a known sec_uid replaces it.
    void addAccount(const Account& account);
    void addPost(const std::string& secUid, const Post& post);  // becomes the newest
    // Changes an account in place (nickname, counts, posts); false when the sec_uid is unknown.
    bool editAccount(const std::string& secUid, const std::function<void(Account&)>& change);
    void removeNewestPost(const std::string& secUid);
    std::string accountShareLink(const std::string& secUid) const;

    // A room whose liveRoomId is set starts live with its rtmpPullUrl and hlsPullUrl.
    void addRoom(const Room& room);
    // Takes the owner of `roomId` live in `liveRoomId` (empty: the same room) with the stream.
    // An address ending in .m3u8 becomes hls_pull_url, any other rtmp_pull_url; the other one
    // keeps the room's own value, or is derived from the given one.
    void goLive(const std::string& roomId, const std::string& streamUrl, const std::string& liveRoomId = "");
    void endShow(const std::string& roomId);
    std::string roomShareLink(const std::string& roomId) const;
    bool editRoom(const std::string& roomId, const std::function<void(Room&)>& change);

    // Until set, the notice lets version 1.0.0.0 start silently and names updateUrl().
    void setNotice(const std::string& utf8Text);
    void setUpdateFile(const std::string& bytes);
    std::string noticeUrl() const;
    std::string updateUrl() const;

    void setFault(const std::string& endpoint, Fault fault);
    // The fault is played on the next `times` requests of the endpoint, then it is cleared.
    void setFault(const std::string& endpoint, Fault fault, int times);
    void clearFaults();
    // A hostile answer played instead of the endpoint's normal one on every request, until it
    // is set to HostileKind::None; it comes after any fault's stall.
    void setHostileAnswer(const std::string& endpoint, const HostileAnswer& answer);
    // Asked for every request of an endpoint that has no fault set above (long runs that fail
    // a share of answers at random); returns the fault to play, Fault::None for a normal answer.
    // Called on the connection's thread, without the simulator's lock held.
    void setFaultChooser(std::function<Fault(const std::string& endpoint)> chooser);
    // Video bodies come at this many bytes a second (a piece every tenth of a second), after
    // their head at once; 0: as fast as the connection takes them. Faults play as before.
    void setVideoRate(std::int64_t bytesPerSecond);
    // Video answers being sent now, and the most at once since resetVideoPeak.
    struct Transfers {
        int now = 0, peak = 0;
    };
    Transfers videoTransfers() const;
    void resetVideoPeak();
    // A limit on the requests of the one client (the simulator serves loopback) to the JSON
    // endpoints (profile, posts, room): past `requests` in any `window`, each is answered 429
    // with a Retry-After of the seconds until the window has room again (at least one). 0
    // requests: no limit. Requests refused do not count towards the window.
    void setRequestLimit(int requests, std::chrono::milliseconds window = std::chrono::minutes(1));
    // The Retry-After, in seconds, of a played Http429 fault (default 1); negative: none sent.
    void setRetryAfter(int seconds);
    // Answers refused so far by the request limit and the Http429 and Http403 faults.
    size_t refusedCount() const;
    // Closes the listening socket (connects are refused) or opens it again on the same port.
    void setRefusing(bool refusing);

    std::vector<RequestRecord> requests() const;
    std::vector<RequestRecord> requests(const std::string& endpoint) const;
    void clearRequests();
    // Requests received so far for the endpoint (all of them when empty), also counting those
    // that fell out of the kept log.
    size_t requestCount(const std::string& endpoint = "") const;
    // Waits until requestCount(endpoint) reaches `count`; false on time-out.
    bool waitForRequests(const std::string& endpoint, size_t count, std::chrono::milliseconds timeout) const;
    // The log keeps the newest `limit` records (default 10000) so long runs stay bounded.
    void setRequestLogLimit(size_t limit);
    // Called on the connection's thread for every request as it arrives.
    void setRequestObserver(std::function<void(const RequestRecord&)> observer);

    // Extra header lines on every answer of an endpoint (Set-Cookie, for example).
    void addResponseHeader(const std::string& endpoint, const std::string& name, const std::string& value);
    void setResponse(const std::string& path, const CannedResponse& response);
    // Member order of JSON objects changes between answers unless switched off.
    void setShuffleMembers(bool shuffle);

    // Live streams generated with ffmpeg. The URLs are served by this simulator.
    static bool ffmpegAvailable();
    StreamUrls createStream(const std::string& name = "", StreamAudio audio = StreamAudio::Aac);
    void stallStream(const std::string& name, bool stalled = true);
    // The stream's HLS playlist is answered unchanged from now on (see LiveSource).
    void freezePlaylist(const std::string& name, bool frozen = true);
    void endStream(const std::string& name);
    int streamViewers(const std::string& name) const;
    // Creates a stream and takes the room live with it (rtmp_pull_url: FLV, hls_pull_url: HLS);
    // endShow then also ends that stream.
    StreamUrls goLiveWithStream(const std::string& roomId, const std::string& liveRoomId = "",
                                StreamAudio audio = StreamAudio::Aac);
    // Like goLive with both stream addresses given.
    void goLiveWithUrls(const std::string& roomId, const std::string& flvUrl, const std::string& hlsUrl,
                        const std::string& liveRoomId = "");
    bool isLive(const std::string& roomId) const;

    // Connections being served right now.
    size_t openConnections() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace vigilo::sim
