// Placeholder so the layers above link while the works monitor is being written.
#include "works/monitor.h"

namespace vigilo {
WorksMonitor::WorksMonitor(AppContext& ctx) : ctx_(ctx) {}
WorksMonitor::~WorksMonitor() = default;
void WorksMonitor::registerAccounts(const std::string&, bool) {}
void WorksMonitor::queryNewAccount(const std::string&, const std::string&, const std::string&, const std::string&) {}
void WorksMonitor::runWorksMonitor() {}
void WorksMonitor::pollAccount(int) {}
void WorksMonitor::downloadNewestVideo(const std::string&, const std::string&, const std::string&, const std::string&) {}
void WorksMonitor::saveAccountEntry(const AccountEntry&) {}
void WorksMonitor::startMonitorThread() {}
std::string followerText(const std::string& countText) { return countText; }
}  // namespace vigilo
