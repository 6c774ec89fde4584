#pragma once
// What happened that a person may want to be told about, as one stream fed by the monitors.
// Publishing never blocks a poll or a recording: each receiver has its own bounded queue and
// its own delivery thread, so a slow or dead receiver delays nobody, not even the other
// receivers, and a full queue drops its oldest event.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vigilo {

enum class EventType {
    PostSaved,         // nickname, description, file, id
    DownloadGivenUp,   // nickname, description, id, error
    RoomLive,          // nickname, roomId, stream, startTime
    RecordingStarted,  // nickname, roomId, file
    RecordingEnded,    // nickname, roomId, file, [files], duration, size,
                       // reason (ended|stalled|stopped|failed|disk_low);
                       // split: file is the first part and files lists every part, one a line
    RecordingFailed,   // nickname, roomId, error
    ShowEnded,         // nickname, roomId, liveRoomId, startTime, endTime, onAir, onAirSeconds, recorded,
                       // recordedSeconds, share, gaps, gapSeconds, gapList, files
    DiskLow,           // dir, freeMB, minMB: recordings stopped, none starts until there is room again
    DiskOk,            // dir, freeMB, minMB: recordings may start again
    Test,              // message: sent on request to see that the receivers work
    ServiceRefusing,   // host, rate (requests a minute now allowed), reason
    ServiceRecovered,  // host, rate
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

// An event of this moment.
Event makeEvent(EventType type, std::vector<std::pair<std::string, std::string>> fields);

// The stream of events. Receivers subscribe; publish() queues the event for each of them and
// returns at once. Every receiver runs on a delivery thread of its own, in publishing order.
class EventBus {
public:
    using Receiver = std::function<void(const Event&)>;
    // For receivers that wait (on a network or a program): the token is stopped when the
    // receiver is unsubscribed or the bus goes, so a retry loop can give up early.
    using StoppableReceiver = std::function<void(const Event&, std::stop_token)>;
    static constexpr std::size_t kDefaultCapacity = 256;

    explicit EventBus(std::size_t capacity = kDefaultCapacity);
    // Stops every delivery thread and joins it; events still queued are dropped.
    ~EventBus();
    EventBus(const EventBus&) = delete;
    EventBus& operator=(const EventBus&) = delete;

    // `name` names the receiver in the overflow log line.
    int subscribe(Receiver receiver, std::string name = "");
    int subscribe(StoppableReceiver receiver, std::string name);
    // Returns once the receiver is not running and never will again (a receiver may
    // unsubscribe itself; its thread is then joined when the bus goes).
    void unsubscribe(int id);
    void publish(Event event);

    // Told every event as it is published, on the publishing thread and outside the bus's
    // locks (for the log file: one line per event, whether or not a receiver keeps up). Set it
    // before the first publish.
    void setRecord(std::function<void(const Event&)> record);
    // Told once per overflow (from the first dropped event until the queue has emptied
    // again), outside every lock of the bus. Set it before the first publish.
    void setOverflowLog(std::function<void(const std::string& line)> log);
    // Waits until every event published so far has been handed to its receivers and they
    // have returned; false when the bound passed first.
    bool flush(std::chrono::milliseconds bound);
    std::size_t dropped() const;

private:
    struct Subscriber;
    void deliver(Subscriber& subscriber, std::stop_token stop);

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Subscriber>> subscribers_;
    // Receivers that unsubscribed themselves: their threads end on their own and are joined
    // when the bus goes.
    std::vector<std::shared_ptr<Subscriber>> retired_;
    std::function<void(const std::string&)> overflowLog_;
    std::function<void(const Event&)> record_;
    int next_ = 1;
};

}  // namespace vigilo
