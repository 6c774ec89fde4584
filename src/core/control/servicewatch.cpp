#include "control/servicewatch.h"

#include <cmath>
#include <cstdio>
#include <mutex>

#include "text/strings.h"
#include "text/timefmt.h"

namespace vigilo {
namespace {

std::string rateText(double perMinute) {
    return std::to_string(static_cast<long long>(std::llround(std::max(perMinute, 0.0))));
}

}  // namespace

std::string refusingLine(const std::string& host, double perMinute) {
    return "服务限流，放慢查询：" + host + "，每分钟 " + rateText(perMinute) + " 次";
}

std::string recoveredLine(const std::string& host) { return "服务恢复正常：" + host; }

std::string serviceMetricsText(const net::HostBudget& budget) {
    const auto hosts = budget.hosts();
    if (hosts.empty()) return {};
    struct Series {
        const char* name;
        const char* type;
        const char* help;
        double (*value)(const net::HostBudget::HostView&);
    };
    static constexpr Series kSeries[] = {
        {"vigilo_service_refusals_total", "counter",
         "Refusals (429, 503, 403, verification pages, empty runs) by host.",
         [](const net::HostBudget::HostView& v) { return static_cast<double>(v.refusals); }},
        {"vigilo_service_requests_per_minute", "gauge", "Requests given a turn in the last minute, by host.",
         [](const net::HostBudget::HostView& v) { return v.observedPerMinute; }},
        {"vigilo_service_allowed_per_minute", "gauge",
         "Requests a minute the host is now allowed (0: no limit learnt).",
         [](const net::HostBudget::HostView& v) { return v.perMinute; }},
        {"vigilo_service_refusing", "gauge", "1 while the host refuses.",
         [](const net::HostBudget::HostView& v) { return v.refusing ? 1.0 : 0.0; }},
    };
    std::string out;
    for (const Series& series : kSeries) {
        out += std::string("# HELP ") + series.name + " " + series.help + "\n# TYPE " + series.name + " " +
               series.type + "\n";
        for (const auto& view : hosts) {
            std::string label;
            for (char c : oneLine(view.host)) {
                if (c == '\\' || c == '"') label += '\\';
                label += c;
            }
            char value[64];
            std::snprintf(value, sizeof value, "%.6g", series.value(view));
            out += std::string(series.name) + "{host=\"" + label + "\"} " + value + "\n";
        }
    }
    return out;
}

ServiceWatch::ServiceWatch(AppContext& ctx, net::HostBudget& budget) : ctx_(ctx), budget_(budget) {
    listener_ = budget_.addListener([this](const net::HostBudget::Change& change) { changed(change); });
}

ServiceWatch::~ServiceWatch() { budget_.removeListener(listener_); }

void ServiceWatch::changed(const net::HostBudget::Change& change) {
    const std::string host = oneLine(change.host);
    const std::string rate = rateText(change.perMinute);
    ctx_.appendLog(logTimestamp() + "：" +
                   (change.refusing ? refusingLine(host, change.perMinute) : recoveredLine(host)) + "\r\n");
    Event event;
    event.type = change.refusing ? EventType::ServiceRefusing : EventType::ServiceRecovered;
    event.fields = {{"host", host}, {"rate", rate}};
    if (change.refusing) event.fields.emplace_back("reason", change.reason);
    ctx_.events.publish(std::move(event));

    // The status names every host refusing now, each at the rate it was slowed to.
    std::string words;
    for (const auto& view : budget_.hosts()) {
        if (!view.refusing) continue;
        if (!words.empty()) words += " ";
        words += "服务限流：" + oneLine(view.host) + "，每分钟 " + rateText(view.perMinute) + " 次";
    }
    ctx_.setStatus(StatusBar::Monitor::Service, words);
}

}  // namespace vigilo
