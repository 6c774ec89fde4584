#pragma once
// A running simulator with one account and one room, and plain HTTP exchanges against it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/simulator.h"
#include "support/sim_support.h"

namespace vigilo::sim::testing {

inline constexpr const char* kSecUid = "MS4wLjABAAAAv7iSuuXDJVDvJb5nl1cOmYb27XA1SbSJcW2Jo4m-5yk";
inline constexpr const char* kUid = "73519046218";
inline constexpr const char* kRoomId = "6854151890994039560";
inline constexpr const char* kOwnerId = "98765432101";

inline Account sampleAccount() {
    Account a;
    a.uid = kUid;
    a.secUid = kSecUid;
    a.shortId = "1589043172";
    a.uniqueId = "sample_user";
    a.nickname = "小熊看世界🐻";
    a.signature = "第一行\n第二行";
    a.followerCount = 1234;
    a.posts.push_back({"6872336845759089421", "今天 #日落 好看", std::string("\0\1mp4 bytes\xff", 13), 4});
    a.posts.push_back({"6872336845759089000", "older", "older video", 4});
    return a;
}

inline Room sampleRoom() {
    Room r;
    r.roomId = kRoomId;
    r.ownerId = kOwnerId;
    r.ownerNickname = "橙子🍊";
    r.ownerSecUid = "MS4wLjABAAAAowner";
    r.createTime = 1590975065;
    return r;
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.start());
        sim.addAccount(sampleAccount());
        sim.addRoom(sampleRoom());
    }
    void TearDown() override { sim.stop(); }

    // One GET (or the given request text) with a generous time limit.
    test::Reply get(const std::string& target, const std::vector<std::string>& headers = {}) {
        test::RawReply raw = test::rawExchange(sim.port(), test::getRequest(target, headers), std::chrono::seconds(20));
        test::Reply reply;
        EXPECT_TRUE(test::parseReply(raw.bytes, reply)) << target;
        return reply;
    }
    nlohmann::json getJson(const std::string& target) {
        test::Reply r = get(target);
        EXPECT_EQ(r.status, 200) << target;
        return nlohmann::json::parse(r.body, nullptr, false);
    }
    // The path and query of an address served by this simulator.
    std::string local(const std::string& url) {
        std::string base = sim.baseUrl();
        EXPECT_EQ(url.rfind(base, 0), 0u) << url;
        return url.substr(base.size());
    }
    static std::string profilePath(const std::string& secUid = kSecUid) {
        return "/web/api/v2/user/info/?sec_uid=" + secUid;
    }
    static std::string postsPath(const std::string& secUid = kSecUid) {
        return "/web/api/v2/aweme/post/?sec_uid=" + secUid +
               "&count=21&max_cursor=0&aid=1128&_signature=qTvNkWBB5pLcRYZdHfE8261KM3&dytk=";
    }
    static std::string roomPath(const std::string& roomId = kRoomId) {
        return "/webcast/room/reflow/info/?room_id=" + roomId + "&live_id=1&app_id=1128";
    }

    Simulator sim;
};

}  // namespace vigilo::sim::testing
