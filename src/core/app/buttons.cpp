#include "app/buttons.h"

namespace vigilo {

ButtonState ButtonStates::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void ButtonStates::setReady(bool ready) {
    std::lock_guard lock(mutex_);
    state_.ready = ready;
    notify();
}

void ButtonStates::setWorks(bool startEnabled, bool stopEnabled) {
    std::lock_guard lock(mutex_);
    state_.startWorks = startEnabled;
    state_.stopWorks = stopEnabled;
    notify();
}

int ButtonStates::addObserver(Observer observer) {
    std::lock_guard lock(mutex_);
    const int id = nextObserver_++;
    observers_.emplace_back(id, std::move(observer));
    return id;
}

void ButtonStates::removeObserver(int id) {
    std::lock_guard lock(mutex_);
    std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

void ButtonStates::notify() {
    for (const auto& [id, observer] : observers_) {
        if (observer) observer(state_);
    }
}

}  // namespace vigilo
