#pragma once
// The live monitor: room registration and polls, and the rows' texts. The passes over the rows
// (live/supervisor.h), the recorders (live/recorderset.h), the room answers (live/roomanswer.h)
// and the collection of finished recordings (live/collect.h) are its parts.
//
// Lock order: the TableLock (ctx.tableLock) before the parts' own mutexes. Code that holds one
// of those never takes the TableLock.
#include <sys/types.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/context.h"
#include "live/collect.h"
#include "live/recorderset.h"
#include "live/roomstate.h"
#include "text/jsondoc.h"

namespace vigilo {

// Lets registrations that run at once append their rows in the order of their links, so a
// room keeps its row (and its play port) from one run to the next.
class RowOrder {
public:
    // Blocks until every link before `index` (counted from 1) is done.
    void waitTurn(int index);
    void done(int index);

private:
    std::mutex mutex_;
    std::condition_variable turn_;
    std::set<int> done_;
    int next_ = 1;
};

class LiveMonitor {
public:
    explicit LiveMonitor(AppContext& ctx);
    // Lets go of the running recorders (their processes go on) and joins their threads.
    ~LiveMonitor();

    // `order` and `index` (from 1): the link's place in its list, whose rows keep that order.
    void registerRoom(const std::string& link, RowOrder* order = nullptr, int index = 0);
    // Empties the room table and the monitor's record of its rooms, for a new list of links.
    void clearRooms();
    JsonDoc fetchRoomInfo(const std::string& roomId);
    // A link whose share page got no answer (the service failing, not a wrong link) is tried
    // again at each pass and gets its row, after the others, once it resolves. A new list of
    // links forgets the old ones.
    void forgetUnansweredLinks();
    bool hasUnansweredLinks() const;

    // Starts the poll supervisor (pollRooms) on its own thread, ending any earlier one first.
    // Its first pass starts at once.
    void startSupervisor();
    void stopSupervisor();
    // The supervisor's loop on the calling thread, until the supervisor is stopped or replaced.
    void pollRooms();
    void pollRoom(int rowNumber);

    // The pass interval in minutes (5, 10 or 30; 0 pauses the passes, running recordings go
    // on), kept in the settings file. A running supervisor takes it from the next pass on; a
    // period chosen after "停止录制" starts the passes again.
    void setPeriod(int minutes);
    int period() const;
    // The period the "监控周期" buttons show: 0 while the passes are paused or "停止录制"
    // ended them.
    int shownPeriod() const;
    // "开始录制": passes start again at once (a paused period goes back to 5 minutes), and every
    // room that is live now is recorded.
    void resumeRecording();
    // The address of the selected room's page ("" without a selected row).
    std::string selectedRoomPage() const;

    // One recording on the calling thread, until ffmpeg ends. Refused (row reset, diagnostic
    // in the log) for a stream address that is not http, https, rtmp or rtmps.
    void startRecording(const std::string& streamUrl, const std::string& nickname, const std::string& rowText);
    void playSelectedRow();
    // Blocking: run off the UI thread. Status text, poll pool closed, recorders asked to quit
    // (bounded escalation), recordings moved into download/. The stopped rows keep their live
    // status and read "已停止录制".
    StopRecordingReport stopRecording();

    // Recorders started by this monitor that have not ended.
    int runningRecorders() const;
    std::vector<RecorderInfo> recorders() const;
    void setStopBounds(const RecorderStopBounds& bounds);
    // Parts of this many seconds for the recorders started from now on, in place of the
    // settings' minutes.
    void setSplitSeconds(std::optional<int> seconds);
    // What the disk guard reads as the data directory's free bytes (-1: unknown).
    void setFreeSpace(RecorderSet::FreeSpace freeSpace);

    struct State;

private:
    AppContext& ctx_;
    std::shared_ptr<State> state_;
};

}  // namespace vigilo
