#pragma once
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vigilo {

// Append-only activity log; each append reaches the log whole.
class ActivityLog {
public:
    void appendLog(const std::string& text);
    std::string text() const;
    using Observer = std::function<void(const std::string& appended)>;
    int addObserver(Observer observer);  // runs under the log's mutex, in order
    void removeObserver(int id);

private:
    mutable std::mutex mutex_;
    std::string text_;
    std::vector<std::pair<int, Observer>> observers_;
    int nextObserver_ = 1;
};

// The two-part status bar; part 0 is the fixed label, part 1 the status text.
class StatusBar {
public:
    void setText(int part, const std::string& text);
    std::string text(int part) const;
    using Observer = std::function<void(int part, const std::string& text)>;
    int addObserver(Observer observer);
    void removeObserver(int id);

private:
    mutable std::mutex mutex_;
    std::string parts_[2] = {"  监控状态", ""};
    std::vector<std::pair<int, Observer>> observers_;
    int nextObserver_ = 1;
};

}  // namespace vigilo
