#pragma once
// The works monitor's machinery, shared by the threads it starts.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "app/context.h"
#include "text/strings.h"
#include "works/answers.h"
#include "works/decision.h"
#include "works/monitor.h"
#include "works/pending.h"
#include "works/seen.h"

namespace vigilo {

// The href of a redirect page's anchor, with its HTML escapes undone.
std::string anchorTarget(const std::string& page);

inline std::int64_t wallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}
inline std::int64_t wallSeconds() { return wallMs() / 1000; }

inline std::vector<std::string> idsOf(const std::vector<PostItem>& items) {
    std::vector<std::string> ids;
    ids.reserve(items.size());
    for (const PostItem& item : items) ids.push_back(item.id);
    return ids;
}

// What a home-page share link points at: the account's uid and sec_uid ("" when the page
// holds no such target).
struct ShareTarget {
    std::string uid, secUid;
};
inline ShareTarget shareTarget(const std::string& page) {
    return {textBetween(page, "/user/", "?"), textBetween(page, "sec_uid=", "&amp")};
}

// What the works monitor knows about one account, keyed by its sec_uid. The row cells are
// written from it; what is not cell text (the ids seen, whether the first query succeeded,
// whether a request is running) lives only here. Guarded by the TableLock.
struct AccountState {
    enum class Query { Running, NotYet, Done };

    std::uint64_t generation = 0;  // a new registration starts a new one; older answers are dropped
    Query query = Query::Running;
    std::string link, uid, secUid;
    std::string shortId, nickname, followerText, postCount, newestDesc, newestId, playAddress;
    std::int64_t counter = 0;
    // Every post id listed since the registration; a listed id outside it is a new post.
    std::set<std::string> seen;
    // The post count of the first profile answered while the first query had not yet succeeded:
    // posts beyond it were made while the account was being registered.
    std::string countWhileRegistering;
    bool busy = false;    // the query or a poll runs now
    bool shared = false;  // registered more than once: several rows show it
    int queryFailures = 0;
    bool failureLogged = false;  // "账号首次查询失败" said for this run of failures
    std::chrono::steady_clock::time_point nextQuery{};
};

class WorksEngine : public std::enable_shared_from_this<WorksEngine> {
public:
    // Polls running at once. A cycle over thousands of rows with a stalled host would
    // otherwise pile up a thread per row; the monitor waits for a free slot instead.
    static constexpr int kMaxConcurrentPolls = 400;

    explicit WorksEngine(AppContext& ctx);

    void registerAccounts(const std::string& linkText, bool multiMode);
    void queryNewAccount(const std::string& link, const std::string& uid, const std::string& secUid);
    void runWorksMonitor();
    void pollAccount(int rowNumber);
    void saveAccountEntry(const AccountEntry& entry);
    // One video saved now, with the retries of any other.
    void downloadVideo(const std::string& playAddress, const std::string& desc, const std::string& id,
                       const std::string& nickname);

    // The commands that edit rows. A record no row shows any more is forgotten.
    void deleteRow(int row);
    void clearRows();
    // "测试用": the row's account takes this post count and forgets its newest post, so the next
    // poll compares the answer with them.
    void testCommand(int row, const std::string& postCount);

    // Downloads running at once in the whole program (one per account in any case).
    void setDownloadLimit(int limit);
    int downloadsRunning() const { return pending_.running(); }
    std::uint64_t pendingWrites() const { return pending_.writes(); }
    void startMonitorThread();
    int monitorThreads() const;
    int queriesInFlight() const;

    // The retry thread's routine: pending downloads, and first queries while the monitor is off.
    void retryLoop(std::stop_token stop);
    void wakeRetries();
    std::vector<PendingDownload> pendingDownloads() const { return pending_.entries(); }
    // Writes the record of seen posts when it changed; `whole`: with its journal folded in.
    void saveSeenPosts(bool whole = false);

private:
    void registerOne(const std::string& element);
    void ensureRegistrationPool();
    std::uint64_t resetAccount(const std::string& link, const std::string& uid, const std::string& secUid);
    // `counted`: a registration's own query, which queriesInFlight() waits for (retries are not).
    void runQuery(const std::string& secUid, std::uint64_t generation, bool counted = true);
    void queryFinished(bool counted = true);
    // Starts the first query again for a row that has none yet (its link first when it has no
    // sec_uid); with onlyWhenDue, only once its back-off has passed.
    void retryFirstQuery(int row, bool onlyWhenDue);
    void retryFirstQueries(bool onlyWhenDue);
    void resolveAgain(const std::string& link, bool onlyWhenDue);
    bool startPoll(const std::string& secUid, int rowHint);
    void pollKey(const std::string& secUid, std::uint64_t generation, int rowHint);
    void pollFinished();
    // A poll worker's routine: takes queued polls until none has come for kPollWorkerIdle or
    // no monitor run is left to queue one.
    void pollWorker();
    // Writes the cells of every row of that account from its record. Caller holds the TableLock.
    void writeRows(const AccountState& state, int rowHint);
    int findRow(const std::string& secUid, int rowHint) const;
    // The account's record; a row filled without this engine's query is adopted as it stands.
    // Null when there is neither. Caller holds the TableLock.
    AccountState* adoptRow(const std::string& secUid, int rowHint);

    // At an account's first good query: the listed posts made since the program last saw the
    // account (or since its profile first answered, for an account never seen), newest first.
    // Caller holds the TableLock.
    std::vector<PostItem> postsMadeUnseen(const AccountState& state, const Profile& profile, const PostList& posts);

    // Lists the posts as pending (written ahead of their downloads); the oldest entries that
    // made room come back, to be given up with givingUp() once the TableLock is released.
    std::vector<PendingDownload> enqueue(const std::string& secUid, const std::string& nickname,
                                         const std::vector<PostItem>& posts);
    void givingUp(const std::vector<PendingDownload>& entries, const std::string& why);
    // The folder an account's videos go to ("" with the reason when it cannot be made).
    fs::path videoFolder(const std::string& nickname, std::string* why) const;
    // Starts the downloads that may run now. Every start of a download, and every end, comes here.
    void dispatchDownloads();
    void runDownload(PendingDownload entry);
    // Empty on success, else why the video could not be saved. `stopped`: the program is
    // closing, so the try does not count.
    // `source`: the address the bytes came from.
    std::string saveVideo(const std::string& nickname, const PendingDownload& video, std::string* file, bool* stopped,
                          std::string* source = nullptr);
    // The post's cover beside its video; empty on success, else why not.
    std::string saveCover(const PendingDownload& post, bool* stopped);
    // The cover of a post whose video is saved: tried now, and again like a video when it fails.
    void runCover(PendingDownload entry);
    // A failed try of `what` ("视频", "封面"): logged, then tried again after its gap or given up.
    void failedTry(PendingDownload entry, const std::string& what, const std::string& fileName,
                   const std::string& error);
    void logDownload(const std::string& nickname, const std::string& what, const std::string& fileName,
                     const std::string& note);
    void logLine(const std::string& text);
    Millis cycleLength() const;
    // The gap before the next try of a first query or a share link after `failures` failed tries:
    // one cycle, doubling up to the retry cap.
    Millis retryGap(int failures) const;

    bool pauseUnlessStopped(Millis duration);
    // The stop command, or the program closing.
    bool stopRequested() const { return ctx_.worksStop || ctx_.closing; }
    void monitorThreadMain();

    AppContext& ctx_;
    std::map<std::string, AccountState> accounts_;  // under ctx_.tableLock
    std::uint64_t nextGeneration_ = 1;              // under ctx_.tableLock
    PendingDownloads pending_;
    SeenPosts seenPosts_;

    mutable std::mutex mutex_;
    std::condition_variable pollDone_;
    std::condition_variable_any retryWake_;
    int activePolls_ = 0;
    // The monitor's polls run on poll workers: threads of the group (so a close stops their
    // exchanges and joins them, and whoever waits for the program's work sees them) that take
    // one poll after another, instead of a thread started and ended for every poll.
    struct PollTask {
        std::string secUid;
        std::uint64_t generation = 0;
        int rowHint = -1;
        std::stop_token stop;  // the queuing run's: its stop reaches the poll's exchanges
    };
    static constexpr Millis kPollWorkerIdle{5000};
    std::condition_variable pollWork_;
    std::deque<PollTask> pollQueue_;  // under mutex_, as are the counts below
    int pollWorkers_ = 0;             // alive, started ones included
    int idlePollWorkers_ = 0;         // waiting for a poll
    int monitorRuns_ = 0;             // runWorksMonitor calls in progress
    int queriesInFlight_ = 0;
    std::uint64_t startRequests_ = 0;
    bool monitorActive_ = false;
    // Share links being resolved again, and when each may be tried next.
    std::set<std::string> resolving_;
    struct LinkRetry {
        int failures = 0;
        std::chrono::steady_clock::time_point next{};
    };
    std::map<std::string, LinkRetry> linkRetries_;
    std::atomic<int> maxDownloads_{4};
    // Whether a post's description and cover are kept beside its video (VIGILO_SIDECARS).
    const bool sidecars_;
};

}  // namespace vigilo
