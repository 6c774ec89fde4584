#pragma once
// The words of an event for people (a notification's title and body, a terminal line) and
// for programs (one JSON object).
#include <string>

#include "app/events.h"
#include "app/log.h"

namespace vigilo {

// "小熊 开播了", "小熊 发布了新作品", ...
std::string eventTitle(const Event& event);
// The description, the room's title or id, the file: what the title leaves out. One line.
std::string eventBody(const Event& event);
// "event room_live: 小熊 开播了 — 房间号 …": the event as one line of the terminal and the log file.
std::string eventLine(const Event& event);
// Every event the bus publishes from now on becomes one line of the log's file.
void recordEvents(EventBus& bus, ActivityLog& log);
// {"type":"room_live","time":"2026-01-02T03:04:05Z","fields":{"nickname":…}} on one line;
// bytes that are not UTF-8 become U+FFFD, so a broken name never costs the event.
std::string eventJson(const Event& event);
// The file or folder a click on the notification opens; "" when the event has none.
std::string eventFile(const Event& event);

}  // namespace vigilo
