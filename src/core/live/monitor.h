#pragma once
// The live monitor: room registration, the poll supervisor, recorders and the collection of
// finished recordings.
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "app/context.h"
#include "text/jsondoc.h"

namespace vigilo {

struct StopRecordingReport {
    std::vector<std::string> moved;     // file names now in download/
    std::vector<std::string> leftOver;  // file names that stayed behind, with the reason
};

// How long "停止录制" waits for a recorder at each step before the next, harder request:
// the quit key, then SIGINT, SIGTERM and SIGKILL. A recording file that a process still holds
// after busyFile stays where it is and is reported.
struct RecorderStopBounds {
    Millis quit{10000};
    Millis interrupt{5000};
    Millis terminate{5000};
    Millis kill{2000};
    Millis busyFile{2000};
};

struct RecorderInfo {
    int row = 0;           // the row number it was started for
    std::string nickname;
    std::string fileName;  // in the data directory
    int port = 0;
    pid_t processId = 0;   // 0 until ffmpeg runs
};

class LiveMonitor {
public:
    explicit LiveMonitor(AppContext& ctx);
    ~LiveMonitor();

    void registerRoom(const std::string& link);
    JsonDoc fetchRoomInfo(const std::string& roomId);

    // Starts the poll supervisor (pollRooms) on its own thread, ending any earlier one first.
    void startSupervisor();
    void stopSupervisor();
    // The supervisor's loop on the calling thread, until the supervisor is stopped or replaced.
    void pollRooms();
    void pollRoom(int rowNumber);

    // One recording on the calling thread, until ffmpeg ends. Refused (row reset, diagnostic
    // in the log) for a stream address that is not http, https, rtmp or rtmps.
    void startRecording(const std::string& streamUrl, const std::string& nickname,
                        const std::string& rowText);
    void playSelectedRow();
    // Blocking: run off the UI thread. Status text, poll pool closed, recorders asked to quit
    // (bounded escalation), recordings moved into download/.
    StopRecordingReport stopRecording();

    // Recorders started by this monitor that have not ended.
    int runningRecorders() const;
    std::vector<RecorderInfo> recorders() const;
    void setStopBounds(const RecorderStopBounds& bounds);

    struct State;

private:
    AppContext& ctx_;
    std::shared_ptr<State> state_;
};

// Loopback port of a row: "111" + row for rows 1..99 (and 1110 for row 0, no selection),
// 11100 + row from row 100 on, so every row has its own valid port; -1 past the last port.
int recorderPort(int rowNumber);

}  // namespace vigilo
