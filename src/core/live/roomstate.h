#pragma once
// A room's state as its row shows it: the live monitor decides the state, and the row's two
// status cells are written from it, here only.
#include <string>

#include "app/table.h"

namespace vigilo {

inline constexpr const char* kLiveWord = "正在直播";
inline constexpr const char* kOfflineWord = "已下播|未直播";
inline constexpr const char* kWaitingWord = "等待录制";
inline constexpr const char* kRecordingWord = "正在录制";
inline constexpr const char* kWatchingWord = "监控中|等待录制";
inline constexpr const char* kStoppedWord = "已停止录制";
inline constexpr const char* kNotifyOnlyWord = "仅提醒";

enum class RoomState {
    Offline,           // "已下播|未直播" / "等待录制"
    Watching,          // "已下播|未直播" / "监控中|等待录制"
    Recording,         // "正在直播" / "正在录制"
    RecordingStopped,  // live status as last seen / "已停止录制"
    LiveNotRecorded,   // "正在直播" / "仅提醒": a room that alerts without being recorded
};

// Writes the state's status texts into the row (0-based); a stopped recording keeps the row's
// live status. The caller holds the TableLock when the row's other cells go with it.
void writeRoomState(TableStore& table, int row, RoomState state);

// Whether the passes poll a row with these status texts: the room is not live, or it is live
// without a recorder (recording stopped, or alerting only).
bool polledRoomState(const std::string& liveStatus, const std::string& recordStatus);

}  // namespace vigilo
