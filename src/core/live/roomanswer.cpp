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
constexpr const char* kFlvMapPath = "data.room['stream_url']['flv_pull_url']";
constexpr const char* kHlsMapPath = "data.room['stream_url']['hls_pull_url_map']";

std::map<std::string, std::string> qualityMap(const JsonDoc& doc, const char* path) {
    std::map<std::string, std::string> listed;
    if (doc.typeOf(path) != 4) return listed;
    for (const std::string& key : qualityKeys()) {
        const std::string member = std::string(path) + "['" + key + "']";
        if (doc.typeOf(member) != 6) continue;
        std::string url = cutServiceText(doc.getText(member), kMaxServiceFieldBytes);
        if (!url.empty()) listed.emplace(key, std::move(url));
    }
    return listed;
}

// Where a quality starts looking in the listing; the end of the list for the answer's rule.
std::size_t firstKeyOf(RecordQuality quality) {
    switch (quality) {
        case RecordQuality::Origin: return 0;
        case RecordQuality::High: return 2;
        case RecordQuality::Standard: return 3;
        case RecordQuality::Smooth: return 4;
        case RecordQuality::Default:
        case RecordQuality::AudioOnly: break;
    }
    return qualityKeys().size();
}

}  // namespace

const std::vector<std::string_view>& roomAnswerPaths() {
    static const std::vector<std::string_view> paths = {kNicknamePath, kCreateTimePath, kLatestIdPath, kResolutionPath,
                                                        kRtmpPath,     kHlsPath,        kFlvMapPath,   kHlsMapPath};
    return paths;
}

const std::vector<std::string>& qualityKeys() {
    static const std::vector<std::string> keys = {"ORIGIN", "FULL_HD1", "HD1", "SD1", "SD2"};
    return keys;
}

StreamChoice chooseStream(const RoomAnswer& answer, RecordQuality quality, bool registration) {
    const bool flv = registration && answer.resolution == "HD1";
    const auto& listed = flv ? answer.flvPullUrls : answer.hlsPullUrls;
    const auto& keys = qualityKeys();
    for (std::size_t i = firstKeyOf(quality); i < keys.size(); ++i)
        if (const auto it = listed.find(keys[i]); it != listed.end()) return {it->second, false, keys[i]};
    const std::string& own = flv ? answer.rtmpPullUrl : answer.hlsPullUrl;
    return {own, quality == RecordQuality::AudioOnly, ""};
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
    answer.flvPullUrls = qualityMap(doc, kFlvMapPath);
    answer.hlsPullUrls = qualityMap(doc, kHlsMapPath);
    return answer;
}

RoomAnswer parseRoomAnswer(std::string_view body) {
    JsonDoc doc;
    doc.parseKeeping(bodyToText(body), roomAnswerPaths());
    return parseRoomAnswer(doc);
}

}  // namespace vigilo
