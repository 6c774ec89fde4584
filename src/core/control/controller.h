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
#include <string>

#include "app/context.h"
#include "live/monitor.h"
#include "works/monitor.h"

namespace vigilo {

class Controller {
public:
    explicit Controller(AppContext& ctx);
    // Ends the supervisor, closes the pools and waits (bounded) for the threads that may still
    // use the monitors.
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
    void stopRecording();
    // "开始录制": passes again at once, every live room recorded.
    void resumeRecording();
    // "监控周期": 5, 10 or 30 minutes between passes; 0 pauses them. Kept in the settings.
    void setLivePeriod(int minutes);
    void playSelectedRow();
    // Flags off, nothing new starts; supervisor ended and pools closed on a worker. Recorders
    // keep running. Returns at once.
    void closeProgram();
    // Waits until the work started by closeProgram is done; false when the bound passed.
    bool waitClosed(std::chrono::milliseconds bound);

    // Menu of the AccountTable and the RoomTable double-click. "查看直播间" opens the page of the
    // room selected in the RoomTable.
    void viewLiveRoom();
    void deleteSelectedAccount();
    void copyAccountCell(int column);
    void clearAccounts();
    void testCommand();
    void copyLatestRoomId();

private:
    void shutDownWork();

    AppContext& ctx_;
    WorksMonitor works_;
    LiveMonitor live_;

    std::mutex roomJobMutex_;             // one room-add job at a time
    std::atomic<unsigned> roomJobGeneration_{0};

    std::mutex closeMutex_;
    std::condition_variable closed_;
    bool closeStarted_ = false, closeDone_ = false;
};

}  // namespace vigilo
