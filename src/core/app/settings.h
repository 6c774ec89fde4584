#pragma once
// The user's choices that outlive a run: the live monitor's pass interval and the rooms that
// alert without recording. Kept as a small JSON file in the data directory, rewritten whole
// through a temporary file so a crash leaves the old or the new file, never half of one.
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace vigilo {

// Which of the qualities a live room lists is recorded. Default: the room answer's own rule
// (its default resolution at registration, the HLS address at a poll).
enum class RecordQuality { Default, Origin, High, Standard, Smooth, AudioOnly };

// The word the settings file and --quality use ("default", "origin", "hd", "sd", "smooth",
// "audio"), the caption menus show ("默认", "原画", "高清", "标清", "流畅", "仅音频"), and the
// quality of a word; nothing for a word that names none.
std::string_view qualityWord(RecordQuality quality);
std::string_view qualityCaption(RecordQuality quality);
std::optional<RecordQuality> qualityOfWord(std::string_view word);
inline constexpr RecordQuality kAllQualities[] = {RecordQuality::Default, RecordQuality::Origin,
                                                  RecordQuality::High,    RecordQuality::Standard,
                                                  RecordQuality::Smooth,  RecordQuality::AudioOnly};

struct SettingsValues {
    // Minutes between two passes of the live monitor; 0: passes paused.
    int livePeriodMinutes = 5;
    // Room ids (as in the room table's "房间号" column) that alert without recording.
    std::set<std::string> notifyOnlyRooms;
    // The quality recorded for every room, and the rooms (by room id) that have their own.
    RecordQuality quality = RecordQuality::Default;
    std::map<std::string, RecordQuality> roomQualities;
    // Recordings are cut into parts of this many minutes; 0: one file per recording.
    int splitMinutes = 0;
};

// Thread-safe holder of the values and their file. A missing or unreadable file gives the
// defaults; unknown members are ignored; a period other than 0, 5, 10 or 30 reads as 5.
class Settings {
public:
    Settings() = default;
    explicit Settings(std::filesystem::path file) : file_(std::move(file)) {}
    void setFile(std::filesystem::path file);
    bool load();  // false when the file is missing or unreadable (defaults stay)
    // The name an unreadable file was renamed to by load() ("" when none was): it is kept for
    // the user, never overwritten.
    std::string movedAside() const;
    bool save() const;  // false when the file could not be written

    SettingsValues values() const;
    int livePeriodMinutes() const;
    void setLivePeriodMinutes(int minutes);  // saves
    bool notifyOnly(const std::string& roomId) const;
    void setNotifyOnly(const std::string& roomId, bool on);  // saves
    RecordQuality quality() const;
    void setQuality(RecordQuality quality);  // saves
    // The room's own quality, nothing when it follows the program's.
    std::optional<RecordQuality> roomQuality(const std::string& roomId) const;
    void setRoomQuality(const std::string& roomId, std::optional<RecordQuality> quality);  // saves
    int splitMinutes() const;
    void setSplitMinutes(int minutes);  // saves; below 0 reads as 0
    // What the room is recorded in: its own quality, else the program's.
    RecordQuality qualityFor(const std::string& roomId) const;

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
