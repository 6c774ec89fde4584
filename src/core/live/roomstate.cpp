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
    }
    return {kOfflineWord, kWaitingWord};
}

}  // namespace

void writeRoomState(TableStore& table, int row, RoomState state) {
    const StateTexts texts = textsOf(state);
    if (texts.live != nullptr) table.setCell(row, rcol::LiveStatus, texts.live);
    table.setCell(row, rcol::RecordStatus, texts.record);
}

bool polledRoomState(const std::string& liveStatus, const std::string& recordStatus) {
    return liveStatus == kOfflineWord || recordStatus == kStoppedWord || recordStatus == kNotifyOnlyWord;
}

}  // namespace vigilo
