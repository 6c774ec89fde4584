#pragma once
// Which command buttons a front end should offer. The handlers change it; front ends observe
// it and enable or disable their controls to match.
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace vigilo {

struct ButtonState {
    bool ready = false;      // start-up has finished: the add and start buttons may be used
    bool startWorks = true;  // the works monitor's start button, once ready
    bool stopWorks = true;   // the works monitor's stop button

    bool startWorksEnabled() const { return ready && startWorks; }
    bool stopWorksEnabled() const { return stopWorks; }
    bool addEnabled() const { return ready; }  // both add buttons
    bool operator==(const ButtonState&) const = default;
};

class ButtonStates {
public:
    ButtonState state() const;
    void setReady(bool ready);
    void setWorks(bool startEnabled, bool stopEnabled);

    // Observers run under the object's mutex, in the order of the changes, with the new state;
    // they must only record or queue it.
    using Observer = std::function<void(const ButtonState&)>;
    int addObserver(Observer observer);
    void removeObserver(int id);

private:
    void notify();

    mutable std::mutex mutex_;
    ButtonState state_;
    std::vector<std::pair<int, Observer>> observers_;
    int nextObserver_ = 1;
};

}  // namespace vigilo
