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
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/context.h"
#include "app/guard.h"
#include "app/linkfile.h"
#include "app/paths.h"
#include "app/record.h"
#include "control/controller.h"
#include "control/startup.h"
#include "net/download.h"
#include "notify/format.h"
#include "notify/notifiers.h"
#include "notify/testpush.h"
#include "text/charset.h"
#include "text/strings.h"
#include "text/timefmt.h"
#include "sys/stop.h"
#include "sys/unique_fd.h"
#include "web/server.h"

namespace vigilo {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kExitUsage = 2;
constexpr int kExitNotStarted = 1;
constexpr int kExitUpdate = 3;

// At most this often the status file is rewritten, however fast the cells change.
constexpr milliseconds kStatusInterval{250};
// How long the works monitor waits for the initial account queries before it starts anyway.
constexpr milliseconds kWorksStartBound{60000};
// How long the events of the last moments may take to reach their receivers at exit.
constexpr milliseconds kEventFlushBound{10000};

const char* const kUsage =
    "Usage: vigilo [--headless] [OPTION]...\n"
    "Watches Douyin creators: downloads each new post's video and records live rooms.\n"
    "Without options the window opens; --headless (or any option below) runs the same\n"
    "monitors in the terminal, printing the activity log (without the countdown, and an\n"
    "account's report only when its counter changed), the events (new posts, rooms going\n"
    "live, recordings), message boxes, and the program's start and exit; --verbose prints\n"
    "every log line and also the status bar and every table change.\n"
    "\n"
    "  --headless            run without a window\n"
    "  --accounts FILE       account share links, one per line (UTF-8 or GBK), instead of\n"
    "                        文件1.txt in the data directory\n"
    "  --rooms FILE          live-room share links, instead of 文件2.txt\n"
    "  --status-json FILE    keep FILE updated with both tables as JSON\n"
    "  --duration SECONDS    stop recording and exit after SECONDS\n"
    "  --live-period 5|10|30|off\n"
    "                        minutes between two passes of the live monitor, or no passes\n"
    "                        (kept in settings.json like the window's 监控周期)\n"
    "  --notify-only ROOM_ID alert when the room goes live without recording it; kept in\n"
    "                        settings.json (repeatable)\n"
    "  --record ROOM_ID      record the room again when it goes live (undoes\n"
    "                        --notify-only; repeatable)\n"
    "  --quality default|origin|hd|sd|smooth|audio\n"
    "                        what every room is recorded in (默认, 原画, 高清, 标清, 流畅,\n"
    "                        仅音频), the next lower listed quality when it is missing;\n"
    "                        kept in settings.json\n"
    "  --split-minutes N|off cut recordings into parts of N minutes (1..1440), each\n"
    "                        playable on its own; kept in settings.json\n"
    "  --verbose             also print the status bar, every table change, the\n"
    "                        works monitor's countdown and its unchanged reports\n"
    "  --notify-test         send one test event to every receiver (VIGILO_NOTIFY_URL,\n"
    "                        VIGILO_WEBHOOK_URL, VIGILO_ON_EVENT), print whether each\n"
    "                        got it, and exit (0: all did)\n"
    "  --web [ADDR:]PORT     serve the web page and its API (a bare port: 127.0.0.1)\n"
    "  --help                show this help and exit\n"
    "  --version             show the version and exit\n"
    "\n"
    "SIGINT or SIGTERM runs 停止录制 and exits once the recorders have finished their files;\n"
    "a second signal exits at once and leaves the recorders running.\n"
    "Exit codes: 0 stopped on request, 1 start-up ended by the notice or nothing to watch,\n"
    "2 bad arguments, 3 a newer build is announced.\n"
    "\n"
    "Environment: VIGILO_HOME, VIGILO_ACCOUNT_ENDPOINT, VIGILO_LIVE_ENDPOINT,\n"
    "VIGILO_NOTICE_URL, VIGILO_FFMPEG, VIGILO_INSECURE_TLS, VIGILO_PACING_SCALE,\n"
    "VIGILO_NOTIFY_URL, VIGILO_WEBHOOK_URL, VIGILO_ON_EVENT, VIGILO_ANSWER_BUDGET_MB,\n"
    "VIGILO_MAX_VIDEO_MB, VIGILO_MIN_FREE_MB, VIGILO_STALL_SECONDS, VIGILO_MAX_DOWNLOADS,\n"
    "VIGILO_WEB, VIGILO_WEB_CERT, VIGILO_WEB_KEY, VIGILO_WEB_HOSTS.\n";


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

// Everything printed goes through here: the line feeds the program puts between lines stay,
// every other control character is shown escaped, so no text (a nickname, a message, an
// address) can drive the user's terminal.
std::string forTerminal(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    for (;;) {
        const std::size_t end = text.find('\n', from);
        out += visibleControls(text.substr(from, end == std::string_view::npos ? std::string_view::npos : end - from));
        if (end == std::string_view::npos) return out;
        out += '\n';
        from = end + 1;
    }
}

void printTo(std::FILE* stream, const std::string& text) {
    const std::string shown = forTerminal(text);
    std::fwrite(shown.data(), 1, shown.size(), stream);
}
void printOut(const std::string& text) { printTo(stdout, text); }
void printErr(const std::string& text) { printTo(stderr, text); }
void note(const std::string& text) { printErr("vigilo: " + text + "\n"); }

// Line ends of the core's texts (CR LF) as the terminal's.
std::string toLf(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}


// ---------------------------------------------------------------------------------------------
// Command line

struct Options {
    bool help = false;
    bool version = false;
    std::string accountsFile;  // empty: the link-box file
    std::string roomsFile;
    std::string statusJson;  // empty: none
    std::optional<double> durationSeconds;
    std::optional<int> livePeriodMinutes;  // 0: passes paused
    bool verbose = false;
    bool notifyTest = false;
    std::vector<std::string> notifyOnlyRooms;
    std::vector<std::string> recordRooms;
    std::optional<RecordQuality> quality;
    std::optional<int> splitMinutes;  // 0: one file
    std::string web;  // empty: VIGILO_WEB decides
};

// Returns the error text, or "" when the arguments are fine.
std::string parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string name = arg;
        std::string value;
        bool inlineValue = false;
        if (startsWith(arg, "--")) {
            const auto eq = arg.find('=');
            if (eq != std::string::npos) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
                inlineValue = true;
            }
        }
        auto flag = [&](bool& target) -> std::string {
            if (inlineValue) return "option " + name + " takes no value";
            target = true;
            return "";
        };
        auto withValue = [&](std::string& target) -> std::string {
            if (!inlineValue) {
                if (i + 1 >= argc) return "option " + name + " needs a value";
                value = argv[++i];
            }
            if (value.empty()) return "option " + name + " needs a non-empty value";
            target = value;
            return "";
        };

        std::string error;
        bool ignored = false;
        if (name == "--headless") {
            error = flag(ignored);
        } else if (name == "--help" || name == "-h") {
            error = flag(options.help);
        } else if (name == "--version") {
            error = flag(options.version);
        } else if (name == "--accounts") {
            error = withValue(options.accountsFile);
        } else if (name == "--rooms") {
            error = withValue(options.roomsFile);
        } else if (name == "--status-json") {
            error = withValue(options.statusJson);
        } else if (name == "--web") {
            error = withValue(options.web);
            if (error.empty() && !web::parseWebAddress(options.web, error)) error = "option --web: " + error;
        } else if (name == "--verbose") {
            error = flag(options.verbose);
        } else if (name == "--notify-test") {
            error = flag(options.notifyTest);
        } else if (name == "--notify-only" || name == "--record") {
            std::string room;
            error = withValue(room);
            if (error.empty() && !std::all_of(room.begin(), room.end(), [](char c) { return c >= '0' && c <= '9'; }))
                error = "option " + name + " needs a room id (the digits of the room_id column), not '" + room + "'";
            if (error.empty()) (name == "--record" ? options.recordRooms : options.notifyOnlyRooms).push_back(room);
        } else if (name == "--duration") {
            std::string text;
            error = withValue(text);
            if (error.empty()) {
                char* end = nullptr;
                errno = 0;
                const double seconds = std::strtod(text.c_str(), &end);
                if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(seconds) ||
                    seconds <= 0 || seconds > 1e9) {
                    error = "option --duration needs a positive number of seconds, not '" + text + "'";
                } else {
                    options.durationSeconds = seconds;
                }
            }
        } else if (name == "--live-period") {
            std::string text;
            error = withValue(text);
            if (error.empty()) {
                if (text == "off")
                    options.livePeriodMinutes = 0;
                else if (text == "5" || text == "10" || text == "30")
                    options.livePeriodMinutes = std::stoi(text);
                else
                    error = "option --live-period needs 5, 10, 30 or off, not '" + text + "'";
            }
        } else if (name == "--quality") {
            std::string text;
            error = withValue(text);
            if (error.empty()) {
                options.quality = qualityOfWord(text);
                if (!options.quality)
                    error = "option --quality needs default, origin, hd, sd, smooth or audio, not '" + text + "'";
            }
        } else if (name == "--split-minutes") {
            std::string text;
            error = withValue(text);
            if (error.empty()) {
                int minutes = 0;
                const auto [end, failed] = std::from_chars(text.data(), text.data() + text.size(), minutes);
                if (text == "off")
                    options.splitMinutes = 0;
                else if (failed == std::errc() && end == text.data() + text.size() && minutes >= 1 && minutes <= 1440)
                    options.splitMinutes = minutes;
                else
                    error = "option --split-minutes needs 1 to 1440 or off, not '" + text + "'";
            }
        } else if (startsWith(arg, "-")) {
            error = "unknown option '" + arg + "'";
        } else {
            error = "unexpected argument '" + arg + "'";
        }
        if (!error.empty()) return error;
    }
    return "";
}

// A link list given on the command line, as the link box would hold it.
std::optional<std::string> readLinkList(const fs::path& path, std::string& error) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        error = "cannot read " + path.string() + ": not a readable file";
        return std::nullopt;
    }
    const auto size = fs::file_size(path, ec);
    if (ec || size > kLinkFileReadCap) {
        error = "cannot read " + path.string() + ": larger than " + std::to_string(kLinkFileReadCap) +
                " bytes";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        error = "cannot read " + path.string();
        return std::nullopt;
    }
    std::string text = decodeUtf8OrGbk(bytes);
    if (startsWith(text, "\xEF\xBB\xBF")) text.erase(0, 3);
    return toCrLf(text);
}

// ---------------------------------------------------------------------------------------------
// Events from other threads to the main thread

struct Output {
    enum class Kind { Log, Status, Table, Message, Note, Event, StartupDone, StopDone, Closed, Call };
    Kind kind = Kind::Note;
    int table = 0;  // 0 AccountTable, 1 RoomTable
    TableChange change{};
    int part = 0;
    std::string text;
    std::string caption;
    std::function<void()> call;  // Kind::Call: work handed to the main thread (the web page's actions)
};

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

// ---------------------------------------------------------------------------------------------
// Output of the core's state

std::vector<std::string> trimmedTitles(const TableStore& table) {
    std::vector<std::string> titles;
    for (const auto& column : table.columns()) titles.push_back(trimBlanks(column.title));
    return titles;
}

std::string statusJson(const TableStore& accounts, const TableStore& rooms) {
    nlohmann::ordered_json doc = nlohmann::ordered_json::object();
    for (const TableStore* table : {&accounts, &rooms}) {
        const auto titles = trimmedTitles(*table);
        auto rows = nlohmann::ordered_json::array();
        for (const auto& cells : table->snapshot()) {
            auto row = nlohmann::ordered_json::object();
            for (size_t c = 0; c < titles.size(); ++c) row[titles[c]] = c < cells.size() ? cells[c] : "";
            rows.push_back(std::move(row));
        }
        doc[table->name()] = std::move(rows);
    }
    // Cell texts come from the service; a broken byte must not cost the whole file.
    return doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

// Prints the events in order and keeps a copy of each table, so a line is printed only when a
// cell's text really changes (the monitors rewrite whole rows with mostly the same texts).
class Printer {
public:
    Printer(const TableStore& accounts, const TableStore& rooms, bool verbose = true) : verbose_(verbose) {
        tables_[0].name = accounts.name();
        tables_[0].titles = trimmedTitles(accounts);
        tables_[1].name = rooms.name();
        tables_[1].titles = trimmedTitles(rooms);
    }

    // True when the event changed what a table shows.
    bool print(const Output& event) {
        switch (event.kind) {
            case Output::Kind::Log: printLog(event.text); return false;
            case Output::Kind::Status:
                if (verbose_) printOut((event.part == 1 ? "status: " : "status label: ") + oneLine(event.text) + "\n");
                return false;
            case Output::Kind::Event: printOut(event.text + "\n"); return false;
            case Output::Kind::Table: return printTable(event.table, event.change);
            case Output::Kind::Message: {
                const std::string& caption = event.caption;
                std::string prefix;
                if (!caption.empty()) {
                    prefix = caption;
                    if (!endsWith(caption, ":") && !endsWith(caption, "：")) prefix += ":";
                    prefix += " ";
                }
                printErr(prefix + toLf(event.text) + "\n");
                return false;
            }
            case Output::Kind::Note: note(event.text); return false;
            default: return false;
        }
    }

    void finish() {
        if (!logRest_.empty()) printOut(logRest_ + "\n");
        logRest_.clear();
    }

private:
    struct Shadow {
        std::string name;
        std::vector<std::string> titles;
        std::vector<std::vector<std::string>> rows;
    };

    void printLog(const std::string& appended) {
        logRest_ += toLf(appended);
        const auto end = logRest_.rfind('\n');
        if (end == std::string::npos) return;
        if (verbose_) {
            printOut(logRest_.substr(0, end + 1));
        } else {
            std::string kept;
            for (std::size_t from = 0; from <= end;) {
                const std::size_t lineEnd = logRest_.find('\n', from);
                const std::string_view line(logRest_.data() + from, lineEnd - from);
                if (filter_.keep(line)) kept.append(line).append("\n");
                from = lineEnd + 1;
            }
            if (!kept.empty()) printOut(kept);
        }
        logRest_.erase(0, end + 1);
    }

    bool printTable(int index, const TableChange& change) {
        Shadow& t = tables_[index];
        const std::string rowName = t.name + " row " + std::to_string(change.row + 1);
        switch (change.kind) {
            case TableChange::Kind::RowAppended:
                t.rows.insert(t.rows.begin() + std::clamp<long>(change.row, 0, static_cast<long>(t.rows.size())),
                              std::vector<std::string>(t.titles.size()));
                if (verbose_) printOut(rowName + " added\n");
                return true;
            case TableChange::Kind::RowDeleted:
                if (change.row < 0 || change.row >= static_cast<int>(t.rows.size())) return false;
                t.rows.erase(t.rows.begin() + change.row);
                if (verbose_) printOut(rowName + " deleted\n");
                return true;
            case TableChange::Kind::Cleared:
                t.rows.clear();
                if (verbose_) printOut(t.name + " cleared\n");
                return true;
            case TableChange::Kind::CellWritten: {
                if (change.row < 0 || change.row >= static_cast<int>(t.rows.size())) return false;
                if (change.column < 0 || change.column >= static_cast<int>(t.titles.size())) return false;
                std::string& cell = t.rows[change.row][change.column];
                if (cell == change.text) return false;
                cell = change.text;
                if (verbose_) printOut(rowName + " " + t.titles[change.column] + ": " + oneLine(change.text) + "\n");
                return true;
            }
        }
        return false;
    }

    // Without it, a terminal or the journal gets what a person reads: the log and the events,
    // not the countdown ticking in a cell and in the log every second, nor the same report
    // again every cycle.
    bool verbose_ = true;
    TerminalLogFilter filter_;
    Shadow tables_[2];
    std::string logRest_;
};

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

// ---------------------------------------------------------------------------------------------
// One headless run, from the end of the guard to the exit code

class Session {
public:
    Session(const Options& options, std::string accountsOverride, std::string roomsOverride,
            EventQueue& queue, UserInterface& ui, int signalFd)
        : options_(options),
          accountsOverride_(std::move(accountsOverride)),
          roomsOverride_(std::move(roomsOverride)),
          queue_(queue),
          signalFd_(signalFd),
          ctx_(Paths::detect(), Pacing::fromEnvironment(), Endpoints::fromEnvironment(), ui),
          printer_(ctx_.accountTable, ctx_.roomTable, options.verbose) {
        observe();
        controller_.emplace(ctx_);
    }

    ~Session() {
        web_.reset();
        ctx_.events.unsubscribe(eventPrinter_);
        notifiers_.reset();
        for (std::thread* t : {&stopThread_, &closerThread_})
            if (t->joinable()) t->join();
    }

    int run() {
        enterProgramDirectory(ctx_.paths);
        if (!ctx_.log.setFile(ctx_.paths.logFile())) note("cannot write " + ctx_.paths.logFile().string());
        say("vigilo " + ownVersion() + " starting (pid " + std::to_string(::getpid()) + "): data directory " +
            ctx_.paths.dataDir.string());
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
        if (const auto config = NotifyConfig::fromEnvironment(); config.any()) {
            notifiers_.emplace(
                ctx_.events, config, [this](const std::string& line) { ctx_.appendLog(line); },
                [this](const std::string& line) { ctx_.log.record(line); });
            for (const auto& name : notifiers_->names()) receivers_ += (receivers_.empty() ? "" : ", ") + name;
            note("events go to: " + receivers_);
        }
        if (!startWeb()) return kExitUsage;
        std::fflush(stderr);
        startupThread_ = std::jthread([this](std::stop_token stop) {
            const ScopedStopToken installed(std::move(stop));
            startup_ = startUp(ctx_, noticeUrlFromEnvironment());
            push(Output::Kind::StartupDone);
        });

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
        say("vigilo exiting: " + why + ", exit status " + std::to_string(code));
        exitNow(code);
    }

    void push(Output::Kind kind) {
        Output event;
        event.kind = kind;
        queue_.push(std::move(event));
    }

    void observe() {
        ctx_.log.addObserver([this](const std::string& appended) {
            Output event;
            event.kind = Output::Kind::Log;
            event.text = appended;
            queue_.push(std::move(event));
        });
        ctx_.status.addObserver([this](int part, const std::string& text) {
            Output event;
            event.kind = Output::Kind::Status;
            event.part = part;
            event.text = text;
            queue_.push(std::move(event));
        });
        eventPrinter_ = ctx_.events.subscribe([this](const Event& e) {
            Output event;
            event.kind = Output::Kind::Event;
            event.text = eventLine(e);
            queue_.push(std::move(event));
        }, "terminal");
        recordEvents(ctx_.events, ctx_.log);
        int index = 0;
        for (TableStore* table : {&ctx_.accountTable, &ctx_.roomTable}) {
            table->addObserver([this, index](const TableChange& change) {
                Output event;
                event.kind = Output::Kind::Table;
                event.table = index;
                event.change = change;
                queue_.push(std::move(event));
            });
            ++index;
        }
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
                    if (printer_.print(event)) statusDirty_ = true;
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
            startupThread_.request_stop();
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
        startupThread_.join();
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
            (receivers_.empty() ? "; no event receiver" : "; events go to: " + receivers_));

        phase_ = Phase::Running;
        statusDirty_ = true;
        lastStatusWrite_ = Clock::time_point{};
        if (options_.durationSeconds) {
            deadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(*options_.durationSeconds));
        }
        if (expectedAccounts_ > 0) {
            controller_->addAccounts(accounts, true);
            worksPending_ = true;
            worksBound_ = Clock::now() + kWorksStartBound;
        }
        if (options_.livePeriodMinutes) controller_->setLivePeriod(*options_.livePeriodMinutes);
        if (anyRoom) controller_->addRooms(rooms);
    }

    // The works monitor starts once the first queries are in, whether or not they succeeded
    // (a row whose query failed is queried again by the monitor's cycles).
    void startWorksWhenReady(Clock::time_point now) {
        const int rows = ctx_.accountTable.rowCount();
        const bool filled = rows >= expectedAccounts_ && controller_->works().queriesInFlight() == 0;
        if (!filled) {
            if (now < worksBound_ || rows == 0) return;
            note("some accounts are still being queried; starting the works monitor anyway");
        }
        worksPending_ = false;
        controller_->startWorksMonitor();
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
            stopReport_ = controller_->live().stopRecording();
            push(Output::Kind::StopDone);
        });
    }

    void onStopDone() {
        stopThread_.join();
        for (const auto& line : collectionLines(ctx_.paths, stopReport_)) say(line);
        phase_ = Phase::Closing;
        controller_->closeProgram();
        // Every worker was asked to stop: the wait is about a second even with transfers
        // in flight. A second signal still exits at once.
        closerThread_ = std::thread([this] {
            controller_->waitClosed(std::chrono::hours(24));
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
        if (phase_ != Phase::StartingUp && statusDirty_ && now - lastStatusWrite_ >= kStatusInterval)
            writeStatus();
    }

    milliseconds nextTimeout(Clock::time_point now) const {
        milliseconds wait{1000};
        auto until = [&](Clock::time_point when) {
            wait = std::min(wait, std::max(milliseconds{0}, std::chrono::duration_cast<milliseconds>(when - now) +
                                                                milliseconds{1}));
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
        web_ = std::make_unique<web::WebServer>(*controller_, [this](std::function<void()> call) {
            Output event;
            event.kind = Output::Kind::Call;
            event.call = std::move(call);
            queue_.push(std::move(event));
        }, *config);
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
        say("vigilo exiting: " + exitWhy_ + ", exit status " + std::to_string(*exitCode_));
        std::fflush(stdout);
        std::fflush(stderr);
        return *exitCode_;
    }

    const Options& options_;
    const std::string accountsOverride_;
    const std::string roomsOverride_;
    EventQueue& queue_;
    const int signalFd_;

    AppContext ctx_;
    Printer printer_;
    std::optional<Controller> controller_;
    std::optional<Notifiers> notifiers_;
    std::string receivers_;  // "ntfy, webhook": where the events go
    std::unique_ptr<web::WebServer> web_;
    int eventPrinter_ = 0;
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

    std::jthread startupThread_;
    std::thread stopThread_;
    std::thread closerThread_;
};

}  // namespace

int runHeadless(int argc, char** argv) {
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
    if (!guardSingleInstance(ui, "", "软件已启动！")) {
        printQueued();
        return 0;
    }

    Session session(options, std::move(accounts), std::move(rooms), queue, ui, signalPipe->read.get());
    return session.run();
}

}  // namespace vigilo
