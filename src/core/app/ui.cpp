#include "app/ui.h"

namespace vigilo {

void RecordingUserInterface::messageBox(const std::string& text, const std::string& caption, MessageIcon icon) {
    std::lock_guard lock(mutex_);
    messages_.push_back({text, caption, icon});
}

std::optional<std::string> RecordingUserInterface::inputBox(const std::string& prompt, const std::string& title) {
    std::lock_guard lock(mutex_);
    inputs_.push_back({prompt, title});
    return nextInput_;
}

void RecordingUserInterface::setClipboard(const std::string& text) {
    std::lock_guard lock(mutex_);
    clipboard_ = text;
}

void RecordingUserInterface::openFile(const std::string& path) {
    std::lock_guard lock(mutex_);
    opened_.push_back(path);
}

void RecordingUserInterface::openUrl(const std::string& url) {
    std::lock_guard lock(mutex_);
    openedUrls_.push_back(url);
}

std::vector<std::string> RecordingUserInterface::openedUrls() const {
    std::lock_guard lock(mutex_);
    return openedUrls_;
}

std::vector<RecordingUserInterface::Message> RecordingUserInterface::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::vector<RecordingUserInterface::InputRequest> RecordingUserInterface::inputRequests() const {
    std::lock_guard lock(mutex_);
    return inputs_;
}

std::string RecordingUserInterface::clipboard() const {
    std::lock_guard lock(mutex_);
    return clipboard_;
}

std::vector<std::string> RecordingUserInterface::openedFiles() const {
    std::lock_guard lock(mutex_);
    return opened_;
}

void RecordingUserInterface::setNextInput(std::optional<std::string> input) {
    std::lock_guard lock(mutex_);
    nextInput_ = std::move(input);
}

}  // namespace vigilo
