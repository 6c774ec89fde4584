#pragma once
// A simulated service on loopback: share-link redirect pages, profile and post-list JSON,
// room information, play-address redirects, video bodies, the update notice and an update
// file. Its state is scriptable from tests, and it records every request it receives.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vigilo::sim {

struct Post {
    std::string awemeId;     // text id, 19 digits in the real service
    std::string desc;
    std::string videoBytes;  // served at the video address
};

struct Account {
    std::string uid;       // numeric text
    std::string secUid;    // MS4wLjABAAAA...
    std::string shortId;
    std::string uniqueId;
    std::string nickname;
    std::string signature;
    std::int64_t followerCount = 0;
    std::vector<Post> posts;  // newest first; aweme_count is posts.size() unless overridden
    std::int64_t awemeCountOverride = -1;
};

struct Room {
    std::string roomId;            // the room of the share link
    std::string ownerId;
    std::string ownerNickname;
    std::string ownerSecUid;
    std::string liveRoomId;        // the owner's current live room; empty when not live
    std::int64_t createTime = 0;   // seconds since 1970
    std::string defaultResolution = "HD1";
    std::string rtmpPullUrl;       // an http://...flv address despite its name
    std::string hlsPullUrl;        // .m3u8
};

// Faults the service can play on an endpoint.
enum class Fault {
    None,
    Stall,            // accepts and never answers
    Slow,             // one byte per second
    ResetMidBody,     // closes the connection halfway through the body
    Http500,
    Empty404,
    TruncatedJson,
    Html,
    DeepNesting,      // JSON nested a million levels
    Huge,             // a 200 MB body
    RedirectLoop,
    HugeHeader,       // a 1 MB header line
    EmptyOwnRoom,     // room: own_room with empty lists
    SwappedTypes,     // numbers where text is expected and the reverse
};

// Endpoint names for faults and request records.
inline constexpr const char* kProfile = "profile";
inline constexpr const char* kPosts = "posts";
inline constexpr const char* kRoom = "room";
inline constexpr const char* kShare = "share";
inline constexpr const char* kPlay = "play";
inline constexpr const char* kVideo = "video";
inline constexpr const char* kNotice = "notice";
inline constexpr const char* kUpdate = "update";

struct RequestRecord {
    std::string endpoint;  // one of the names above, or "other"
    std::string method;
    std::string target;    // path and query as received
    std::string path;
    std::multimap<std::string, std::string> params;
    std::vector<std::pair<std::string, std::string>> headers;  // as received, in order
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

    void addAccount(const Account& account);
    void addPost(const std::string& secUid, const Post& post);  // becomes the newest
    void removeNewestPost(const std::string& secUid);
    std::string accountShareLink(const std::string& secUid) const;

    void addRoom(const Room& room);
    // Takes the owner of `roomId` live in `liveRoomId` (empty: the same room) with the stream.
    void goLive(const std::string& roomId, const std::string& streamUrl, const std::string& liveRoomId = "");
    void endShow(const std::string& roomId);
    std::string roomShareLink(const std::string& roomId) const;

    void setNotice(const std::string& utf8Text);
    void setUpdateFile(const std::string& bytes);
    std::string noticeUrl() const;
    std::string updateUrl() const;

    void setFault(const std::string& endpoint, Fault fault);
    void clearFaults();

    std::vector<RequestRecord> requests() const;
    void clearRequests();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace vigilo::sim
