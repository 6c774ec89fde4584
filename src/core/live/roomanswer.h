#pragma once
// The room-information answer as the live monitor reads it. Registration and the poll both go
// through parseRoomAnswer, so every member is read in one place.
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "app/settings.h"
#include "text/jsondoc.h"

namespace vigilo {

struct RoomAnswer {
    bool hasRoom = false;     // the answer holds a room at all (a failed answer does not)
    std::string nickname;     // the owner's
    std::string createTime;   // seconds since 1970 as digits, "" when missing
    std::string latestId;     // the owner's live room; "" when the owner is not live
    std::string resolution;   // default_resolution
    std::string rtmpPullUrl;  // an HTTP-FLV address despite its name
    std::string hlsPullUrl;
    // The qualities the room lists, best first by key: "ORIGIN" (some rooms only),
    // "FULL_HD1", "HD1", "SD1", "SD2"; other keys and empty addresses are left out.
    std::map<std::string, std::string> flvPullUrls;  // flv_pull_url
    std::map<std::string, std::string> hlsPullUrls;  // hls_pull_url_map

    bool ownerLive() const { return !latestId.empty(); }
};

// The keys of the listed qualities, best first.
const std::vector<std::string>& qualityKeys();

// What a recorder is started with for a room: the stream's address, and whether only its
// sound is kept.
struct StreamChoice {
    std::string url;
    bool audioOnly = false;
    std::string key;  // the quality key it was listed under; "" for the answer's own rule
};

// The stream a quality records. `registration`: the room is being registered (the answer's
// rule then takes the FLV address for "HD1", the HLS one otherwise); a poll always takes HLS.
// A quality looks in the listing of that same kind: the wanted quality, else the next lower
// listed one, else the answer's own rule. 原画 is the best listed. 仅音频 records the answer's
// own stream without its picture.
StreamChoice chooseStream(const RoomAnswer& answer, RecordQuality quality, bool registration);

// The members parseRoomAnswer reads: a parse that keeps only these builds nothing else.
const std::vector<std::string_view>& roomAnswerPaths();

// The answer's members from its text (UTF-8); a body that is no JSON reads as empty members.
RoomAnswer parseRoomAnswer(const JsonDoc& doc);
RoomAnswer parseRoomAnswer(std::string_view body);

}  // namespace vigilo
