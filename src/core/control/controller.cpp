#include "control/controller.h"

#include "app/linkfile.h"
#include "text/strings.h"
#include "text/timefmt.h"

namespace vigilo {

namespace {

constexpr const char* kQueryLine = "：查询中，请稍后……\r\n";

}  // namespace

Controller::Controller(AppContext& ctx) : ctx_(ctx), works_(ctx), live_(ctx) {}

Controller::~Controller() {
    ctx_.closing = true;
    ctx_.worksStop = true;
    ctx_.worksRunning = false;
    {
        std::unique_lock lock(closeMutex_);
        if (!closeStarted_) {
            closeStarted_ = true;
            lock.unlock();
            shutDownWork();
        }
    }
    // Threads started for the monitors run their routines on works_ and live_.
    ctx_.threads.waitIdle(AppContext::shutdownBound);
}

void Controller::startWorksMonitor() {
    if (!ctx_.started || ctx_.closing) return;
    ctx_.setStatus("视频监控中……");
    ctx_.worksStop = false;
    ctx_.buttons.setWorks(false, true);
    ctx_.appendLog(logTimestamp() + "：监控开始\r\n");
    ctx_.worksRunning = true;
    works_.startMonitorThread();
}

void Controller::stopWorksMonitor() {
    ctx_.setStatus("视频监控停止");
    ctx_.appendLog(logTimestamp() + "：监控停止\r\n");
    ctx_.worksRunning = false;
    ctx_.buttons.setWorks(true, false);
    ctx_.worksStop = true;
}

void Controller::addAccounts(const std::string& linkText, bool multiMode) {
    if (!ctx_.started || ctx_.closing) return;
    ctx_.appendLog(logTimestamp() + kQueryLine);
    stopWorksMonitor();
    const std::string text = toCrLf(linkText);
    ctx_.startThread([this, text, multiMode] { works_.registerAccounts(text, multiMode); });
    writeLinkFile(ctx_.paths.linkFile1(), text);
}

void Controller::addRooms(const std::string& linkText) {
    if (!ctx_.started || ctx_.closing) return;
    ctx_.appendLog(logTimestamp() + kQueryLine);
    const std::string text = toCrLf(linkText);
    ctx_.startThread([this, text] { roomAddJob(text); });
    writeLinkFile(ctx_.paths.linkFile2(), text);
}

void Controller::roomAddJob(const std::string& linkText) {
    const unsigned generation = ++roomJobGeneration_;
    // Jobs share the registration pool; two at once would close it under each other's posts.
    std::lock_guard jobLock(roomJobMutex_);
    auto superseded = [&] { return generation != roomJobGeneration_ || ctx_.closing; };
    if (superseded()) return;

    ctx_.roomTable.deleteAll();
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

    // Every registration has finished here, so the row count is final: no row means there is
    // nothing to supervise, and waiting for one would never end.
    if (superseded() || ctx_.roomTable.rowCount() == 0) return;
    live_.startSupervisor();
}

void Controller::stopRecording() {
    if (ctx_.closing) return;
    ctx_.startThread([this] { live_.stopRecording(); });
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
    ctx_.startThread([this] { live_.playSelectedRow(); });
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
    // The lock stays: it lives in the context, which outlives every thread that can take it.
    if (!ctx_.startThread([this] { shutDownWork(); })) shutDownWork();
}

void Controller::shutDownWork() {
    live_.stopSupervisor();
    ctx_.roomPollPool.close();
    ctx_.roomRegistrationPool.close();
    ctx_.accountRegistrationPool.close();
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
    if (row >= 0) ctx_.accountTable.deleteRow(row);
}

void Controller::copyAccountCell(int column) {
    ctx_.ui.setClipboard(ctx_.accountTable.cell(ctx_.accountTable.selectedRow(), column));
}

void Controller::clearAccounts() { ctx_.accountTable.deleteAll(); }

void Controller::testCommand() {
    const auto input = ctx_.ui.inputBox("提示", "收入数值");
    if (!input) return;  // cancelled: nothing changes
    const int row = ctx_.accountTable.selectedRow();
    if (row < 0) return;
    ctx_.accountTable.setCell(row, acol::PostCount, *input);
    ctx_.accountTable.setCell(row, acol::NewestDesc, "");
    ctx_.accountTable.setCell(row, acol::NewestId, "");
}

void Controller::copyLatestRoomId() {
    ctx_.ui.setClipboard(ctx_.roomTable.cell(ctx_.roomTable.selectedRow(), rcol::LatestRoomId));
}

}  // namespace vigilo
