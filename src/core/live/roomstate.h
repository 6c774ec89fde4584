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
inline constexpr const char* kRecordFailedWord = "录制失败";
inline constexpr const char* kNoSpaceWord = "磁盘空间不足";

enum class RoomState {
    Offline,           // "已下播|未直播" / "等待录制"
    Watching,          // "已下播|未直播" / "监控中|等待录制"
    Recording,         // "正在直播" / "正在录制"
    RecordingStopped,  // live status as last seen / "已停止录制"
    LiveNotRecorded,   // "正在直播" / "仅提醒": a room that alerts without being recorded
    RecordingFailed,   // "正在直播" / "录制失败": live, its recorder could not start; tried at the next pass
    NoSpace,  // "正在直播" / "磁盘空间不足": live, not recorded for want of room on the disk; tried at the next pass
};

// What the live monitor knows of the room in one row. The monitor decides from this, never
// from the cells, which are only its display.
struct Room {
    std::string roomId, latestId, nickname;
    RoomState state = RoomState::Offline;
    // The owner was live when the service last answered; a stopped recording keeps it.
    bool onAir = false;
};

// Moves the room to `state` and writes its status texts into its row (0-based); a stopped
// recording keeps the row's live status. The caller holds the TableLock when the row's other
// cells go with it.
void setRoomState(TableStore& table, int row, Room& room, RoomState state);

// Whether the passes poll the room: it is not live, or it is live without a recorder
// (recording stopped, alerting only, its recorder failed to start, or the disk is full).
bool polledRoom(const Room& room);

// The room a row shows when the monitor has no record of it (a row filled by other code): the
// reverse of setRoomState and the cells of the row (0-based).
Room roomFromCells(const TableStore& table, int row);

}  // namespace vigilo
