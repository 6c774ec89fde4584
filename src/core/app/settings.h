#pragma once
// The user's choices that outlive a run: the live monitor's pass interval and the rooms that
// alert without recording. Kept as a small JSON file in the data directory, rewritten whole
// through a temporary file so a crash leaves the old or the new file, never half of one.
#include <filesystem>
#include <mutex>
#include <set>
#include <string>

namespace vigilo {

struct SettingsValues {
    // Minutes between two passes of the live monitor; 0: passes paused.
    int livePeriodMinutes = 5;
    // Room ids (as in the room table's "房间号" column) that alert without recording.
    std::set<std::string> notifyOnlyRooms;
};

// Thread-safe holder of the values and their file. A missing or unreadable file gives the
// defaults; unknown members are ignored; a period other than 0, 5, 10 or 30 reads as 5.
class Settings {
public:
    Settings() = default;
    explicit Settings(std::filesystem::path file) : file_(std::move(file)) {}
    void setFile(std::filesystem::path file);
    bool load();   // false when the file is missing or unreadable (defaults stay)
    // The name an unreadable file was renamed to by load() ("" when none was): it is kept for
    // the user, never overwritten.
    std::string movedAside() const;
    bool save() const;  // false when the file could not be written

    SettingsValues values() const;
    int livePeriodMinutes() const;
    void setLivePeriodMinutes(int minutes);  // saves
    bool notifyOnly(const std::string& roomId) const;
    void setNotifyOnly(const std::string& roomId, bool on);  // saves

private:
    bool saveLocked() const;
    mutable std::mutex mutex_;
    std::filesystem::path file_;
    SettingsValues values_;
    std::string movedAside_;
};

// The file's text for these values, and the values of a text (defaults for what is missing).
std::string settingsText(const SettingsValues& values);
SettingsValues parseSettings(const std::string& text);

}  // namespace vigilo
