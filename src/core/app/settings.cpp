#include "app/settings.h"

#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "app/aside.h"
#include "app/linkfile.h"

namespace vigilo {
namespace {

int validPeriod(int minutes) { return (minutes == 0 || minutes == 5 || minutes == 10 || minutes == 30) ? minutes : 5; }

// A day at most: a longer part is no part.
int validSplit(long long minutes) { return minutes > 0 && minutes <= 1440 ? static_cast<int>(minutes) : 0; }

struct QualityName {
    RecordQuality quality;
    std::string_view word, caption;
};
constexpr QualityName kQualityNames[] = {
    {RecordQuality::Default, "default", "默认"}, {RecordQuality::Origin, "origin", "原画"},
    {RecordQuality::High, "hd", "高清"},         {RecordQuality::Standard, "sd", "标清"},
    {RecordQuality::Smooth, "smooth", "流畅"},   {RecordQuality::AudioOnly, "audio", "仅音频"}};

}  // namespace

std::string_view qualityWord(RecordQuality quality) {
    for (const auto& name : kQualityNames)
        if (name.quality == quality) return name.word;
    return "default";
}

std::string_view qualityCaption(RecordQuality quality) {
    for (const auto& name : kQualityNames)
        if (name.quality == quality) return name.caption;
    return "默认";
}

std::optional<RecordQuality> qualityOfWord(std::string_view word) {
    for (const auto& name : kQualityNames)
        if (name.word == word) return name.quality;
    return std::nullopt;
}

std::string settingsText(const SettingsValues& values) {
    nlohmann::ordered_json doc;
    doc["livePeriodMinutes"] = values.livePeriodMinutes;
    doc["notifyOnlyRooms"] = nlohmann::ordered_json::array();
    for (const auto& room : values.notifyOnlyRooms) doc["notifyOnlyRooms"].push_back(room);
    doc["splitMinutes"] = values.splitMinutes;
    doc["quality"] = std::string(qualityWord(values.quality));
    doc["roomQualities"] = nlohmann::ordered_json::object();
    for (const auto& [room, quality] : values.roomQualities)
        doc["roomQualities"][room] = std::string(qualityWord(quality));
    return doc.dump(2) + "\n";
}

SettingsValues parseSettings(const std::string& text) {
    SettingsValues values;
    const auto doc = nlohmann::json::parse(text, nullptr, false);
    if (!doc.is_object()) return values;
    if (auto it = doc.find("livePeriodMinutes"); it != doc.end() && it->is_number_integer())
        values.livePeriodMinutes = validPeriod(it->get<int>());
    if (auto it = doc.find("notifyOnlyRooms"); it != doc.end() && it->is_array())
        for (const auto& room : *it)
            if (room.is_string() && !room.get<std::string>().empty())
                values.notifyOnlyRooms.insert(room.get<std::string>());
    if (auto it = doc.find("splitMinutes"); it != doc.end() && it->is_number_integer())
        values.splitMinutes = validSplit(it->get<long long>());
    // A word of a later version reads as the default rather than failing the whole file.
    if (auto it = doc.find("quality"); it != doc.end() && it->is_string())
        values.quality = qualityOfWord(it->get<std::string>()).value_or(RecordQuality::Default);
    if (auto it = doc.find("roomQualities"); it != doc.end() && it->is_object())
        for (const auto& [room, word] : it->items())
            if (!room.empty() && word.is_string())
                if (const auto quality = qualityOfWord(word.get<std::string>())) values.roomQualities[room] = *quality;
    return values;
}

void Settings::setFile(std::filesystem::path file) {
    std::lock_guard lock(mutex_);
    file_ = std::move(file);
}

bool Settings::load() {
    std::lock_guard lock(mutex_);
    std::ifstream in(file_, std::ios::binary);
    if (!in) return false;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return false;
    if (!nlohmann::json::parse(text, nullptr, false).is_object()) {
        movedAside_ = moveAside(file_);
        return false;
    }
    values_ = parseSettings(text);
    return true;
}

std::string Settings::movedAside() const {
    std::lock_guard lock(mutex_);
    return movedAside_;
}

bool Settings::save() const {
    std::lock_guard lock(mutex_);
    return saveLocked();
}

bool Settings::saveLocked() const {
    if (file_.empty()) return false;
    return writeFileAtomically(file_, settingsText(values_));
}

SettingsValues Settings::values() const {
    std::lock_guard lock(mutex_);
    return values_;
}

int Settings::livePeriodMinutes() const {
    std::lock_guard lock(mutex_);
    return values_.livePeriodMinutes;
}

void Settings::setLivePeriodMinutes(int minutes) {
    std::lock_guard lock(mutex_);
    values_.livePeriodMinutes = validPeriod(minutes);
    saveLocked();
}

bool Settings::notifyOnly(const std::string& roomId) const {
    std::lock_guard lock(mutex_);
    return values_.notifyOnlyRooms.count(roomId) > 0;
}

void Settings::setNotifyOnly(const std::string& roomId, bool on) {
    std::lock_guard lock(mutex_);
    if (roomId.empty()) return;
    if (on)
        values_.notifyOnlyRooms.insert(roomId);
    else
        values_.notifyOnlyRooms.erase(roomId);
    saveLocked();
}

int Settings::splitMinutes() const {
    std::lock_guard lock(mutex_);
    return values_.splitMinutes;
}

void Settings::setSplitMinutes(int minutes) {
    std::lock_guard lock(mutex_);
    values_.splitMinutes = validSplit(minutes);
    saveLocked();
}

RecordQuality Settings::quality() const {
    std::lock_guard lock(mutex_);
    return values_.quality;
}

void Settings::setQuality(RecordQuality quality) {
    std::lock_guard lock(mutex_);
    values_.quality = quality;
    saveLocked();
}

std::optional<RecordQuality> Settings::roomQuality(const std::string& roomId) const {
    std::lock_guard lock(mutex_);
    const auto it = values_.roomQualities.find(roomId);
    if (it == values_.roomQualities.end()) return std::nullopt;
    return it->second;
}

void Settings::setRoomQuality(const std::string& roomId, std::optional<RecordQuality> quality) {
    std::lock_guard lock(mutex_);
    if (roomId.empty()) return;
    if (quality)
        values_.roomQualities[roomId] = *quality;
    else
        values_.roomQualities.erase(roomId);
    saveLocked();
}

RecordQuality Settings::qualityFor(const std::string& roomId) const {
    std::lock_guard lock(mutex_);
    const auto it = values_.roomQualities.find(roomId);
    return it == values_.roomQualities.end() ? values_.quality : it->second;
}

}  // namespace vigilo
