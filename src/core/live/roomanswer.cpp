#include "live/roomanswer.h"

#include "text/charset.h"
#include "text/strings.h"

namespace vigilo {
namespace {

constexpr const char* kNicknamePath = "data.room.owner.nickname";
constexpr const char* kCreateTimePath = "data.room['create_time']";
constexpr const char* kLatestIdPath = "data.room.owner['own_room']['room_ids_str'][0]";
constexpr const char* kResolutionPath = "data.room['stream_url']['default_resolution']";
constexpr const char* kRtmpPath = "data.room['stream_url']['rtmp_pull_url']";
constexpr const char* kHlsPath = "data.room['stream_url']['hls_pull_url']";

}  // namespace

const std::vector<std::string_view>& roomAnswerPaths() {
    static const std::vector<std::string_view> paths = {kNicknamePath, kCreateTimePath, kLatestIdPath,
                                                        kResolutionPath, kRtmpPath, kHlsPath};
    return paths;
}

RoomAnswer parseRoomAnswer(const JsonDoc& doc) {
    RoomAnswer answer;
    answer.hasRoom = doc.exists("data.room");
    // Texts from the service are cut before they reach a cell, a log line or a file name.
    const auto text = [&](const char* path, std::size_t limit) { return cutServiceText(doc.getText(path), limit); };
    answer.nickname = text(kNicknamePath, kMaxNicknameBytes);
    answer.createTime = cutServiceText(doc.subDocument(kCreateTimePath).toText(), kMaxServiceFieldBytes);
    answer.latestId = text(kLatestIdPath, kMaxServiceFieldBytes);
    answer.resolution = text(kResolutionPath, kMaxServiceFieldBytes);
    answer.rtmpPullUrl = text(kRtmpPath, kMaxServiceFieldBytes);
    answer.hlsPullUrl = text(kHlsPath, kMaxServiceFieldBytes);
    return answer;
}

RoomAnswer parseRoomAnswer(std::string_view body) {
    JsonDoc doc;
    doc.parseKeeping(bodyToText(body), roomAnswerPaths());
    return parseRoomAnswer(doc);
}

}  // namespace vigilo
