#pragma once
// The tray icon: whether the monitors run (its picture and its tip), and a menu to show the
// window, stop the recordings and quit, for a window that is often left hidden.
#include <QObject>
#include <QString>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;

namespace vigilo {
class Controller;
}

namespace vigilo::gui {

class MainWindow;

class Tray : public QObject {
    Q_OBJECT
public:
    Tray(Controller& controller, MainWindow& window, QObject* parent = nullptr);
    ~Tray() override;

    QMenu* menu() const { return menu_; }
    QSystemTrayIcon* icon() const { return icon_; }
    // "作品监控：运行中 · 直播监控：2 个房间，1 个在录制" and the like.
    QString toolTip() const;
    bool monitorsRunning() const;
    // Reads the monitors' state again (a timer does it every second).
    void refresh();

private:
    Controller& controller_;
    MainWindow& window_;
    QMenu* menu_ = nullptr;
    QSystemTrayIcon* icon_ = nullptr;
    QTimer* timer_ = nullptr;
    bool shownRunning_ = false;
    bool first_ = true;
};

}  // namespace vigilo::gui
