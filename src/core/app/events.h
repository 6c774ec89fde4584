#pragma once
// What happened that a person may want to be told about, as one stream fed by the monitors.
// Publishing never blocks a poll or a recording: receivers are served off the publishing
// thread, and a full queue drops its oldest event.
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vigilo {

enum class EventType {
    PostSaved,         // nickname, description, file, id
    DownloadGivenUp,   // nickname, description, id, error
    RoomLive,          // nickname, roomId, stream, startTime
    RecordingStarted,  // nickname, roomId, file
    RecordingEnded,    // nickname, roomId, file, duration, size, reason (ended|stalled|stopped|failed)
    RecordingFailed,   // nickname, roomId, error
};

// The event's type as a word for JSON and logs: "post_saved", "room_live", ...
const char* eventTypeName(EventType type);

struct Event {
    EventType type{};
    std::chrono::system_clock::time_point time = std::chrono::system_clock::now();
    // Ordered name/value pairs (names as listed beside EventType), kept as given.
    std::vector<std::pair<std::string, std::string>> fields;

    // The value of a field, "" when absent.
    std::string field(const std::string& name) const;
};

// The stream of events. Receivers subscribe; publish() hands an event to each of them.
class EventBus {
public:
    using Receiver = std::function<void(const Event&)>;
    int subscribe(Receiver receiver);
    void unsubscribe(int id);
    void publish(Event event);

private:
    std::mutex mutex_;
    std::vector<std::pair<int, Receiver>> receivers_;
    int next_ = 1;
};

}  // namespace vigilo
