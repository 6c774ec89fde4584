#pragma once
// What a poll makes of the account's answers, decided without threads, locks or the network:
// the monitor feeds it the record and the answers and applies what comes back.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "works/answers.h"

namespace vigilo {

// How many posts at the top of a post list (newest first) are new: those above the newest one
// seen before. When no listed post was seen, the count's change says how many. A rise with
// nothing new above a seen post (a post published again) counts the newest one.
std::size_t newPostCount(const std::vector<std::string>& listedIds, const std::set<std::string>& seen,
                         double countChange);

// An account whose list came back empty although it has posts got what a blocked request gets.
bool listUsable(const Profile& profile, const PostList& posts);

// Whether a profile answer calls for the post list: it could be used, and its count is not the
// text the record holds. A failed answer says nothing about the posts.
bool countMoved(const Profile& profile, const std::string& storedCount);

// What the account's record holds when the answers come in.
struct PollRecord {
    std::string postCount;
    std::string newestId;
    std::set<std::string> seen;  // every post id listed since the registration
};

struct PollDecision {
    bool changed = false;  // false: the record and the row stay as they are
    std::int64_t counterChange = 0;
    std::string postCount;
    bool newestChanged = false;  // the newest-post fields take `newest`
    PostItem newest;
    std::vector<PostItem> download;  // the new posts, newest first
};

PollDecision decidePoll(const PollRecord& record, const Profile& profile, const PostList& posts);

}  // namespace vigilo
