#include "gui/tray.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include "control/controller.h"
#include "gui/images.h"
#include "gui/mainwindow.h"

namespace vigilo::gui {

Tray::Tray(Controller& controller, MainWindow& window, QObject* parent)
    : QObject(parent), controller_(controller), window_(window) {
    menu_ = new QMenu;
    menu_->setObjectName(QStringLiteral("托盘菜单"));
    menu_->addAction(QStringLiteral("显示窗口"), this, [this] {
        window_.showNormal();
        window_.raise();
        window_.activateWindow();
    });
    menu_->addAction(QStringLiteral("停止录制"), this, [this] { controller_.stopRecording(); });
    // Answers in the log, one line a receiver, from a worker: a dead receiver never holds the menu.
    menu_->addAction(QStringLiteral("发送测试通知"), this, [this] { controller_.testNotify(); });
    menu_->addSeparator();
    menu_->addAction(QStringLiteral("退出"), this, [this] { window_.close(); });

    icon_ = new QSystemTrayIcon(this);
    icon_->setContextMenu(menu_);
    connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
            window_.showNormal();
            window_.raise();
            window_.activateWindow();
        }
    });
    refresh();
    // Where there is no tray the icon simply stays hidden.
    if (QSystemTrayIcon::isSystemTrayAvailable()) icon_->show();
    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, &Tray::refresh);
    timer_->start(1000);
}

Tray::~Tray() {
    icon_->hide();
    delete menu_;
}

bool Tray::monitorsRunning() const {
    return controller_.context().worksRunning || controller_.context().roomTable.rowCount() > 0;
}

QString Tray::toolTip() const {
    AppContext& ctx = controller_.context();
    const QString works = ctx.worksRunning ? QStringLiteral("运行中") : QStringLiteral("未运行");
    const int rooms = ctx.roomTable.rowCount();
    const int recording = controller_.live().runningRecorders();
    QString live = rooms == 0 ? QStringLiteral("未运行") : QStringLiteral("%1 个房间").arg(rooms);
    if (recording > 0) live += QStringLiteral("，%1 个在录制").arg(recording);
    return QStringLiteral("Vigilo\n作品监控：%1\n直播监控：%2").arg(works, live);
}

void Tray::refresh() {
    icon_->setToolTip(toolTip());
    const bool running = monitorsRunning();
    if (!first_ && running == shownRunning_) return;
    first_ = false;
    shownRunning_ = running;
    // Greyed while nothing is watched, so a glance at the tray tells.
    const QIcon base = appIcon();
    icon_->setIcon(running ? base : QIcon(base.pixmap(64, QIcon::Disabled)));
}

}  // namespace vigilo::gui
