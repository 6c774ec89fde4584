#pragma once
#include <QWidget>
#include <atomic>
#include <memory>
#include <string>

#include "app/context.h"
#include "update/updater.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace vigilo::gui {

// Downloads the announced build with progress and hands over to it. The download runs on a
// worker; its progress and its end reach the window as queued calls.
class UpdaterWindow : public QWidget {
    Q_OBJECT
public:
    // `starter` hands over to the downloaded build; the process runner's hand-over by default.
    UpdaterWindow(AppContext& ctx, std::string updateAddress, QWidget* parent = nullptr, ProgramStarter starter = {});

    bool downloading() const { return downloading_; }
    void startUpdate();  // what the button does

signals:
    // The new build has been started; the program is to end now.
    void updateLaunched();
    // The download ended without success, or the new build did not start (its message has
    // been shown, and the window says it).
    void updateFailed();

private:
    void showProgress(const UpdateProgress& progress);
    void finish(const DownloadResult& result);

    AppContext& ctx_;
    std::string address_;
    // Destroyed with the window, which stops a download in flight and joins its thread.
    std::unique_ptr<Updater> updater_;
    bool downloading_ = false;
    QLabel* title_ = nullptr;
    QLabel* progressLabel_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QPushButton* button_ = nullptr;
};

}  // namespace vigilo::gui
