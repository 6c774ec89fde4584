#include "app/log.h"

#include "app/record.h"
#include "sys/file_size_signal.h"
#include "text/timefmt.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace vigilo {

ActivityLog::ActivityLog(std::size_t keptLines) : keptLines_(keptLines == 0 ? 1 : keptLines) {}

ActivityLog::~ActivityLog() {
    std::lock_guard lock(mutex_);
    if (!filePending_.empty() && !file_.empty()) writeStampedLocked(filePending_);
}

void ActivityLog::appendLog(const std::string& text) {
    std::lock_guard lock(mutex_);
    const std::size_t from = text_.size();
    text_ += text;
    for (std::size_t at = text_.find('\n', from); at != std::string::npos; at = text_.find('\n', at + 1))
        lineEnds_.push_back(at + 1);
    trimLocked();
    if (!file_.empty()) fileAppendLocked(text);
    for (const auto& [id, observer] : observers_) {
        if (observer) observer(text);
    }
}

void ActivityLog::trimLocked() {
    while (lineEnds_.size() > keptLines_) {
        start_ = lineEnds_.front();
        lineEnds_.pop_front();
    }
    // Dropped lines are cut off in bulk, so an append costs the same however long the log is.
    if (start_ > 0 && start_ >= text_.size() / 2) {
        text_.erase(0, start_);
        for (auto& end : lineEnds_) end -= start_;
        start_ = 0;
    }
}

std::string ActivityLog::text() const {
    std::lock_guard lock(mutex_);
    return text_.substr(start_);
}

void ActivityLog::record(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (file_.empty()) return;
    std::size_t from = 0;
    while (from < text.size()) {
        std::size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        std::string_view line(text.data() + from, end - from);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) writeStampedLocked(line);
        from = end + 1;
    }
}

void ActivityLog::fileAppendLocked(const std::string& text) {
    filePending_ += text;
    std::size_t from = 0;
    for (std::size_t end = filePending_.find('\n'); end != std::string::npos; end = filePending_.find('\n', from)) {
        std::string_view line(filePending_.data() + from, end - from);
        from = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        // Ten lines a cycle that say only that time passes.
        if (classifyLogLine(line).kind == LogLineKind::Countdown) continue;
        writeStampedLocked(line);
    }
    filePending_.erase(0, from);
}

void ActivityLog::writeStampedLocked(std::string_view line) {
    std::string stamped = recordTimestamp();
    stamped += ' ';
    stamped += line;
    stamped += "\r\n";
    writeFileLocked(stamped);
}

bool ActivityLog::setFile(const std::filesystem::path& file, std::uintmax_t rotateBytes, int filesKept) {
    // Past a file-size limit the write fails (EFBIG) like a full disk, instead of ending us.
    ignoreFileSizeSignal();
    std::lock_guard lock(mutex_);
    file_ = file;
    rotateBytes_ = rotateBytes == 0 ? kFileRotateBytes : rotateBytes;
    filesKept_ = filesKept < 1 ? 1 : filesKept;
    fd_.reset();
    return openFileLocked();
}

bool ActivityLog::openFileLocked() {
    fd_.reset(::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644));
    if (!fd_.valid()) return false;
    struct stat st {};
    fileBytes_ = ::fstat(fd_.get(), &st) == 0 ? static_cast<std::uintmax_t>(st.st_size) : 0;
    return true;
}

void ActivityLog::writeFileLocked(const std::string& text) {
    if (file_.empty()) return;
    if (fd_.valid() && fileBytes_ > 0 && fileBytes_ + text.size() > rotateBytes_) {
        fd_.reset();
        std::error_code ec;
        auto numbered = [&](int n) { return std::filesystem::path(file_.string() + "." + std::to_string(n)); };
        std::filesystem::remove(numbered(filesKept_), ec);
        for (int n = filesKept_ - 1; n >= 1; --n) std::filesystem::rename(numbered(n), numbered(n + 1), ec);
        std::filesystem::rename(file_, numbered(1), ec);
    }
    // A file that could not be opened (a full or read-only disk) is tried again at each line.
    if (!fd_.valid() && !openFileLocked()) return;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd_.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    fileBytes_ += done;
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
    if (part == 1) {
        for (auto& word : monitors_) word.clear();
    }
    publishLocked(part);
}

void StatusBar::setMonitorText(Monitor monitor, const std::string& text) {
    std::lock_guard lock(mutex_);
    monitors_[static_cast<int>(monitor)] = text;
    std::string shown;
    for (const auto& word : monitors_) {
        if (word.empty()) continue;
        if (!shown.empty()) shown += ' ';
        shown += word;
    }
    parts_[1] = shown;
    publishLocked(1);
}

void StatusBar::publishLocked(int part) {
    for (const auto& [id, observer] : observers_) {
        if (observer) observer(part, parts_[part]);
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
