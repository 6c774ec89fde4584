#pragma once
// The room-information answer as the live monitor reads it. Registration and the poll both go
// through parseRoomAnswer, so every member is read in one place.
#include <string>
#include <string_view>
#include <vector>

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

    bool ownerLive() const { return !latestId.empty(); }
    // The address registration records: the FLV one for "HD1", the HLS one otherwise.
    const std::string& registrationStream() const { return resolution == "HD1" ? rtmpPullUrl : hlsPullUrl; }
};

// The members parseRoomAnswer reads: a parse that keeps only these builds nothing else.
const std::vector<std::string_view>& roomAnswerPaths();

// The answer's members from its text (UTF-8); a body that is no JSON reads as empty members.
RoomAnswer parseRoomAnswer(const JsonDoc& doc);
RoomAnswer parseRoomAnswer(std::string_view body);

}  // namespace vigilo
