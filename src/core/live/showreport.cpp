#include "live/showreport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "app/aside.h"
#include "app/linkfile.h"

namespace vigilo {

const char* gapWord(GapKind kind) {
    switch (kind) {
        case GapKind::LateStart: return "开播后才录";
        case GapKind::Stall: return "断流";
        case GapKind::RecorderFailure: return "录制失败";
        case GapKind::Restart: return "程序重启";
        case GapKind::Stopped: return "停止录制";
    }
    return "";
}

const char* gapName(GapKind kind) {
    switch (kind) {
        case GapKind::LateStart: return "late_start";
        case GapKind::Stall: return "stall";
        case GapKind::RecorderFailure: return "recorder_failure";
        case GapKind::Restart: return "restart";
        case GapKind::Stopped: return "stopped";
    }
    return "";
}

namespace {

struct Span {
    double from, to;
    const ShowFile* file;
};

GapKind kindOfEnd(const std::string& end) {
    if (end == "failed") return GapKind::RecorderFailure;
    if (end == "stopped") return GapKind::Stopped;
    // Let go of when the program ended, and not taken over when it came back.
    if (end.empty()) return GapKind::Restart;
    return GapKind::Stall;  // "stalled", or a stream that ended while the show went on
}

}  // namespace

ShowSummary summarizeShow(const ShowReport& report) {
    ShowSummary s;
    std::int64_t start = report.firstSeenAt;
    if (report.startedAt > 0 && (start <= 0 || report.startedAt < start)) start = report.startedAt;
    std::vector<Span> spans;
    double end = static_cast<double>(std::max(report.lastLiveAt, start));
    for (const ShowFile& f : report.files) {
        s.recordedSeconds += std::max(0.0, f.seconds);
        const double from = std::max<double>(static_cast<double>(f.startedAt), static_cast<double>(start));
        const double to = static_cast<double>(f.startedAt) + std::max(0.0, f.seconds);
        if (to > from) spans.push_back({from, to, &f});
        end = std::max(end, to);
    }
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.from < b.from; });
    s.start = start;
    s.end = static_cast<std::int64_t>(std::ceil(end));
    s.onAirSeconds = end - static_cast<double>(start);
    s.share =
        s.onAirSeconds > 0 ? std::min(1.0, s.recordedSeconds / s.onAirSeconds) : (s.recordedSeconds > 0 ? 1.0 : 0.0);

    auto markIn = [&](GapKind kind, double from, double to) {
        return std::any_of(report.marks.begin(), report.marks.end(), [&](const ShowMark& m) {
            return m.kind == kind && static_cast<double>(m.at) >= from && static_cast<double>(m.at) <= to;
        });
    };
    std::vector<std::pair<double, double>> holes;  // uncovered stretches, with what came before
    std::vector<const ShowFile*> before;
    double at = static_cast<double>(start);
    const ShowFile* last = nullptr;
    for (const Span& span : spans) {
        if (span.from > at) {
            holes.emplace_back(at, span.from);
            before.push_back(last);
        }
        if (span.to > at) {
            at = span.to;
            last = span.file;
        }
    }
    if (end > at) {
        holes.emplace_back(at, end);
        before.push_back(last);
    }
    std::vector<std::pair<double, double>> counted;
    for (std::size_t i = 0; i < holes.size(); ++i) {
        const auto [from, to] = holes[i];
        if (to - from < kMinGapSeconds) continue;
        counted.emplace_back(from, to);
        GapKind kind = GapKind::LateStart;
        if (markIn(GapKind::Restart, from, to))
            kind = GapKind::Restart;
        else if (markIn(GapKind::RecorderFailure, from, to))
            kind = GapKind::RecorderFailure;
        else if (before[i] != nullptr)
            kind = kindOfEnd(before[i]->end);
        s.gaps.push_back({kind, static_cast<std::int64_t>(from), to - from});
        s.gapSeconds += to - from;
    }
    // A restart the recorder went on through lost nothing, but it happened.
    for (const ShowMark& m : report.marks) {
        if (m.kind != GapKind::Restart) continue;
        const bool inGap = std::any_of(counted.begin(), counted.end(), [&](const auto& hole) {
            return static_cast<double>(m.at) >= hole.first && static_cast<double>(m.at) <= hole.second;
        });
        if (!inGap) s.gaps.push_back({GapKind::Restart, m.at, 0});
    }
    std::stable_sort(s.gaps.begin(), s.gaps.end(), [](const ShowGap& a, const ShowGap& b) { return a.from < b.from; });
    return s;
}

std::string clockText(double seconds) {
    const long long whole = std::llround(std::max(0.0, seconds));
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    return text;
}

std::string gapsText(const ShowSummary& summary) {
    std::string text;
    for (const ShowGap& g : summary.gaps) {
        if (!text.empty()) text += "、";
        text += std::string(gapWord(g.kind)) + " " + clockText(g.seconds);
    }
    return text;
}

// ---- the record of open shows ----

ShowReports::ShowReports(std::filesystem::path file) : file_(std::move(file)) {}

std::string ShowReports::load(std::int64_t now) {
    std::error_code ec;
    if (!std::filesystem::exists(file_, ec)) return {};
    std::string problem;
    std::map<std::string, ShowReport> read;
    if (std::filesystem::file_size(file_, ec) > (std::uintmax_t{16} << 20) || ec) {
        problem = "too large or unreadable";
    } else {
        std::ifstream in(file_, std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
        if (doc.is_discarded() || !doc.is_object() || !doc.contains("shows") || !doc["shows"].is_array()) {
            problem = "not a record of shows";
        } else {
            try {
                for (const auto& item : doc["shows"]) {
                    if (!item.is_object() || read.size() >= kMaxShows) continue;
                    ShowReport r;
                    r.roomId = item.value("roomId", "");
                    r.key = item.value("key", "");
                    if (r.roomId.empty() || r.key.empty()) continue;
                    r.liveRoomId = item.value("liveRoomId", "");
                    r.nickname = item.value("nickname", "");
                    r.startedAt = item.value("startedAt", std::int64_t{0});
                    r.firstSeenAt = item.value("firstSeenAt", std::int64_t{0});
                    r.lastLiveAt = item.value("lastLiveAt", std::int64_t{0});
                    if (item.contains("files") && item["files"].is_array())
                        for (const auto& f : item["files"])
                            if (f.is_object())
                                r.files.push_back({f.value("name", ""), f.value("startedAt", std::int64_t{0}),
                                                   f.value("seconds", 0.0), f.value("end", "")});
                    if (item.contains("marks") && item["marks"].is_array())
                        for (const auto& m : item["marks"])
                            if (m.is_object())
                                r.marks.push_back(
                                    {m.value("kind", "") == "restart" ? GapKind::Restart : GapKind::RecorderFailure,
                                     m.value("at", std::int64_t{0})});
                    r.marks.push_back({GapKind::Restart, now});
                    read[r.roomId] = std::move(r);
                }
            } catch (const nlohmann::json::exception&) {
                problem = "not a record of shows";
            }
        }
    }
    std::lock_guard lock(mutex_);
    if (!problem.empty()) {
        const std::string moved = moveAside(file_);
        return problem + (moved.empty() ? "" : "，原文件已改名为 " + moved);
    }
    shows_ = std::move(read);
    saveLocked();
    return {};
}

ShowReport* ShowReports::findLocked(const std::string& roomId, const std::string& key) {
    auto it = shows_.find(roomId);
    if (it == shows_.end() || (!key.empty() && it->second.key != key)) return nullptr;
    return &it->second;
}

std::optional<ShowReport> ShowReports::liveSeen(const std::string& roomId, const std::string& key,
                                                const std::string& nickname, const std::string& liveRoomId,
                                                std::int64_t createTime, std::int64_t now) {
    std::lock_guard lock(mutex_);
    std::optional<ShowReport> over;
    auto it = shows_.find(roomId);
    if (it != shows_.end() && it->second.key != key) {
        over = std::move(it->second);
        shows_.erase(it);
        it = shows_.end();
    }
    if (it == shows_.end()) {
        if (shows_.size() >= kMaxShows) return over;
        ShowReport r;
        r.key = key;
        r.roomId = roomId;
        r.liveRoomId = liveRoomId;
        r.nickname = nickname;
        r.startedAt = createTime;
        r.firstSeenAt = now;
        it = shows_.emplace(roomId, std::move(r)).first;
    }
    it->second.lastLiveAt = std::max(it->second.lastLiveAt, now);
    saveLocked();
    return over;
}

void ShowReports::recordingStarted(const std::string& roomId, const std::string& key, const std::string& file,
                                   std::int64_t now) {
    std::lock_guard lock(mutex_);
    ShowReport* r = findLocked(roomId, "");
    if (r == nullptr || (!key.empty() && r->key != key)) return;
    for (ShowFile& f : r->files)
        if (f.name == file) {
            // Taken over after a restart: the same file goes on.
            f.end.clear();
            saveLocked();
            return;
        }
    r->files.push_back({file, now, 0, ""});
    r->lastLiveAt = std::max(r->lastLiveAt, now);
    saveLocked();
}

void ShowReports::recordingEnded(const std::string& roomId, const std::string& file, double seconds,
                                 const std::string& end, std::int64_t now) {
    std::lock_guard lock(mutex_);
    ShowReport* r = findLocked(roomId, "");
    if (r == nullptr) return;
    for (ShowFile& f : r->files) {
        if (f.name != file) continue;
        f.seconds = std::max(f.seconds, seconds);
        f.end = end.empty() ? "ended" : end;
        // A recorder stopped by the user says nothing of whether the show went on.
        if (end != "stopped") r->lastLiveAt = std::max(r->lastLiveAt, now);
        saveLocked();
        return;
    }
}

void ShowReports::recorderFailed(const std::string& roomId, const std::string& key, std::int64_t now) {
    std::lock_guard lock(mutex_);
    ShowReport* r = findLocked(roomId, key);
    if (r == nullptr) return;
    r->marks.push_back({GapKind::RecorderFailure, now});
    if (r->marks.size() > 1000) r->marks.erase(r->marks.begin());
    saveLocked();
}

std::optional<ShowReport> ShowReports::finish(const std::string& roomId) {
    std::lock_guard lock(mutex_);
    auto it = shows_.find(roomId);
    if (it == shows_.end()) return std::nullopt;
    ShowReport r = std::move(it->second);
    shows_.erase(it);
    saveLocked();
    return r;
}

std::optional<ShowReport> ShowReports::open(const std::string& roomId) const {
    std::lock_guard lock(mutex_);
    auto it = shows_.find(roomId);
    if (it == shows_.end()) return std::nullopt;
    return it->second;
}

void ShowReports::saveLocked() {
    nlohmann::json shows = nlohmann::json::array();
    for (const auto& [room, r] : shows_) {
        nlohmann::json files = nlohmann::json::array(), marks = nlohmann::json::array();
        for (const ShowFile& f : r.files)
            files.push_back({{"name", f.name}, {"startedAt", f.startedAt}, {"seconds", f.seconds}, {"end", f.end}});
        for (const ShowMark& m : r.marks) marks.push_back({{"kind", gapName(m.kind)}, {"at", m.at}});
        shows.push_back({{"roomId", r.roomId},
                         {"key", r.key},
                         {"liveRoomId", r.liveRoomId},
                         {"nickname", r.nickname},
                         {"startedAt", r.startedAt},
                         {"firstSeenAt", r.firstSeenAt},
                         {"lastLiveAt", r.lastLiveAt},
                         {"files", files},
                         {"marks", marks}});
    }
    writeFileAtomically(
        file_, nlohmann::json{{"shows", shows}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

}  // namespace vigilo
