#pragma once
// The handlers behind the buttons and menus. They run on the UI thread and never wait on the
// network, a process or a sleep: anything slow goes to a worker thread.
//
// Link texts may arrive with any line ends; the handlers work on CR LF lines.
// Front ends follow ctx.buttons (app/buttons.h) to enable the add and start/stop buttons.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "app/context.h"
#include "control/retention.h"
#include "control/servicewatch.h"
#include "live/monitor.h"
#include "works/monitor.h"

namespace vigilo {

// What a "停止录制" did, one line a file: "recording saved: <path>",
// "recording left in place: <name and why>"; for the terminal and the log file alike.
std::vector<std::string> collectionLines(const Paths& paths, const StopRecordingReport& report);

class Controller {
public:
    explicit Controller(AppContext& ctx);
    // Asks every worker to stop and joins it (about a second: a stop reaches transfers and
    // pauses in flight). Recorders keep running.
    ~Controller();

    AppContext& context() { return ctx_; }
    WorksMonitor& works() { return works_; }
    LiveMonitor& live() { return live_; }

    void startWorksMonitor();
    void stopWorksMonitor();
    void addAccounts(const std::string& linkText, bool multiMode);
    void addRooms(const std::string& linkText);
    // The room-add job itself (blocking, on a worker thread). A newer job supersedes an older
    // one: the older stops posting and starts no supervisor.
    void roomAddJob(const std::string& linkText);
    // Runs "停止录制" on a worker; the files collected and those left behind go to the log file.
    void stopRecording();
    // "开始录制": passes again at once, every live room recorded.
    void resumeRecording();
    // "监控周期": 5, 10 or 30 minutes between passes; 0 pauses them. Kept in the settings.
    void setLivePeriod(int minutes);
    void playSelectedRow();
    // "仅提醒，不录制" of the room menu: the room alerts when it goes live but is not recorded.
    void setNotifyOnly(const std::string& roomId, bool on);
    // The quality of one room (nothing: the program's), of every room, and the length of a
    // recording's parts (0: one file); kept in the settings file, told in the log.
    void setRoomQuality(const std::string& roomId, std::optional<RecordQuality> quality);
    void setQuality(RecordQuality quality);
    void setSplitMinutes(int minutes);
    // Flags off, nothing new starts, every worker asked to stop; the pools are shut down and
    // the workers awaited on a thread of the controller. Recorders keep running. Returns at once.
    void closeProgram();
    // Waits until every worker has ended after closeProgram; false when the bound passed.
    bool waitClosed(std::chrono::milliseconds bound);

    // Menu of the AccountTable and the RoomTable double-click. "查看直播间" opens the page of the
    // room selected in the RoomTable.
    void viewLiveRoom();
    void deleteSelectedAccount();
    void copyAccountCell(int column);
    void clearAccounts();
    void testCommand();
    void copyLatestRoomId();
    // "发送测试通知": one test event to each receiver set in the environment, on a worker; what
    // each answered goes to the log.
    void testNotify();

private:
    void shutDownWork();

    AppContext& ctx_;
    WorksMonitor works_;
    LiveMonitor live_;
    ServiceWatch serviceWatch_{ctx_};
    // Old recordings and videos removed, when VIGILO_KEEP_DAYS asks for it.
    Retention retention_;

    std::mutex roomJobMutex_;  // one room-add job at a time
    std::atomic<unsigned> roomJobGeneration_{0};

    std::mutex worksStopMutex_;
    std::stop_source worksStopSource_;  // the running works monitor's, with its polls

    std::mutex closeMutex_;
    std::condition_variable closed_;
    bool closeStarted_ = false, closeDone_ = false;
    // Declared last: it goes first, joined before the members it uses.
    std::jthread closer_;
};

}  // namespace vigilo
