#pragma once
// The account endpoint's two answers, each read in one place into typed values. The initial
// query, the poll and the download retries all go through these.
#include <cstdint>
#include <string>
#include <vector>

#include "net/http.h"
#include "net/service.h"

namespace vigilo {

// What one profile answer says about an account. `ok` is false when the answer cannot be
// trusted: no answer, no JSON, no "user_info" or no post count.
struct Profile {
    bool ok = false;
    std::string nickname, followerText, postCount, shortId;
    // How the exchange went, for a log line saying why an answer could not be used.
    int status = 0, transportCode = 0;
    std::string error;
};

// A post's counts as the answer gave them; -1 where it gave none.
struct PostStatistics {
    std::int64_t likes = -1, comments = -1, shares = -1, plays = -1, collects = -1;
};

struct PostItem {
    std::string id, desc;
    // Where the video is fetched from: the fourth address of video.play_addr_lowbr.url_list
    // when it lists four or more, else its last address; an empty list passes the same rule to
    // video.play_addr, then to video.download_addr. Empty when all three lists are.
    std::string playAddress = {};
    // The first address of video.cover.url_list that is present; empty when none is.
    std::string coverAddress = {};
    std::int64_t createTime = 0;  // seconds since 1970; 0 when the answer had none
    PostStatistics statistics = {};
    // The post's author as the item names it (the account's own, unless the answer is odd).
    std::string authorUid = {}, authorSecUid = {}, authorNickname = {};
};

// The post list, newest first. `ok` is false when no JSON answer arrived.
struct PostList {
    bool ok = false;
    std::vector<PostItem> items;
    int status = 0, transportCode = 0;
    std::string error;
};

Profile parseProfile(const HttpResult& result);
PostList parsePostList(const HttpResult& result);

// One GET each against the account endpoint.
Profile requestProfile(const Endpoints& endpoints, const std::string& secUid);
PostList requestPostList(const Endpoints& endpoints, const std::string& secUid);

}  // namespace vigilo
