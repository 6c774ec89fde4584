#include "live/roomanswer.h"

#include "text/charset.h"
#include "text/strings.h"

namespace vigilo {

RoomAnswer parseRoomAnswer(const JsonDoc& doc) {
    RoomAnswer answer;
    answer.hasRoom = doc.exists("data.room");
    // Texts from the service are cut before they reach a cell, a log line or a file name.
    const auto text = [&](const char* path, std::size_t limit) { return cutServiceText(doc.getText(path), limit); };
    answer.nickname = text("data.room.owner.nickname", kMaxNicknameBytes);
    answer.createTime = cutServiceText(doc.subDocument("data.room['create_time']").toText(), kMaxServiceFieldBytes);
    answer.latestId = text("data.room.owner['own_room']['room_ids_str'][0]", kMaxServiceFieldBytes);
    answer.resolution = text("data.room['stream_url']['default_resolution']", kMaxServiceFieldBytes);
    answer.rtmpPullUrl = text("data.room['stream_url']['rtmp_pull_url']", kMaxServiceFieldBytes);
    answer.hlsPullUrl = text("data.room['stream_url']['hls_pull_url']", kMaxServiceFieldBytes);
    return answer;
}

RoomAnswer parseRoomAnswer(std::string_view body) {
    JsonDoc doc;
    doc.parse(bodyToText(body));
    return parseRoomAnswer(doc);
}

}  // namespace vigilo
