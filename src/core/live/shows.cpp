#include "live/shows.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/aside.h"
#include "app/linkfile.h"
#include "live/recorder.h"

namespace vigilo {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxTextBytes = 64;

std::int64_t nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

AnnouncedShows::AnnouncedShows(fs::path file, std::size_t maxShows)
    : file_(std::move(file)), maxShows_(std::max<std::size_t>(maxShows, 1)) {}

std::string AnnouncedShows::keyOf(const std::string& liveRoomId, const std::string& createTime) {
    return liveRoomId + "@" + createTime;
}

std::string AnnouncedShows::load() {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(file_, ec))) return {};
    std::string why;
    const std::uintmax_t size = fs::file_size(file_, ec);
    nlohmann::json doc;
    if (ec) {
        why = "无法读取：" + ec.message();
    } else if (size > kMaxFileBytes) {
        why = "大于 " + std::to_string(kMaxFileBytes >> 20) + " MB";
    } else {
        std::ifstream in(file_, std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        doc = nlohmann::json::parse(text, nullptr, false);
        if (!in.good() && !in.eof())
            why = "无法读取";
        else if (doc.is_discarded())
            why = "不是 JSON";
        else if (!doc.is_object() || !doc.contains("shows") || !doc["shows"].is_array())
            why = "没有节目列表";
    }
    if (!why.empty()) {
        const std::string aside = moveAside(file_);
        return why + (aside.empty() ? "" : "，已移到 " + aside);
    }
    std::lock_guard lock(mutex_);
    shows_.clear();
    for (const nlohmann::json& entry : doc["shows"]) {
        if (!entry.is_object()) continue;
        const auto text = [&](const char* name) {
            const auto it = entry.find(name);
            return it != entry.end() && it->is_string() && it->get_ref<const std::string&>().size() <= kMaxTextBytes
                       ? it->get<std::string>()
                       : std::string();
        };
        const std::string roomId = text("roomId");
        if (roomId.empty()) continue;
        Show& show = addLocked(keyOf(roomId, text("createTime")));
        show.roomId = roomId;
        show.createTime = text("createTime");
        if (const auto it = entry.find("announcedAt"); it != entry.end() && it->is_number_integer())
            show.announcedAt = it->get<std::int64_t>();
        if (const auto it = entry.find("recordingFailed"); it != entry.end() && it->is_boolean())
            show.failed = it->get<bool>();
    }
    return {};
}

AnnouncedShows::Show& AnnouncedShows::addLocked(const std::string& key) {
    Show& show = shows_[key];
    show.order = ++next_;
    while (shows_.size() > maxShows_) {
        const auto oldest = std::min_element(
            shows_.begin(), shows_.end(), [](const auto& a, const auto& b) { return a.second.order < b.second.order; });
        shows_.erase(oldest);
    }
    return shows_[key];
}

bool AnnouncedShows::announce(const std::string& key) {
    {
        std::lock_guard lock(mutex_);
        if (shows_.count(key) != 0) return false;
        Show& show = addLocked(key);
        const std::size_t at = key.rfind('@');
        show.roomId = key.substr(0, at);
        show.createTime = at == std::string::npos ? "" : key.substr(at + 1);
        show.announcedAt = nowSeconds();
    }
    save();
    return true;
}

bool AnnouncedShows::firstFailure(const std::string& key) {
    {
        std::lock_guard lock(mutex_);
        auto it = shows_.find(key);
        if (it != shows_.end() && it->second.failed) return false;
        if (it == shows_.end()) {
            Show& show = addLocked(key);
            const std::size_t at = key.rfind('@');
            show.roomId = key.substr(0, at);
            show.createTime = at == std::string::npos ? "" : key.substr(at + 1);
            show.announcedAt = nowSeconds();
            show.failed = true;
        } else {
            it->second.failed = true;
        }
    }
    save();
    return true;
}

bool AnnouncedShows::known(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return shows_.count(key) != 0;
}

std::size_t AnnouncedShows::size() const {
    std::lock_guard lock(mutex_);
    return shows_.size();
}

void AnnouncedShows::save() {
    std::lock_guard saving(saveMutex_);
    nlohmann::ordered_json doc;
    doc["shows"] = nlohmann::ordered_json::array();
    {
        std::lock_guard lock(mutex_);
        std::vector<const Show*> ordered;
        for (const auto& [key, show] : shows_) ordered.push_back(&show);
        std::sort(ordered.begin(), ordered.end(), [](const Show* a, const Show* b) { return a->order < b->order; });
        for (const Show* show : ordered)
            doc["shows"].push_back({{"roomId", show->roomId},
                                    {"createTime", show->createTime},
                                    {"announcedAt", show->announcedAt},
                                    {"recordingFailed", show->failed}});
    }
    // Ids come from the service: a byte that is no UTF-8 becomes U+FFFD rather than a failed write.
    writeFileAtomically(file_, doc.dump(1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n");
}

}  // namespace vigilo
