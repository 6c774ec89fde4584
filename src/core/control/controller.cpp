#include "control/controller.h"

#include "app/linkfile.h"
#include "notify/testpush.h"
#include "sys/stop.h"
#include "text/strings.h"
#include "text/timefmt.h"

namespace vigilo {

namespace {

constexpr const char* kQueryLine = "：查询中，请稍后……\r\n";

}  // namespace

std::vector<std::string> collectionLines(const Paths& paths, const StopRecordingReport& report) {
    std::vector<std::string> lines;
    for (const auto& name : report.moved)
        lines.push_back("recording saved: " + (paths.collectionDir() / name).string());
    for (const auto& text : report.leftOver) lines.push_back("recording left in place: " + text);
    return lines;
}

namespace {

std::optional<double> keepDays(AppContext& ctx) {
    std::string problem;
    const std::optional<double> days = keepDaysFromEnvironment(&problem);
    if (!problem.empty()) ctx.appendLog(logTimestamp() + "：" + problem + "\r\n");
    return days;
}

}  // namespace

Controller::Controller(AppContext& ctx) : ctx_(ctx), works_(ctx), live_(ctx), retention_(ctx, keepDays(ctx)) {}

Controller::~Controller() {
    // Threads started for the monitors run their routines on works_ and live_: every one is
    // stopped and joined before those go.
    live_.stopSupervisor();
    ctx_.stopWorkers();
}

void Controller::startWorksMonitor() {
    if (!ctx_.started || ctx_.closing) return;
    ctx_.setStatus(StatusBar::Monitor::Works, "视频监控中……");
    ctx_.worksStop = false;
    ctx_.buttons.setWorks(false, true);
    ctx_.appendLog(logTimestamp() + "：监控开始\r\n");
    ctx_.worksRunning = true;
    // The monitor's threads and the polls they start stop with this run: "停止监控" reaches
    // transfers in flight, not only the loop between rows.
    std::stop_token run;
    {
        std::lock_guard lock(worksStopMutex_);
        worksStopSource_ = std::stop_source();
        run = worksStopSource_.get_token();
    }
    if (works_.monitorThreads() == 0) {
        const ScopedStopToken job(run);
        works_.startMonitorThread();
        return;
    }
    // A run still ending carries the previous run's stop, already requested: it must not serve
    // this one (its transfers would fail and its pauses return at once), so this one starts
    // once it has gone.
    ctx_.startThread("startWorksMonitor", [this, run] {
        while (works_.monitorThreads() > 0 && !ctx_.closing && !run.stop_requested()) delay(Millis{10});
        if (ctx_.closing || run.stop_requested()) return;
        const ScopedStopToken job(run);
        works_.startMonitorThread();
    });
}

void Controller::stopWorksMonitor() {
    ctx_.setStatus(StatusBar::Monitor::Works, "视频监控停止");
    ctx_.appendLog(logTimestamp() + "：监控停止\r\n");
    ctx_.worksRunning = false;
    ctx_.buttons.setWorks(true, false);
    ctx_.worksStop = true;
    std::lock_guard lock(worksStopMutex_);
    worksStopSource_.request_stop();
}

void Controller::addAccounts(const std::string& linkText, bool multiMode) {
    if (!ctx_.started || ctx_.closing) return;
    ctx_.appendLog(logTimestamp() + kQueryLine);
    stopWorksMonitor();
    const std::string text = toCrLf(linkText);
    ctx_.startThread("registerAccounts", [this, text, multiMode] { works_.registerAccounts(text, multiMode); });
    writeLinkFile(ctx_.paths.linkFile1(), text);
}

void Controller::addRooms(const std::string& linkText) {
    if (!ctx_.started || ctx_.closing) return;
    ctx_.appendLog(logTimestamp() + kQueryLine);
    const std::string text = toCrLf(linkText);
    ctx_.startThread("roomAddJob", [this, text] { roomAddJob(text); });
    writeLinkFile(ctx_.paths.linkFile2(), text);
}

void Controller::roomAddJob(const std::string& linkText) {
    const unsigned generation = ++roomJobGeneration_;
    // Jobs share the registration pool; two at once would close it under each other's posts.
    std::lock_guard jobLock(roomJobMutex_);
    auto superseded = [&] { return generation != roomJobGeneration_ || ctx_.closing; };
    if (superseded()) return;

    live_.clearRooms();
    live_.forgetUnansweredLinks();
    const std::vector<std::string> lines = splitCrLf(toCrLf(linkText));
    // The rows follow the links' order whatever order the look-ups finish in.
    auto order = std::make_shared<RowOrder>();
    ctx_.roomRegistrationPool.create([this, order](const TaskArgs& args) {
        if (args.size() >= 2) live_.registerRoom(args[0], order.get(), static_cast<int>(textToNumber(args[1])));
    });
    for (size_t i = 0; i < lines.size() && !superseded(); ++i) {
        ctx_.roomRegistrationPool.post({lines[i], std::to_string(i + 1)});
        delay(ctx_.pacing.roomPostGap);
    }
    ctx_.roomRegistrationPool.close();

    // Every registration has finished here, so the row count is final: no row, and no link
    // waiting for an answer, means there is nothing to supervise.
    if (superseded() || (ctx_.roomTable.rowCount() == 0 && !live_.hasUnansweredLinks())) return;
    live_.startSupervisor();
}

void Controller::stopRecording() {
    if (ctx_.closing) return;
    ctx_.startThread("stopRecording", [this] {
        for (const auto& line : collectionLines(ctx_.paths, live_.stopRecording())) ctx_.log.record(line);
    });
}

void Controller::resumeRecording() {
    if (!ctx_.started || ctx_.closing) return;
    // The supervisor starts on its own thread; resuming never waits here.
    live_.resumeRecording();
}

void Controller::setLivePeriod(int minutes) {
    if (ctx_.closing) return;
    live_.setPeriod(minutes);
}

void Controller::playSelectedRow() {
    if (ctx_.closing) return;
    ctx_.startThread("playSelectedRow", [this] { live_.playSelectedRow(); });
}

void Controller::setNotifyOnly(const std::string& roomId, bool on) {
    if (roomId.empty()) return;
    ctx_.settings.setNotifyOnly(roomId, on);
    ctx_.appendLog(roomId + (on ? "：开播时只提醒，不录制\r\n" : "：开播时录制\r\n"));
}

void Controller::setRoomQuality(const std::string& roomId, std::optional<RecordQuality> quality) {
    if (roomId.empty()) return;
    ctx_.settings.setRoomQuality(roomId, quality);
    ctx_.appendLog(roomId + "：录制画质 " + (quality ? std::string(qualityCaption(*quality)) : "同全部房间") + "\r\n");
}

void Controller::setQuality(RecordQuality quality) {
    ctx_.settings.setQuality(quality);
    ctx_.appendLog("全部房间的录制画质：" + std::string(qualityCaption(quality)) + "\r\n");
}

void Controller::setSplitMinutes(int minutes) {
    ctx_.settings.setSplitMinutes(minutes);
    const int kept = ctx_.settings.splitMinutes();
    ctx_.appendLog(kept > 0 ? "分段录制：每" + std::to_string(kept) + "分钟一段\r\n"
                            : std::string("分段录制：不分段\r\n"));
}

void Controller::closeProgram() {
    ctx_.closing = true;
    ctx_.worksStop = true;
    ctx_.worksRunning = false;
    {
        std::lock_guard lock(closeMutex_);
        if (closeStarted_) return;
        closeStarted_ = true;
    }
    live_.stopSupervisor();
    // Work in flight (transfers, pauses, waits on a child's output) ends within about a second;
    // recorders are let go, not stopped. The pools are shut down on a thread of their own, as
    // that waits for their tasks to end.
    ctx_.threads.requestStop();
    closer_ = std::jthread([this] { shutDownWork(); });
}

void Controller::shutDownWork() {
    for (WorkerPool* pool : {&ctx_.roomPollPool, &ctx_.roomRegistrationPool, &ctx_.accountRegistrationPool})
        pool->shutDown();
    ctx_.threads.waitIdle(std::chrono::hours(24));
    std::lock_guard lock(closeMutex_);
    closeDone_ = true;
    closed_.notify_all();
}

bool Controller::waitClosed(std::chrono::milliseconds bound) {
    std::unique_lock lock(closeMutex_);
    return closed_.wait_for(lock, bound, [this] { return closeDone_; });
}

void Controller::viewLiveRoom() {
    const std::string page = live_.selectedRoomPage();
    if (!page.empty()) ctx_.ui.openUrl(page);
}

void Controller::deleteSelectedAccount() {
    const int row = ctx_.accountTable.selectedRow();
    if (row >= 0) works_.deleteRow(row);
}

void Controller::copyAccountCell(int column) {
    ctx_.ui.setClipboard(ctx_.accountTable.cell(ctx_.accountTable.selectedRow(), column));
}

void Controller::clearAccounts() { works_.clearRows(); }

void Controller::testCommand() {
    const auto input = ctx_.ui.inputBox("提示", "收入数值");
    if (!input) return;  // cancelled: nothing changes
    const int row = ctx_.accountTable.selectedRow();
    if (row < 0) return;
    works_.testCommand(row, *input);
}

void Controller::copyLatestRoomId() {
    ctx_.ui.setClipboard(ctx_.roomTable.cell(ctx_.roomTable.selectedRow(), rcol::LatestRoomId));
}

void Controller::testNotify() {
    if (ctx_.closing) return;
    startNotifyTest(ctx_, NotifyConfig::fromEnvironment());
}

}  // namespace vigilo
