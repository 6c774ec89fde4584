#include "notify/format.h"

#include <ctime>

#include <nlohmann/json.hpp>

#include "text/strings.h"

namespace vigilo {

namespace {

std::string utcTime(std::chrono::system_clock::time_point time) {
    const std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buffer;
}

std::string joined(std::initializer_list<std::string> parts) {
    std::string out;
    for (const auto& part : parts) {
        if (part.empty()) continue;
        if (!out.empty()) out += " · ";
        out += part;
    }
    return out;
}

}  // namespace

std::string eventTitle(const Event& event) {
    std::string who = oneLine(event.field("nickname"));
    if (who.empty()) who = oneLine(event.field("roomId"));
    switch (event.type) {
        case EventType::PostSaved: return who + " 发布了新作品";
        case EventType::DownloadGivenUp: return who + " 的作品下载失败";
        case EventType::RoomLive: return who + " 开播了";
        case EventType::RecordingStarted: return who + " 开始录制";
        case EventType::RecordingEnded: return who + " 录制结束";
        case EventType::RecordingFailed: return who + " 录制失败";
        case EventType::ShowEnded: return who + " 直播结束";
        case EventType::DiskLow: return "磁盘空间不足，录制已停止";
        case EventType::DiskOk: return "磁盘空间已恢复";
        case EventType::Test: return "Vigilo 测试通知";
        case EventType::ServiceRefusing: return "服务限流：" + oneLine(event.field("host"));
        case EventType::ServiceRecovered: return "服务恢复正常：" + oneLine(event.field("host"));
    }
    return who;
}

std::string eventBody(const Event& event) {
    const auto f = [&](const char* name) { return oneLine(event.field(name)); };
    switch (event.type) {
        case EventType::PostSaved: return joined({f("description"), f("file")});
        case EventType::DownloadGivenUp: return joined({f("description"), f("error")});
        case EventType::RoomLive: {
            std::string title = f("title");
            return joined({title.empty() ? "房间号 " + f("roomId") : title, f("startTime")});
        }
        case EventType::RecordingStarted: return f("file");
        case EventType::RecordingEnded: return joined({f("file"), f("duration"), f("size"), f("reason")});
        case EventType::RecordingFailed: return f("error");
        case EventType::ShowEnded:
            return joined({"直播 " + f("onAir"), "录制 " + f("recorded") + "（" + f("share") + "）",
                           "间断 " + f("gaps") + " 次" + (f("gapList").empty() ? "" : "：" + f("gapList")),
                           f("files")});
        case EventType::DiskLow:
        case EventType::DiskOk: return joined({f("dir"), "剩余 " + f("freeMB") + " MB，下限 " + f("minMB") + " MB"});
        case EventType::Test: return f("message");
        case EventType::ServiceRefusing: return joined({"每分钟 " + f("rate") + " 次", f("reason")});
        case EventType::ServiceRecovered: return "每分钟 " + f("rate") + " 次";
    }
    return {};
}

std::string eventLine(const Event& event) {
    const std::string body = eventBody(event);
    return std::string("event ") + eventTypeName(event.type) + ": " + eventTitle(event) +
           (body.empty() ? "" : " — " + body);
}

void recordEvents(EventBus& bus, ActivityLog& log) {
    bus.setRecord([&log](const Event& event) { log.record(eventLine(event)); });
}

std::string eventJson(const Event& event) {
    nlohmann::ordered_json doc = nlohmann::ordered_json::object();
    doc["type"] = eventTypeName(event.type);
    doc["time"] = utcTime(event.time);
    auto fields = nlohmann::ordered_json::object();
    for (const auto& [name, value] : event.fields) fields[name] = value;
    doc["fields"] = std::move(fields);
    return doc.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string eventFile(const Event& event) { return event.field("file"); }

}  // namespace vigilo
