#pragma once
// The works monitor: account registration, the initial query, the poll cycle, the video
// download and the account file.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/context.h"
#include "works/pending.h"

namespace vigilo {

struct AccountEntry {
    std::string link, uid, secUid, shortId, nickname, followerText, postCount, newestDesc, newestId, playAddress;
};

class WorksEngine;

class WorksMonitor {
public:
    explicit WorksMonitor(AppContext& ctx);
    ~WorksMonitor();

    // Multi mode rebuilds the table from every line; single mode adds the last line only.
    void registerAccounts(const std::string& linkText, bool multiMode);
    // A fresh registration of the account: its record starts anew and its first query runs.
    void queryNewAccount(const std::string& link, const std::string& uid, const std::string& secUid);
    // The monitor loop; runs on the works-monitor thread until the flags end it.
    void runWorksMonitor();
    void pollAccount(int rowNumber);
    void downloadNewestVideo(const std::string& playAddress, const std::string& newestDesc, const std::string& newestId,
                             const std::string& nickname);
    void saveAccountEntry(const AccountEntry& entry);

    // The commands that edit rows ("删除", "清空列表", "测试用"): the rows and the records behind
    // them change together. "测试用" gives the row's account that post count and forgets its
    // newest post, so the next poll compares the service's answer with them.
    void deleteRow(int row);
    void clearRows();
    void testCommand(int row, const std::string& postCount);

    // Video downloads running at once in the whole program (VIGILO_MAX_DOWNLOADS, default 4);
    // an account's downloads run one at a time in any case.
    void setDownloadLimit(int limit);
    int downloadsRunning() const;
    // Whole rewrites of pending-downloads.json so far.
    std::uint64_t pendingWrites() const;

    // Starts runWorksMonitor on its own thread unless one is already running (a quick
    // stop-then-start must not leave two monitor threads).
    void startMonitorThread();
    // Monitor threads alive now (0 or 1).
    int monitorThreads() const;
    // Registrations and first queries started and not yet answered.
    int queriesInFlight() const;
    // Videos waiting for their next try.
    std::vector<PendingDownload> pendingDownloads() const;

private:
    AppContext& ctx_;
    // The work itself; threads and pool tasks hold it, so none of them depends on this
    // object's lifetime.
    std::shared_ptr<WorksEngine> engine_;
    // Tries pending downloads again, and first queries while the monitor is off. Joined here.
    std::jthread retry_;
};

// "1.5w" for 15000; counts up to 10000 stay as they are.
std::string followerText(const std::string& countText);

}  // namespace vigilo
