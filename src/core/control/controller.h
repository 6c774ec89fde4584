#pragma once
// The handlers behind the buttons and menus. They run on the UI thread and never wait on the
// network, a process or a sleep: anything slow goes to a worker thread.
#include <memory>
#include <string>

#include "app/context.h"
#include "live/monitor.h"
#include "works/monitor.h"

namespace vigilo {

class Controller {
public:
    explicit Controller(AppContext& ctx);
    ~Controller();

    AppContext& context() { return ctx_; }
    WorksMonitor& works() { return works_; }
    LiveMonitor& live() { return live_; }

    void startWorksMonitor();
    void stopWorksMonitor();
    void addAccounts(const std::string& linkText, bool multiMode);
    void addRooms(const std::string& linkText);
    void roomAddJob(const std::string& linkText);
    void stopRecording();
    void playSelectedRow();
    void closeProgram();

    // Menu of the AccountTable and the RoomTable double-click.
    void viewLiveRoom();
    void deleteSelectedAccount();
    void copyAccountCell(int column);
    void clearAccounts();
    void testCommand();
    void copyLatestRoomId();

private:
    AppContext& ctx_;
    WorksMonitor works_;
    LiveMonitor live_;
};

}  // namespace vigilo
