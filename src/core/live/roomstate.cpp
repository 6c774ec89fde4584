#include "live/roomstate.h"

namespace vigilo {

namespace {

// The live status and the recording status a state shows; no live status: the row keeps its own.
struct StateTexts {
    const char* live;
    const char* record;
};

StateTexts textsOf(RoomState state) {
    switch (state) {
        case RoomState::Offline: return {kOfflineWord, kWaitingWord};
        case RoomState::Watching: return {kOfflineWord, kWatchingWord};
        case RoomState::Recording: return {kLiveWord, kRecordingWord};
        case RoomState::RecordingStopped: return {nullptr, kStoppedWord};
        case RoomState::LiveNotRecorded: return {kLiveWord, kNotifyOnlyWord};
        case RoomState::RecordingFailed: return {kLiveWord, kRecordFailedWord};
        case RoomState::NoSpace: return {kLiveWord, kNoSpaceWord};
    }
    return {kOfflineWord, kWaitingWord};
}

}  // namespace

void setRoomState(TableStore& table, int row, Room& room, RoomState state) {
    const StateTexts texts = textsOf(state);
    room.state = state;
    if (texts.live != nullptr) {
        room.onAir = texts.live == kLiveWord;
        table.setCell(row, rcol::LiveStatus, texts.live);
    }
    table.setCell(row, rcol::RecordStatus, texts.record);
}

bool polledRoom(const Room& room) {
    return !room.onAir || room.state == RoomState::RecordingStopped || room.state == RoomState::LiveNotRecorded ||
           room.state == RoomState::RecordingFailed || room.state == RoomState::NoSpace;
}

Room roomFromCells(const TableStore& table, int row) {
    Room room;
    room.roomId = table.cell(row, rcol::RoomId);
    room.latestId = table.cell(row, rcol::LatestRoomId);
    room.nickname = table.cell(row, rcol::Owner);
    // Only a row that plainly says offline is taken as off air: a text of unknown meaning never
    // has the room polled and recorded over what the row shows.
    room.onAir = table.cell(row, rcol::LiveStatus) != kOfflineWord;
    const std::string record = table.cell(row, rcol::RecordStatus);
    for (RoomState state : {RoomState::Watching, RoomState::Recording, RoomState::RecordingStopped,
                            RoomState::LiveNotRecorded, RoomState::RecordingFailed, RoomState::NoSpace})
        if (record == textsOf(state).record) room.state = state;
    return room;
}

}  // namespace vigilo
