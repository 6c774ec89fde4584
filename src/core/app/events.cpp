#include "app/events.h"

#include <atomic>

namespace vigilo {

const char* eventTypeName(EventType type) {
    switch (type) {
        case EventType::PostSaved: return "post_saved";
        case EventType::DownloadGivenUp: return "download_given_up";
        case EventType::RoomLive: return "room_live";
        case EventType::RecordingStarted: return "recording_started";
        case EventType::RecordingEnded: return "recording_ended";
        case EventType::RecordingFailed: return "recording_failed";
        case EventType::ShowEnded: return "show_ended";
        case EventType::DiskLow: return "disk_low";
        case EventType::DiskOk: return "disk_ok";
        case EventType::Test: return "test";
        case EventType::ServiceRefusing: return "service_refusing";
        case EventType::ServiceRecovered: return "service_recovered";
    }
    return "unknown";
}

std::string Event::field(const std::string& name) const {
    for (const auto& [key, value] : fields)
        if (key == name) return value;
    return {};
}

Event makeEvent(EventType type, std::vector<std::pair<std::string, std::string>> fields) {
    return Event{type, std::chrono::system_clock::now(), std::move(fields)};
}

struct EventBus::Subscriber {
    int id = 0;
    std::string name;
    StoppableReceiver receiver;
    std::mutex mutex;
    std::condition_variable_any changed;
    std::deque<Event> queue;
    bool busy = false;         // the receiver is running
    bool overflowing = false;  // an event was dropped since the queue was last empty
    std::atomic<std::size_t> dropped{0};
    std::jthread thread;
};

EventBus::EventBus(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

EventBus::~EventBus() {
    std::vector<std::shared_ptr<Subscriber>> subscribers;
    std::vector<std::shared_ptr<Subscriber>> retired;
    {
        std::lock_guard lock(mutex_);
        subscribers.swap(subscribers_);
        retired.swap(retired_);
    }
    for (auto& subscriber : subscribers) subscriber->thread.request_stop();
    // Each subscriber's thread is joined as its subscriber goes with the vectors; the threads
    // hold no reference of their own, so the last one is always here.
}

int EventBus::subscribe(Receiver receiver, std::string name) {
    return subscribe(StoppableReceiver([receiver = std::move(receiver)](const Event& event, std::stop_token) {
                         if (receiver) receiver(event);
                     }),
                     std::move(name));
}

int EventBus::subscribe(StoppableReceiver receiver, std::string name) {
    auto subscriber = std::make_shared<Subscriber>();
    subscriber->name = std::move(name);
    subscriber->receiver = std::move(receiver);
    std::lock_guard lock(mutex_);
    subscriber->id = next_++;
    Subscriber* raw = subscriber.get();
    subscriber->thread = std::jthread([this, raw](std::stop_token stop) { deliver(*raw, stop); });
    subscribers_.push_back(subscriber);
    return subscriber->id;
}

void EventBus::unsubscribe(int id) {
    std::shared_ptr<Subscriber> subscriber;
    {
        std::lock_guard lock(mutex_);
        for (auto it = subscribers_.begin(); it != subscribers_.end(); ++it) {
            if ((*it)->id == id) {
                subscriber = *it;
                subscribers_.erase(it);
                break;
            }
        }
        if (!subscriber) return;
        if (subscriber->thread.get_id() == std::this_thread::get_id()) {
            // A receiver cannot join its own thread; it ends after this call returns.
            subscriber->thread.request_stop();
            retired_.push_back(std::move(subscriber));
            return;
        }
    }
    subscriber->thread.request_stop();
    subscriber->thread.join();
}

void EventBus::setOverflowLog(std::function<void(const std::string&)> log) {
    std::lock_guard lock(mutex_);
    overflowLog_ = std::move(log);
}

void EventBus::setRecord(std::function<void(const Event&)> record) {
    std::lock_guard lock(mutex_);
    record_ = std::move(record);
}

void EventBus::publish(Event event) {
    std::vector<std::shared_ptr<Subscriber>> subscribers;
    std::function<void(const std::string&)> log;
    std::function<void(const Event&)> record;
    {
        std::lock_guard lock(mutex_);
        subscribers = subscribers_;
        log = overflowLog_;
        record = record_;
    }
    if (record) record(event);
    std::vector<std::string> overflowed;
    for (std::size_t i = 0; i < subscribers.size(); ++i) {
        Subscriber& subscriber = *subscribers[i];
        {
            std::lock_guard lock(subscriber.mutex);
            if (i + 1 == subscribers.size())
                subscriber.queue.push_back(std::move(event));
            else
                subscriber.queue.push_back(event);
            if (subscriber.queue.size() > capacity_) {
                subscriber.queue.pop_front();
                ++subscriber.dropped;
                if (!subscriber.overflowing) {
                    subscriber.overflowing = true;
                    overflowed.push_back(subscriber.name);
                }
            }
        }
        subscriber.changed.notify_all();
    }
    if (!log) return;
    for (const auto& name : overflowed)
        log("通知" + (name.empty() ? std::string() : "（" + name + "）") + "跟不上，丢弃最早的事件，队列上限 " +
            std::to_string(capacity_) + " 条\r\n");
}

void EventBus::deliver(Subscriber& s, std::stop_token stop) {
    std::unique_lock lock(s.mutex);
    for (;;) {
        if (!s.changed.wait(lock, stop, [&] { return !s.queue.empty(); })) return;
        Event event = std::move(s.queue.front());
        s.queue.pop_front();
        s.busy = true;
        lock.unlock();
        try {
            s.receiver(event, stop);
        } catch (...) {
            // A receiver's failure is its own; the stream goes on.
        }
        lock.lock();
        s.busy = false;
        if (s.queue.empty()) s.overflowing = false;
        s.changed.notify_all();
        if (stop.stop_requested()) return;
    }
}

bool EventBus::flush(std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::vector<std::shared_ptr<Subscriber>> subscribers;
    {
        std::lock_guard lock(mutex_);
        subscribers = subscribers_;
    }
    for (auto& subscriber : subscribers) {
        std::unique_lock lock(subscriber->mutex);
        if (!subscriber->changed.wait_until(lock, deadline,
                                            [&] { return subscriber->queue.empty() && !subscriber->busy; }))
            return false;
    }
    return true;
}

std::size_t EventBus::dropped() const {
    std::lock_guard lock(mutex_);
    std::size_t total = 0;
    for (const auto& subscriber : subscribers_) total += subscriber->dropped;
    return total;
}

}  // namespace vigilo
