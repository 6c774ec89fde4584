#pragma once
// How the core reaches the person. Both front ends implement it. Calls may come from any
// thread; a message box blocks only the calling thread.
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vigilo {

enum class MessageIcon { None, Information, Warning, Error, Question };

class UserInterface {
public:
    virtual ~UserInterface() = default;
    virtual void messageBox(const std::string& text, const std::string& caption, MessageIcon icon) = 0;
    virtual std::optional<std::string> inputBox(const std::string& prompt, const std::string& title) = 0;
    virtual void setClipboard(const std::string& text) = 0;
    virtual void openFile(const std::string& path) = 0;
    // Opens a web address in the default browser.
    virtual void openUrl(const std::string& url) = 0;
};

// For tests and for runs with nobody watching: records what it was asked.
class RecordingUserInterface : public UserInterface {
public:
    void messageBox(const std::string& text, const std::string& caption, MessageIcon icon) override;
    std::optional<std::string> inputBox(const std::string& prompt, const std::string& title) override;
    void setClipboard(const std::string& text) override;
    void openFile(const std::string& path) override;
    void openUrl(const std::string& url) override;

    struct Message {
        std::string text, caption;
        MessageIcon icon;
    };
    struct InputRequest {
        std::string prompt, title;
    };
    std::vector<Message> messages() const;
    std::vector<InputRequest> inputRequests() const;
    std::string clipboard() const;
    std::vector<std::string> openedFiles() const;
    std::vector<std::string> openedUrls() const;
    // The answer of every later input box; nullopt (the default) is a cancelled box.
    void setNextInput(std::optional<std::string> input);

private:
    mutable std::mutex mutex_;
    std::vector<Message> messages_;
    std::vector<InputRequest> inputs_;
    std::string clipboard_;
    std::vector<std::string> opened_;
    std::vector<std::string> openedUrls_;
    std::optional<std::string> nextInput_;
};

}  // namespace vigilo
