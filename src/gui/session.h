#pragma once
#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>
#include <string>

#include "control/controller.h"
#include "control/startup.h"
#include "gui/updaterwindow.h"

namespace vigilo::gui {

class MainWindow;

// One run of the windowed program: the main window is shown at once, start-up runs on a
// worker with the add and start buttons held back, and its ending decides what follows:
// close, the updater window in place of the main window, or the filled main window.
class GuiSession : public QObject {
    Q_OBJECT
public:
    GuiSession(Controller& controller, std::string noticeUrl, QObject* parent = nullptr);
    ~GuiSession() override;

    void start();
    MainWindow& mainWindow() { return *main_; }
    UpdaterWindow* updaterWindow() const { return updater_; }
    bool startupFinished() const { return finished_; }

    // Saves a picture of each page (works.png, live.png) and of the two small windows into
    // dir once start-up has finished, then closes the program. With pressAdd the add buttons
    // are pressed first and the pictures wait settleMs for the tables to fill.
    void takeScreenshots(const QString& dir, bool pressAdd, int settleMs);

signals:
    void startupEnded(vigilo::StartupEnding ending);

private:
    void finishStartup(const StartupResult& result);
    void screenshotSequence();

    Controller& controller_;
    std::string noticeUrl_;
    std::unique_ptr<MainWindow> main_;
    QPointer<UpdaterWindow> updater_;
    bool finished_ = false;

    QString screenshotDir_;
    bool screenshotPressAdd_ = false;
    int screenshotSettleMs_ = 0;
};

// The windowed program: returns the process exit code.
int runGui(int argc, char** argv);

}  // namespace vigilo::gui
