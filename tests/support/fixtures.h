#pragma once
// Accounts and rooms for the simulated service, each derived from a short key so that tests can
// add several without spelling out every id.
#include <algorithm>
#include <string>

#include "sim/simulator.h"

namespace vigilo::testing {

// An account with one post; its ids all carry `key`.
inline sim::Account makeAccount(const std::string& key, const std::string& nickname) {
    sim::Account a;
    a.uid = "7351904621" + key;
    a.secUid = "MS4wLjABAAAA" + key + "xYz_-";
    a.shortId = "10" + key;
    a.uniqueId = "user" + key;
    a.nickname = nickname;
    a.followerCount = 12345;
    a.posts = {{"68723368457590" + key, "最新 #话题 " + key, "FLV VIDEO-" + key}};
    return a;
}

// A room not on air; its owner's ids derive from the room id.
inline sim::Room makeRoom(const std::string& roomId, const std::string& nickname) {
    sim::Room room;
    room.roomId = roomId;
    room.ownerId = "9" + roomId.substr(0, std::min<std::size_t>(10, roomId.size()));
    room.ownerNickname = nickname;
    room.ownerSecUid = "MS4wLjABAAAA" + roomId;
    room.createTime = 1590975065;
    return room;
}

}  // namespace vigilo::testing
