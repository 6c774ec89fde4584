// vigilo-bench-gui: the window program exactly as a user starts it, with a probe that reports
// when its main window is usable: shown, painted, and start-up finished (the start button is
// live).
#include <QCoreApplication>
#include <QPushButton>

#include "gui/session.h"
#include "ready_probe.h"

namespace {

void installProbe() {
    // Owned by the application object, created once it exists.
    auto* probe = new vigilo::bench::ReadyProbe([](QWidget* window) {
        if (window->objectName() != QStringLiteral("启动窗口")) return false;
        auto* start = window->findChild<QPushButton*>(QStringLiteral("按钮_开始监控"));
        return start != nullptr && start->isEnabled();
    });
    probe->setParent(qApp);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(installProbe)

int main(int argc, char** argv) { return vigilo::gui::runGui(argc, argv); }
