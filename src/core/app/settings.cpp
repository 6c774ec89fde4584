#include "app/settings.h"

#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "app/aside.h"
#include "app/linkfile.h"

namespace vigilo {
namespace {

int validPeriod(int minutes) {
    return (minutes == 0 || minutes == 5 || minutes == 10 || minutes == 30) ? minutes : 5;
}

}  // namespace

std::string settingsText(const SettingsValues& values) {
    nlohmann::ordered_json doc;
    doc["livePeriodMinutes"] = values.livePeriodMinutes;
    doc["notifyOnlyRooms"] = nlohmann::ordered_json::array();
    for (const auto& room : values.notifyOnlyRooms) doc["notifyOnlyRooms"].push_back(room);
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
            if (room.is_string() && !room.get<std::string>().empty()) values.notifyOnlyRooms.insert(room.get<std::string>());
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

}  // namespace vigilo
