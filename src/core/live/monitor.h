#pragma once
// The live monitor: room registration, the poll supervisor, recorders and the collection of
// finished recordings.
#include <string>
#include <vector>

#include "app/context.h"
#include "text/jsondoc.h"

namespace vigilo {

struct StopRecordingReport {
    std::vector<std::string> moved;     // file names now in download/
    std::vector<std::string> leftOver;  // file names that stayed behind, with the reason
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
    void pollRooms();
    void pollRoom(int rowNumber);

    void startRecording(const std::string& streamUrl, const std::string& nickname,
                        const std::string& rowText);
    void playSelectedRow();
    // Blocking: run off the UI thread. Status text, poll pool closed, recorders asked to quit
    // (bounded escalation), recordings moved into download/.
    StopRecordingReport stopRecording();

    int runningRecorders() const;

private:
    AppContext& ctx_;
};

// Loopback port of a row: "111" + row for rows 1..99, 11100 + row from row 100 on.
int recorderPort(int rowNumber);

}  // namespace vigilo
