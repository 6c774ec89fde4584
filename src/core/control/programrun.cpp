#include "control/programrun.h"

#include <unistd.h>

#include "app/guard.h"
#include "notify/format.h"

namespace vigilo {

std::unique_ptr<ProgramRun> ProgramRun::open(UserInterface& ui, FrontEnd frontEnd) {
    // A second copy says so and ends before it touches the network or the disk.
    if (!guardSingleInstance(ui, "", "软件已启动！")) return nullptr;
    std::unique_ptr<ProgramRun> run(new ProgramRun(std::move(frontEnd)));

    Paths paths = Paths::detect();
    enterProgramDirectory(paths);
    run->ctx_ =
        std::make_unique<AppContext>(std::move(paths), Pacing::fromEnvironment(), Endpoints::fromEnvironment(), ui);
    AppContext& ctx = *run->ctx_;
    if (run->frontEnd_.observe) run->frontEnd_.observe(ctx);
    if (!ctx.log.setFile(ctx.paths.logFile())) run->note("cannot write " + ctx.paths.logFile().string());
    const std::string mode = run->frontEnd_.mode.empty() ? "" : run->frontEnd_.mode + ", ";
    run->say("vigilo " + ownVersion() + " starting (" + mode + "pid " + std::to_string(::getpid()) +
             "): data directory " + ctx.paths.dataDir.string());
    recordEvents(ctx.events, ctx.log);
    run->controller_ = std::make_unique<Controller>(ctx);

    if (const auto config = NotifyConfig::fromEnvironment(); config.any()) {
        run->notifiers_.emplace(
            ctx.events, config, [&ctx](const std::string& line) { ctx.appendLog(line); },
            [&ctx](const std::string& line) { ctx.log.record(line); });
        for (const auto& name : run->notifiers_->names())
            run->receivers_ += (run->receivers_.empty() ? "" : ", ") + name;
        run->note("events go to: " + run->receivers_);
    }
    return run;
}

ProgramRun::~ProgramRun() {
    close();
    ctx_.reset();
}

void ProgramRun::close() {
    notifiers_.reset();
    if (!controller_) return;
    controller_->closeProgram();
    controller_.reset();
}

void ProgramRun::sayExit(const std::string& why, int code) {
    say("vigilo exiting: " + why + ", exit status " + std::to_string(code));
}

void ProgramRun::say(const std::string& line) {
    if (frontEnd_.say) frontEnd_.say(line);
    if (ctx_) ctx_->log.record(line);
}

void ProgramRun::note(const std::string& text) {
    if (frontEnd_.note)
        frontEnd_.note(text);
    else if (ctx_)
        ctx_->log.record(text);
}

bool startUpInBackground(AppContext& ctx, std::string noticeUrl, std::function<void(const StartupResult&)> done) {
    return ctx.startThread("startUp",
                           [&ctx, url = std::move(noticeUrl), done = std::move(done)] { done(startUp(ctx, url)); });
}

}  // namespace vigilo
