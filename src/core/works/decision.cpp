#include "works/decision.h"

#include <algorithm>

#include "text/strings.h"

namespace vigilo {

std::size_t newPostCount(const std::vector<std::string>& listedIds, const std::set<std::string>& seen,
                         double countChange) {
    // Posts below the newest one seen that were never listed (an older post moving up into the
    // page after a deletion) are not new.
    std::size_t top = listedIds.size();
    for (std::size_t i = 0; i < listedIds.size(); ++i) {
        if (seen.count(listedIds[i])) {
            top = i;
            break;
        }
    }
    if (top == listedIds.size()) {
        top = 0;
        if (countChange >= 1) top = std::min(listedIds.size(), static_cast<std::size_t>(std::min(countChange, 1e9)));
    }
    if (top == 0 && countChange > 0 && !listedIds.empty()) top = 1;
    return top;
}

bool listUsable(const Profile& profile, const PostList& posts) {
    return posts.ok && !(posts.items.empty() && textToNumber(profile.postCount) > 0);
}

bool countMoved(const Profile& profile, const std::string& storedCount) {
    return profile.ok && profile.postCount != storedCount;
}

PollDecision decidePoll(const PollRecord& record, const Profile& profile, const PostList& posts) {
    PollDecision decision;
    // A failed post list, or an empty one for an account that has posts, leaves the change
    // visible to the next cycle, which tries again.
    if (!countMoved(profile, record.postCount) || !listUsable(profile, posts)) return decision;
    const double now = textToNumber(profile.postCount);
    const double before = textToNumber(record.postCount);
    // The same count written otherwise ("3" and "3.0") is no change.
    if (now == before) return decision;
    const double change = now - before;
    decision.changed = true;
    decision.counterChange = static_cast<std::int64_t>(change);
    decision.postCount = profile.postCount;

    std::vector<std::string> ids;
    ids.reserve(posts.items.size());
    for (const PostItem& item : posts.items) ids.push_back(item.id);
    const std::size_t top = newPostCount(ids, record.seen, change);
    decision.download.assign(posts.items.begin(), posts.items.begin() + static_cast<std::ptrdiff_t>(top));

    decision.newest = posts.items.empty() ? PostItem{} : posts.items.front();
    decision.newestChanged = decision.newest.id != record.newestId;
    return decision;
}

}  // namespace vigilo
