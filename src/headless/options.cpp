#include "headless/options.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

#include "app/linkfile.h"
#include "text/charset.h"
#include "text/strings.h"
#include "web/server.h"

namespace vigilo::headless {

namespace fs = std::filesystem;

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
                if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 ||
                    seconds > 1e9) {
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

std::optional<std::string> readLinkList(const fs::path& path, std::string& error) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        error = "cannot read " + path.string() + ": not a readable file";
        return std::nullopt;
    }
    const auto size = fs::file_size(path, ec);
    if (ec || size > kLinkFileReadCap) {
        error = "cannot read " + path.string() + ": larger than " + std::to_string(kLinkFileReadCap) + " bytes";
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

}  // namespace vigilo::headless
