#pragma once
// The works monitor's machinery, shared by the threads it starts.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "app/context.h"
#include "works/monitor.h"

namespace vigilo {

// What one profile answer says about an account. `ok` is false when the answer cannot be
// trusted: no answer, no JSON, no "user_info" or no post count.
struct ProfileRecord {
    bool ok = false;
    std::string nickname, followerText, postCount, shortId;
};

// The newest post from the post list. `ok` is false when no JSON answer arrived; `listEmpty`
// marks an answer without any post (what a blocked request gets, too).
struct NewestPostRecord {
    bool ok = false;
    bool listEmpty = true;
    std::string newestId, newestDesc, playAddress;
};

ProfileRecord requestProfile(const Endpoints& endpoints, const std::string& secUid);
NewestPostRecord requestNewestPost(const Endpoints& endpoints, const std::string& secUid);

// The href of a redirect page's anchor, with its HTML escapes undone.
std::string anchorTarget(const std::string& page);

class WorksEngine : public std::enable_shared_from_this<WorksEngine> {
public:
    // Polls running at once. A cycle over thousands of rows with a stalled host would
    // otherwise pile up a thread per row; the monitor waits for a free slot instead.
    static constexpr int kMaxConcurrentPolls = 400;

    explicit WorksEngine(AppContext& ctx) : ctx_(ctx) {}

    void registerAccounts(const std::string& linkText, bool multiMode);
    void queryNewAccount(const std::string& link, const std::string& uid, const std::string& secUid,
                         const std::string& rowIndexText);
    void runWorksMonitor();
    void pollAccount(int rowNumber);
    void downloadNewestVideo(const std::string& playAddress, const std::string& newestDesc,
                             const std::string& newestId, const std::string& nickname);
    void saveAccountEntry(const AccountEntry& entry);

    void startMonitorThread();
    int monitorThreads() const;

private:
    void registerOne(const std::string& element);
    void ensureRegistrationPool();
    bool startPoll(int rowNumber);
    void pollFinished();
    bool pauseUnlessStopped(Millis duration);
    // The stop command, or the program closing.
    bool stopRequested() const { return ctx_.worksStop || ctx_.closing; }
    void monitorThreadMain();

    AppContext& ctx_;
    mutable std::mutex mutex_;
    std::condition_variable pollDone_;
    int activePolls_ = 0;
    std::uint64_t startRequests_ = 0;
    bool monitorActive_ = false;
};

}  // namespace vigilo
