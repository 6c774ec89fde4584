#include "works/sidecars.h"

#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "text/filenames.h"
#include "text/strings.h"
#include "text/timefmt.h"

namespace vigilo {

std::string sidecarFileName(const std::string& videoFileName, const std::string& extension) {
    std::string stem = videoFileName;
    if (const auto dot = stem.rfind('.'); dot != std::string::npos && dot > 0) stem.resize(dot);
    if (stem.size() + extension.size() > kMaxNameBytes) stem = cutUtf8(stem, kMaxNameBytes - extension.size());
    return stem + extension;
}

std::string isoUtc(std::int64_t secondsSince1970) {
    if (secondsSince1970 <= 0) return {};
    const CivilTime t = civilFromEpochSeconds(secondsSince1970);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

std::string postDescriptionJson(const PendingDownload& post, const std::string& videoAddress, std::int64_t savedAtMs) {
    using Json = nlohmann::ordered_json;
    auto count = [](std::int64_t value) { return value < 0 ? Json(nullptr) : Json(value); };
    auto text = [](const std::string& value) { return value.empty() ? Json(nullptr) : Json(value); };
    Json doc;
    doc["id"] = post.id;
    doc["description"] = post.desc;
    doc["nickname"] = post.author.empty() ? post.nickname : post.author;
    doc["uid"] = text(post.uid);
    doc["sec_uid"] = text(post.secUid);
    doc["create_time"] = post.createTime > 0 ? Json(post.createTime) : Json(nullptr);
    doc["create_time_utc"] = text(isoUtc(post.createTime));
    doc["statistics"] = Json{{"digg_count", count(post.statistics.likes)},
                             {"comment_count", count(post.statistics.comments)},
                             {"share_count", count(post.statistics.shares)},
                             {"play_count", count(post.statistics.plays)},
                             {"collect_count", count(post.statistics.collects)}};
    doc["play_address"] = text(post.playAddress);
    doc["video_address"] = text(videoAddress);
    doc["cover_address"] = text(post.coverAddress);
    doc["saved_at"] = isoUtc(savedAtMs / 1000);
    return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool sidecarsFromEnvironment() {
    const char* value = std::getenv("VIGILO_SIDECARS");
    return value == nullptr || trimBlanks(value) != "0";
}

}  // namespace vigilo
