#pragma once
// The shows the live monitor has announced, kept in the data directory so that a restart (a
// crash, a stop, a reboot) never announces a show again, nor its failure to record. A show is
// a live room id with its start time: an owner's every show gets a room of its own, and a room
// that goes live again starts at another time. Only the newest shows are kept.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

namespace vigilo {

class AnnouncedShows {
public:
    static constexpr std::size_t kMaxShows = 1000;
    static constexpr std::uintmax_t kMaxFileBytes = 4u << 20;

    explicit AnnouncedShows(std::filesystem::path file, std::size_t maxShows = kMaxShows);

    // The key of a show: its live room id and its start time (seconds since 1970, as digits).
    static std::string keyOf(const std::string& liveRoomId, const std::string& createTime);

    // Reads the file. Empty when it was read or is absent; else why it could not be, the file
    // having been moved aside (to <name>.broken-<time>, named in the text) so that it is kept
    // and not overwritten; the record then starts empty.
    std::string load();
    // True the first time the show is met: it is recorded and the file rewritten.
    bool announce(const std::string& key);
    // True the first time the show's recording fails.
    bool firstFailure(const std::string& key);
    bool known(const std::string& key) const;
    std::size_t size() const;

private:
    struct Show {
        std::string roomId, createTime;
        std::int64_t announcedAt = 0;  // unix seconds
        std::uint64_t order = 0;       // older shows first
        bool failed = false;
    };
    // Under mutex_: a new show, the oldest dropped beyond the bound.
    Show& addLocked(const std::string& key);
    void save();

    std::filesystem::path file_;
    const std::size_t maxShows_;
    mutable std::mutex mutex_;
    std::map<std::string, Show> shows_;
    std::uint64_t next_ = 0;
    std::mutex saveMutex_;  // one write at a time, of the newest record
};

}  // namespace vigilo
