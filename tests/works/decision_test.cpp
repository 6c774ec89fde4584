// The poll's decision as a table: the record and the two answers in, what changes out.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "works/decision.h"

namespace vigilo {
namespace {

Profile profile(const std::string& count, bool ok = true) {
    Profile p;
    p.ok = ok;
    p.postCount = count;
    p.nickname = "甲";
    return p;
}

PostList list(std::vector<std::string> ids, bool ok = true) {
    PostList l;
    l.ok = ok;
    for (const auto& id : ids) l.items.push_back({id, "desc " + id, "http://play/" + id});
    return l;
}

TEST(DecidePoll, CounterNewestAndDownloadsFromTheRecordAndTheAnswers) {
    struct Case {
        const char* what;
        PollRecord record;
        Profile profile;
        PostList posts;
        bool changed;
        std::int64_t counterChange;
        bool newestChanged;
        std::vector<std::string> download;
    } cases[] = {
        {"a new post", {"2", "b", {"b", "a"}}, profile("3"), list({"c", "b", "a"}), true, 1, true, {"c"}},
        {"three posts between two looks",
         {"2", "b", {"b", "a"}},
         profile("5"),
         list({"e", "d", "c", "b", "a"}),
         true,
         3,
         true,
         {"e", "d", "c"}},
        {"a removed post", {"3", "c", {"c", "b", "a"}}, profile("2"), list({"b", "a"}), true, -1, true, {}},
        {"a new post among two deletions",
         {"3", "c", {"c", "b", "a"}},
         profile("2"),
         list({"n", "a"}),
         true,
         -1,
         true,
         {"n"}},
        // "测试用" lowered the count and forgot the newest post: the newest is saved again.
        {"a rise with the newest post known",
         {"1", "", {"b", "a"}},
         profile("2"),
         list({"b", "a"}),
         true,
         1,
         true,
         {"b"}},
        {"a rise with the same newest id",
         {"1", "b", {"b", "a"}},
         profile("2"),
         list({"b", "a"}),
         true,
         1,
         false,
         {"b"}},
        {"no change", {"2", "b", {"b", "a"}}, profile("2"), list({"b", "a"}), false, 0, false, {}},
        {"the same count written otherwise",
         {"2", "b", {"b", "a"}},
         profile("2.0"),
         list({"b", "a"}),
         false,
         0,
         false,
         {}},
        {"a failed profile", {"2", "b", {"b", "a"}}, profile("", false), list({"c", "b", "a"}), false, 0, false, {}},
        {"a failed post list", {"2", "b", {"b", "a"}}, profile("3"), list({}, false), false, 0, false, {}},
        {"an empty list for an account with posts",
         {"2", "b", {"b", "a"}},
         profile("3"),
         list({}),
         false,
         0,
         false,
         {}},
        {"every post removed", {"1", "a", {"a"}}, profile("0"), list({}), true, -1, true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const PollDecision d = decidePoll(c.record, c.profile, c.posts);
        EXPECT_EQ(d.changed, c.changed);
        EXPECT_EQ(d.counterChange, c.counterChange);
        EXPECT_EQ(d.newestChanged, c.newestChanged);
        std::vector<std::string> ids;
        for (const auto& item : d.download) ids.push_back(item.id);
        EXPECT_EQ(ids, c.download);
        if (d.changed) {
            EXPECT_EQ(d.postCount, c.profile.postCount);
        }
        if (d.newestChanged) {
            EXPECT_EQ(d.newest.id, c.posts.items.empty() ? "" : c.posts.items.front().id);
        }
        // The post list is asked for exactly when the decision can change something.
        EXPECT_EQ(countMoved(c.profile, c.record.postCount), c.profile.ok && c.profile.postCount != c.record.postCount);
    }
}

}  // namespace
}  // namespace vigilo
