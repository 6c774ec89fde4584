#pragma once
// What the person is told when the service starts refusing the program's requests and when it
// answers normally again: one log line, one event and the status bar's service part, each way.
// The request budget (net layer) only says which host changed; the words are chosen here.
#include <string>

#include "app/context.h"
#include "net/politeness.h"

namespace vigilo {

// "服务限流，放慢查询：<host>，每分钟 N 次" and "服务恢复正常：<host>".
std::string refusingLine(const std::string& host, double perMinute);
std::string recoveredLine(const std::string& host);

// The request budget's figures as Prometheus lines, one series per host: refusals so far,
// requests in the last minute, the rate now allowed (0: no limit learnt) and whether it refuses.
std::string serviceMetricsText(const net::HostBudget& budget);

class ServiceWatch {
public:
    // Listens to `budget` (the program's by default) until destroyed.
    explicit ServiceWatch(AppContext& ctx, net::HostBudget& budget = net::requestBudget());
    ~ServiceWatch();
    ServiceWatch(const ServiceWatch&) = delete;
    ServiceWatch& operator=(const ServiceWatch&) = delete;

private:
    void changed(const net::HostBudget::Change& change);

    AppContext& ctx_;
    net::HostBudget& budget_;
    int listener_ = 0;
};

}  // namespace vigilo
