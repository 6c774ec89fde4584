// One poll of an account: its profile, and when the count moved, its post list. What the
// answers mean is decided by decidePoll (works/decision.h); this applies it.
#include <string>
#include <vector>

#include "net/http.h"
#include "net/service.h"
#include "text/strings.h"
#include "works/engine.h"

namespace vigilo {

void WorksEngine::pollAccount(int rowNumber) {
    if (rowNumber < 1) return;
    const int row = rowNumber - 1;
    const std::string secUid = ctx_.accountTable.cell(row, acol::SecUid);
    if (secUid.empty()) return;
    std::uint64_t generation = 0;
    {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        AccountState* state = adoptRow(secUid, row);
        if (!state || state->query != AccountState::Query::Done || state->busy) return;
        state->busy = true;
        generation = state->generation;
    }
    pollKey(secUid, generation, row);
}

void WorksEngine::pollKey(const std::string& secUid, std::uint64_t generation, int rowHint) {
    auto release = [&] {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        auto it = accounts_.find(secUid);
        if (it != accounts_.end() && it->second.generation == generation) it->second.busy = false;
    };

    const Profile profile = requestProfile(ctx_.endpoints, secUid);
    ++ctx_.counters.accountPolls;
    if (!profile.ok) ++ctx_.counters.accountPollFailures;
    std::string stored;
    {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        auto it = accounts_.find(secUid);
        if (it == accounts_.end() || it->second.generation != generation) return;
        stored = it->second.postCount;
    }
    if (!countMoved(profile, stored)) return release();
    const PostList posts = requestPostList(ctx_.endpoints, secUid);

    std::vector<PostItem> fresh;
    std::vector<PendingDownload> givenUp;
    {
        std::lock_guard<TableLock> lock(ctx_.tableLock);
        auto it = accounts_.find(secUid);
        if (it == accounts_.end() || it->second.generation != generation) return;
        AccountState& state = it->second;
        state.busy = false;
        const PollDecision decision = decidePoll({state.postCount, state.newestId, state.seen}, profile, posts);
        if (!decision.changed) return;
        state.counter += decision.counterChange;
        state.postCount = decision.postCount;
        for (const auto& item : posts.items) state.seen.insert(item.id);
        if (decision.newestChanged) {
            state.newestId = decision.newest.id;
            state.newestDesc = decision.newest.desc;
            state.playAddress = decision.newest.playAddress;
        }
        fresh = decision.download;
        const std::string nickname = profile.nickname.empty() ? state.nickname : profile.nickname;
        // Listed as pending before the record of seen posts takes them: whichever file a kill
        // leaves, no post is both seen and missing from the pending list.
        givenUp = enqueue(secUid, nickname, fresh);
        seenPosts_.record(secUid, idsOf(posts.items), profile.postCount, wallSeconds());
        writeRows(state, rowHint);
    }
    givingUp(givenUp, "待下载列表已满");
    if (!fresh.empty()) dispatchDownloads();
}

}  // namespace vigilo
