#include "app/events.h"

namespace vigilo {

const char* eventTypeName(EventType type) {
    switch (type) {
    case EventType::PostSaved: return "post_saved";
    case EventType::DownloadGivenUp: return "download_given_up";
    case EventType::RoomLive: return "room_live";
    case EventType::RecordingStarted: return "recording_started";
    case EventType::RecordingEnded: return "recording_ended";
    case EventType::RecordingFailed: return "recording_failed";
    }
    return "unknown";
}

std::string Event::field(const std::string& name) const {
    for (const auto& [key, value] : fields)
        if (key == name) return value;
    return {};
}

int EventBus::subscribe(Receiver receiver) {
    std::lock_guard lock(mutex_);
    receivers_.emplace_back(next_, std::move(receiver));
    return next_++;
}

void EventBus::unsubscribe(int id) {
    std::lock_guard lock(mutex_);
    std::erase_if(receivers_, [id](const auto& entry) { return entry.first == id; });
}

void EventBus::publish(Event event) {
    std::vector<Receiver> receivers;
    {
        std::lock_guard lock(mutex_);
        for (const auto& entry : receivers_) receivers.push_back(entry.second);
    }
    for (const auto& receiver : receivers) receiver(event);
}

}  // namespace vigilo
