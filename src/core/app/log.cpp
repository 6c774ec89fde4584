#include "app/log.h"

#include <algorithm>

namespace vigilo {

void ActivityLog::appendLog(const std::string& text) {
    std::lock_guard lock(mutex_);
    text_ += text;
    for (const auto& [id, observer] : observers_) {
        if (observer) observer(text);
    }
}

std::string ActivityLog::text() const {
    std::lock_guard lock(mutex_);
    return text_;
}

int ActivityLog::addObserver(Observer observer) {
    std::lock_guard lock(mutex_);
    const int id = nextObserver_++;
    observers_.emplace_back(id, std::move(observer));
    return id;
}

void ActivityLog::removeObserver(int id) {
    std::lock_guard lock(mutex_);
    std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

void StatusBar::setText(int part, const std::string& text) {
    std::lock_guard lock(mutex_);
    if (part < 0 || part > 1) return;
    parts_[part] = text;
    for (const auto& [id, observer] : observers_) {
        if (observer) observer(part, text);
    }
}

std::string StatusBar::text(int part) const {
    std::lock_guard lock(mutex_);
    if (part < 0 || part > 1) return {};
    return parts_[part];
}

int StatusBar::addObserver(Observer observer) {
    std::lock_guard lock(mutex_);
    const int id = nextObserver_++;
    observers_.emplace_back(id, std::move(observer));
    return id;
}

void StatusBar::removeObserver(int id) {
    std::lock_guard lock(mutex_);
    std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

}  // namespace vigilo
