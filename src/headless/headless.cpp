// The terminal front end. It drives the same core as the window and adds only I/O: what the
// window would show is printed, and the tables can be mirrored into a JSON file.
//
// The main thread plays the window's part: it runs the handlers and is the only thread that
// prints. Everything else (core observers, message boxes, signals, helper threads) only queues
// an event and wakes it through a pipe, so no worker ever blocks on a slow terminal.
#include "headless/headless.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/context.h"
#include "app/linkfile.h"
#include "control/controller.h"
#include "control/programrun.h"
#include "control/startup.h"
#include "headless/options.h"
#include "headless/terminal.h"
#include "net/download.h"
#include "notify/format.h"
#include "notify/notifiers.h"
#include "notify/testpush.h"
#include "sys/unique_fd.h"
#include "text/strings.h"
#include "text/timefmt.h"
#include "web/server.h"

namespace vigilo {
namespace headless {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// At most this often the status file is rewritten, however fast the cells change.
constexpr milliseconds kStatusInterval{250};
// How long the works monitor waits for the initial account queries before it starts anyway.
constexpr milliseconds kWorksStartBound{60000};
// How long the events of the last moments may take to reach their receivers at exit.
constexpr milliseconds kEventFlushBound{10000};

// Both ends close on exec, so recorders and players never inherit them.
struct Pipe {
    UniqueFd read, write;
    static std::optional<Pipe> open() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return std::nullopt;
        return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
    }
};

void drainFd(int fd, std::vector<unsigned char>* into = nullptr) {
    unsigned char buffer[256];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            if (into) into->insert(into->end(), buffer, buffer + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return;  // empty (EAGAIN) or closed
    }
}

// ---------------------------------------------------------------------------------------------
// Events from other threads to the main thread

class EventQueue {
public:
    explicit EventQueue(Pipe wake) : wake_(std::move(wake)) {}

    // Safe under any core lock: takes only the queue's own mutex and writes a non-blocking pipe.
    void push(Output event) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(std::move(event));
        }
        if (!wakePending_.exchange(true)) {
            const char byte = 1;
            [[maybe_unused]] const ssize_t n = ::write(wake_.write.get(), &byte, 1);
        }
    }

    std::vector<Output> take() {
        drainFd(wake_.read.get());
        wakePending_ = false;
        std::vector<Output> out;
        std::lock_guard lock(mutex_);
        out.swap(events_);
        return out;
    }

    int fd() const { return wake_.read.get(); }

private:
    Pipe wake_;
    std::mutex mutex_;
    std::vector<Output> events_;
    std::atomic<bool> wakePending_{false};
};

// Nobody can click: message boxes are printed and never wait, input boxes are cancelled.
class HeadlessUserInterface final : public UserInterface {
public:
    explicit HeadlessUserInterface(EventQueue& queue) : queue_(queue) {}

    void messageBox(const std::string& text, const std::string& caption, MessageIcon) override {
        Output event;
        event.kind = Output::Kind::Message;
        event.text = text;
        event.caption = caption;
        queue_.push(std::move(event));
    }
    std::optional<std::string> inputBox(const std::string& prompt, const std::string& title) override {
        pushNote("input box '" + title + "' (" + prompt + ") cancelled: no input without a window");
        return std::nullopt;
    }
    void setClipboard(const std::string& text) override { pushNote("clipboard: " + text); }
    void openFile(const std::string& path) override { pushNote("open: " + path); }
    void openUrl(const std::string& url) override { pushNote("open: " + url); }

private:
    void pushNote(std::string text) {
        Output event;
        event.kind = Output::Kind::Note;
        event.text = std::move(text);
        queue_.push(std::move(event));
    }

    EventQueue& queue_;
};

// ---------------------------------------------------------------------------------------------
// Signals: the handler only writes the signal number into a pipe.

int gSignalFd = -1;

extern "C" void onTerminationSignal(int signo) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] const ssize_t n = ::write(gSignalFd, &byte, 1);
    errno = saved;
}

bool installSignalHandlers(int writeFd) {
    gSignalFd = writeFd;
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

// Only for a second signal and a broken event loop: the person asked to end at once, or
// nothing can be waited for any more.
[[noreturn]] void exitNow(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    // Workers may be inside the core; running destructors under them is what must not happen.
    // Their unfinished downloads go, though: nothing would ever finish those files.
    removeOpenPartFiles();
    std::_Exit(code);
}

// ---------------------------------------------------------------------------------------------
// --notify-test

int runNotifyTest() {
    const NotifyConfig config = NotifyConfig::fromEnvironment();
    if (!config.any()) {
        note("no event receiver is set: set VIGILO_NOTIFY_URL, VIGILO_WEBHOOK_URL or VIGILO_ON_EVENT");
        return kExitNotStarted;
    }
    bool all = true;
    for (const TestDelivery& delivery : sendTestEvent(config)) {
        printOut(testDeliveryLine(delivery) + "\n");
        all = all && delivery.report.arrived;
    }
    std::fflush(stdout);
    return all ? 0 : kExitNotStarted;
}

// What the core shows reaches the main thread as events of the queue; returns the event
// subscription, which must end before the queue does.
int observe(AppContext& ctx, EventQueue& queue) {
    ctx.log.addObserver([&queue](const std::string& appended) {
        Output event;
        event.kind = Output::Kind::Log;
        event.text = appended;
        queue.push(std::move(event));
    });
    ctx.status.addObserver([&queue](int part, const std::string& text) {
        Output event;
        event.kind = Output::Kind::Status;
        event.part = part;
        event.text = text;
        queue.push(std::move(event));
    });
    const int subscription = ctx.events.subscribe(
        [&queue](const Event& e) {
            Output event;
            event.kind = Output::Kind::Event;
            event.text = eventLine(e);
            queue.push(std::move(event));
        },
        "terminal");
    int index = 0;
    for (TableStore* table : {&ctx.accountTable, &ctx.roomTable}) {
        table->addObserver([&queue, index](const TableChange& change) {
            Output event;
            event.kind = Output::Kind::Table;
            event.table = index;
            event.change = change;
            queue.push(std::move(event));
        });
        ++index;
    }
    return subscription;
}

// ---------------------------------------------------------------------------------------------
// One headless run, from the open core to the exit code

class Session {
public:
    Session(const Options& options, std::string accountsOverride, std::string roomsOverride, EventQueue& queue,
            ProgramRun& run, int eventPrinter, int signalFd)
        : options_(options),
          accountsOverride_(std::move(accountsOverride)),
          roomsOverride_(std::move(roomsOverride)),
          queue_(queue),
          signalFd_(signalFd),
          run_(run),
          ctx_(run.context()),
          controller_(run.controller()),
          printer_(ctx_.accountTable, ctx_.roomTable, options.verbose),
          eventPrinter_(eventPrinter) {}

    ~Session() {
        web_.reset();
        ctx_.events.unsubscribe(eventPrinter_);
        for (std::thread* t : {&stopThread_, &closerThread_})
            if (t->joinable()) t->join();
    }

    int run() {
        for (const auto& room : options_.recordRooms) {
            ctx_.settings.setNotifyOnly(room, false);
            note("room " + room + ": recorded when live");
        }
        for (const auto& room : options_.notifyOnlyRooms) {
            ctx_.settings.setNotifyOnly(room, true);
            note("room " + room + ": alerts only, no recording");
        }
        if (options_.quality) ctx_.settings.setQuality(*options_.quality);
        if (options_.splitMinutes) ctx_.settings.setSplitMinutes(*options_.splitMinutes);
        if (!startWeb()) return kExitUsage;
        std::fflush(stderr);
        const bool started = startUpInBackground(ctx_, noticeUrlFromEnvironment(), [this](const StartupResult& result) {
            startup_ = result;
            push(Output::Kind::StartupDone);
        });
        if (!started) exitAt(kExitNotStarted, "start-up could not begin");

        while (!exitCode_) {
            const auto now = Clock::now();
            pollfd fds[2] = {{signalFd_, POLLIN, 0}, {queue_.fd(), POLLIN, 0}};
            const int timeout = static_cast<int>(nextTimeout(now).count());
            if (::poll(fds, 2, timeout) < 0 && errno != EINTR) {
                note(std::string("poll failed: ") + std::strerror(errno));
                exitAt(kExitNotStarted, "the event loop failed");
            }
            if (fds[0].revents & POLLIN) {
                std::vector<unsigned char> signals;
                drainFd(signalFd_, &signals);
                for (unsigned char signo : signals) onSignal(signo);
            }
            handleEvents();
            tick(Clock::now());
            std::fflush(stdout);
            std::fflush(stderr);
        }
        return finish();
    }

private:
    enum class Phase { StartingUp, Running, Stopping, Closing };

    // A line for the terminal and the log file both: the program's own start and end.
    void say(const std::string& line) {
        printOut(line + "\n");
        ctx_.log.record(line);
    }

    [[noreturn]] void exitAt(int code, const std::string& why) {
        run_.sayExit(why, code);
        exitNow(code);
    }

    void push(Output::Kind kind) {
        Output event;
        event.kind = kind;
        queue_.push(std::move(event));
    }

    void handleEvents() {
        for (const Output& event : queue_.take()) {
            switch (event.kind) {
                case Output::Kind::StartupDone: onStartupDone(); break;
                case Output::Kind::StopDone: onStopDone(); break;
                case Output::Kind::Closed: onClosed(); break;
                case Output::Kind::Call:
                    if (event.call) event.call();
                    break;
                default:
                    // The status bar's words include the service's refusal, which the file shows.
                    if (printer_.print(event) || event.kind == Output::Kind::Status) statusDirty_ = true;
            }
        }
    }

    void onSignal(int signo) {
        const char* name = signo == SIGINT ? "SIGINT" : signo == SIGTERM ? "SIGTERM" : "signal";
        ++signals_;
        if (phase_ == Phase::StartingUp) {
            // Nothing runs yet but the notice fetch; the stop ends it within about a second.
            if (signals_ > 1) exitAt(0, std::string(name) + " again during start-up");
            note(std::string(name) + " during start-up: exiting (a second signal exits at once)");
            exitWhy_ = std::string(name) + " during start-up";
            startupInterrupted_ = true;
            // Only start-up runs on the group yet.
            ctx_.threads.requestStop();
            return;
        }
        if (signals_ == 1 && phase_ == Phase::Running) {
            beginStop(name);
            return;
        }
        handleEvents();
        printer_.finish();
        note(std::string(name) + " while stopping: exiting now; running recorders keep recording");
        writeStatus();
        exitAt(128 + signo, std::string(name) + " while stopping (recorders left running)");
    }

    void onStartupDone() {
        if (startupInterrupted_) {
            exitCode_ = 0;
            return;
        }
        switch (startup_.ending) {
            case StartupEnding::Normal: break;
            case StartupEnding::Stopped:
                note("start-up ended by the update notice");
                exitWhy_ = "start-up ended by the update notice";
                exitCode_ = kExitNotStarted;
                return;
            case StartupEnding::NoVersion:
                note("the update notice gives no version: exiting");
                exitWhy_ = "the update notice gives no version";
                exitCode_ = kExitNotStarted;
                return;
            case StartupEnding::Update:
                note("a newer build is announced; the headless mode does not update itself");
                exitWhy_ = "a newer build is announced";
                // One line, whatever the notice holds: a line feed in it is shown, not obeyed.
                printErr("更新软件地址：" + visibleControls(startup_.notice.updateAddress) + "\n");
                exitCode_ = kExitUpdate;
                return;
        }

        const std::string accounts = options_.accountsFile.empty() ? startup_.linkBox1 : accountsOverride_;
        const std::string rooms = options_.roomsFile.empty() ? startup_.linkBox2 : roomsOverride_;
        expectedAccounts_ = static_cast<int>(splitCrLf(toCrLf(accounts)).size());
        const bool anyRoom = !splitCrLf(toCrLf(rooms)).empty();
        if (expectedAccounts_ == 0 && !anyRoom) {
            note("nothing to watch: put account share links into " + ctx_.paths.linkFile1().string() +
                 " (or pass --accounts FILE) and room share links into " + ctx_.paths.linkFile2().string() +
                 " (or pass --rooms FILE)");
            exitWhy_ = "nothing to watch";
            exitCode_ = kExitNotStarted;
            return;
        }
        const int roomLinks = static_cast<int>(splitCrLf(toCrLf(rooms)).size());
        say("watching " + std::to_string(expectedAccounts_) + (expectedAccounts_ == 1 ? " account" : " accounts") +
            " and " + std::to_string(roomLinks) + (roomLinks == 1 ? " room" : " rooms") +
            (run_.receivers().empty() ? "; no event receiver" : "; events go to: " + run_.receivers()));

        phase_ = Phase::Running;
        statusDirty_ = true;
        lastStatusWrite_ = Clock::time_point{};
        if (options_.durationSeconds) {
            deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(*options_.durationSeconds));
        }
        if (expectedAccounts_ > 0) {
            controller_.addAccounts(accounts, true);
            worksPending_ = true;
            worksBound_ = Clock::now() + kWorksStartBound;
        }
        if (options_.livePeriodMinutes) controller_.setLivePeriod(*options_.livePeriodMinutes);
        if (anyRoom) controller_.addRooms(rooms);
    }

    // The works monitor starts once the first queries are in, whether or not they succeeded
    // (a row whose query failed is queried again by the monitor's cycles).
    void startWorksWhenReady(Clock::time_point now) {
        const int rows = ctx_.accountTable.rowCount();
        const bool filled = rows >= expectedAccounts_ && controller_.works().queriesInFlight() == 0;
        if (!filled) {
            if (now < worksBound_ || rows == 0) return;
            note("some accounts are still being queried; starting the works monitor anyway");
        }
        worksPending_ = false;
        controller_.startWorksMonitor();
    }

    void beginStop(const std::string& why) {
        exitWhy_ = why;
        phase_ = Phase::Stopping;
        worksPending_ = false;
        note(why + ": 停止录制, then closing (a second signal exits at once)");
        std::fflush(stderr);
        // The room polls in flight would hold 停止录制 for as long as a dead host keeps them.
        ctx_.roomPollPool.stopTasks();
        stopThread_ = std::thread([this] {
            stopReport_ = controller_.live().stopRecording();
            push(Output::Kind::StopDone);
        });
    }

    void onStopDone() {
        stopThread_.join();
        for (const auto& line : collectionLines(ctx_.paths, stopReport_)) say(line);
        phase_ = Phase::Closing;
        controller_.closeProgram();
        // Every worker was asked to stop: the wait is about a second even with transfers
        // in flight. A second signal still exits at once.
        closerThread_ = std::thread([this] {
            controller_.waitClosed(std::chrono::hours(24));
            push(Output::Kind::Closed);
        });
    }

    void onClosed() {
        closerThread_.join();
        exitCode_ = 0;
    }

    void tick(Clock::time_point now) {
        if (phase_ == Phase::Running) {
            if (worksPending_) startWorksWhenReady(now);
            if (deadline_ && now >= *deadline_) beginStop("--duration reached");
        }
        if (phase_ != Phase::StartingUp && statusDirty_ && now - lastStatusWrite_ >= kStatusInterval) writeStatus();
    }

    milliseconds nextTimeout(Clock::time_point now) const {
        milliseconds wait{1000};
        auto until = [&](Clock::time_point when) {
            wait = std::min(wait, std::max(milliseconds{0},
                                           std::chrono::duration_cast<milliseconds>(when - now) + milliseconds{1}));
        };
        if (phase_ == Phase::Running) {
            if (worksPending_) wait = std::min(wait, milliseconds{100});
            if (deadline_) until(*deadline_);
        }
        if (phase_ != Phase::StartingUp && statusDirty_) until(lastStatusWrite_ + kStatusInterval);
        return wait;
    }

    void writeStatus() {
        if (options_.statusJson.empty()) return;
        statusDirty_ = false;
        lastStatusWrite_ = Clock::now();
        const bool ok = writeFileAtomically(options_.statusJson, statusJson(ctx_.accountTable, ctx_.roomTable));
        if (!ok && !statusFailed_) note("cannot write " + options_.statusJson);
        statusFailed_ = !ok;
    }

    // The web page's actions reach the controller as events of this loop, like a click.
    bool startWeb() {
        std::string error;
        const auto config = web::webConfigFromEnvironment(options_.web, error);
        if (!config) {
            if (error.empty()) return true;
            note(error);
            return false;
        }
        web_ = std::make_unique<web::WebServer>(
            controller_,
            [this](std::function<void()> call) {
                Output event;
                event.kind = Output::Kind::Call;
                event.call = std::move(call);
                queue_.push(std::move(event));
            },
            *config);
        if (!web_->start(error)) {
            note("web page: " + error);
            return false;
        }
        ctx_.appendLog(logTimestamp() + "：" + web_->startLine() + "\r\n");
        return true;
    }

    int finish() {
        if (web_) web_->stop();
        // The last recordings' events reach the terminal and the receivers, within a bound.
        ctx_.events.flush(kEventFlushBound);
        handleEvents();
        printer_.finish();
        if (phase_ != Phase::StartingUp) writeStatus();
        run_.sayExit(exitWhy_, *exitCode_);
        std::fflush(stdout);
        std::fflush(stderr);
        return *exitCode_;
    }

    const Options& options_;
    const std::string accountsOverride_;
    const std::string roomsOverride_;
    EventQueue& queue_;
    const int signalFd_;

    ProgramRun& run_;
    AppContext& ctx_;
    Controller& controller_;
    Printer printer_;
    std::unique_ptr<web::WebServer> web_;
    const int eventPrinter_;
    std::string exitWhy_ = "stopped";

    Phase phase_ = Phase::StartingUp;
    std::optional<int> exitCode_;
    int signals_ = 0;
    StartupResult startup_;
    StopRecordingReport stopReport_;
    bool startupInterrupted_ = false;

    int expectedAccounts_ = 0;
    bool worksPending_ = false;
    Clock::time_point worksBound_{};
    std::optional<Clock::time_point> deadline_;

    bool statusDirty_ = false;
    bool statusFailed_ = false;
    Clock::time_point lastStatusWrite_{};

    std::thread stopThread_;
    std::thread closerThread_;
};

}  // namespace
}  // namespace headless

int runHeadless(int argc, char** argv) {
    using namespace headless;
    Options options;
    if (const std::string error = parseOptions(argc, argv, options); !error.empty()) {
        note(error + " (see --help)");
        return kExitUsage;
    }
    if (options.help) {
        printOut(kUsage);
        return 0;
    }
    if (options.version) {
        printOut("vigilo " + ownVersion() + "\n");
        return 0;
    }
    // Beside a running copy too: it asks the receivers, not the service.
    if (options.notifyTest) return runNotifyTest();

    // Paths from the command line are taken before the program enters its own directory.
    std::string accounts, rooms;
    std::string error;
    for (auto [file, text] : {std::pair{&options.accountsFile, &accounts}, std::pair{&options.roomsFile, &rooms}}) {
        if (file->empty()) continue;
        const auto list = readLinkList(fs::absolute(*file), error);
        if (!list) {
            note(error);
            return kExitNotStarted;
        }
        *text = *list;
    }
    if (!options.statusJson.empty()) options.statusJson = fs::absolute(options.statusJson).string();

    auto signalPipe = Pipe::open();
    auto wakePipe = Pipe::open();
    if (!signalPipe || !wakePipe || !installSignalHandlers(signalPipe->write.get())) {
        note(std::string("cannot set up signal handling: ") + std::strerror(errno));
        return kExitNotStarted;
    }
    EventQueue queue(std::move(*wakePipe));
    HeadlessUserInterface ui(queue);

    auto printQueued = [&] {
        Printer printer{TableStore("", {}), TableStore("", {})};
        for (const Output& event : queue.take()) printer.print(event);
        std::fflush(stderr);
    };
    int eventPrinter = 0;
    FrontEnd frontEnd;
    frontEnd.say = [](const std::string& line) { printOut(line + "\n"); };
    frontEnd.note = [](const std::string& text) { note(text); };
    frontEnd.observe = [&](AppContext& ctx) { eventPrinter = observe(ctx, queue); };
    const auto run = ProgramRun::open(ui, std::move(frontEnd));
    if (!run) {
        printQueued();
        return 0;
    }

    Session session(options, std::move(accounts), std::move(rooms), queue, *run, eventPrinter, signalPipe->read.get());
    return session.run();
}

}  // namespace vigilo
