#pragma once
// One run of the program, whichever front end drives it: the steps from the single-instance
// guard to a core that is ready for start-up, and back down at the end. A front end adds only
// where its words go and what it watches.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/context.h"
#include "control/controller.h"
#include "control/startup.h"
#include "notify/notifiers.h"

namespace vigilo {

// What a front end brings to the common steps.
struct FrontEnd {
    // In the start line: "window" makes "(window, pid N)"; empty makes "(pid N)".
    std::string mode;
    // The run's own start and exit lines go to the log file and, when this is set, here too.
    std::function<void(const std::string& line)> say;
    // Remarks for the person (where the events go, a log file that cannot be written); when
    // unset they go to the log file.
    std::function<void(const std::string& text)> note;
    // Called once the context exists, before anything is written to it: the front end's
    // observers of the log, the tables and the events.
    std::function<void(AppContext& ctx)> observe;
};

class ProgramRun {
public:
    // The single-instance guard, the paths, the program directory, the context with its log
    // file and start line, the events' log lines, the controller and the event receivers.
    // Null when another copy runs: the person was told through ui, and nothing was touched.
    static std::unique_ptr<ProgramRun> open(UserInterface& ui, FrontEnd frontEnd);
    // Closes what close() has not, then the context goes: every worker stopped and joined.
    ~ProgramRun();
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    AppContext& context() { return *ctx_; }
    Controller& controller() { return *controller_; }
    // "ntfy, webhook": where the events go; empty when nowhere.
    const std::string& receivers() const { return receivers_; }

    // The receivers go, then the controller closes (every worker asked to stop and joined:
    // about a second, a stop reaches transfers and pauses in flight) and goes. Recorders keep
    // running in their own sessions. A second call does nothing.
    void close();
    // "vigilo exiting: <why>, exit status <code>", to the log file and the front end.
    void sayExit(const std::string& why, int code);

private:
    explicit ProgramRun(FrontEnd frontEnd) : frontEnd_(std::move(frontEnd)) {}
    void say(const std::string& line);
    void note(const std::string& text);

    FrontEnd frontEnd_;
    std::unique_ptr<AppContext> ctx_;
    std::unique_ptr<Controller> controller_;
    std::optional<Notifiers> notifiers_;
    std::string receivers_;
};

// Runs startUp on a thread of ctx's group and hands its result to `done` on that thread; false
// when no thread could be started. Stopping the group (the close, a signal) ends a notice fetch
// in flight within about a second, with the ending Stopped.
bool startUpInBackground(AppContext& ctx, std::string noticeUrl, std::function<void(const StartupResult&)> done);

}  // namespace vigilo
