#include "live/roomanswer.h"

#include "text/charset.h"

namespace vigilo {

RoomAnswer parseRoomAnswer(const JsonDoc& doc) {
    RoomAnswer answer;
    answer.hasRoom = doc.exists("data.room");
    answer.nickname = doc.getText("data.room.owner.nickname");
    answer.createTime = doc.subDocument("data.room['create_time']").toText();
    answer.latestId = doc.getText("data.room.owner['own_room']['room_ids_str'][0]");
    answer.resolution = doc.getText("data.room['stream_url']['default_resolution']");
    answer.rtmpPullUrl = doc.getText("data.room['stream_url']['rtmp_pull_url']");
    answer.hlsPullUrl = doc.getText("data.room['stream_url']['hls_pull_url']");
    return answer;
}

RoomAnswer parseRoomAnswer(std::string_view body) {
    JsonDoc doc;
    doc.parse(bodyToText(body));
    return parseRoomAnswer(doc);
}

}  // namespace vigilo
