#pragma once
// How the core reaches the person through Qt. Calls may come from any thread. On the UI
// thread the dialogs are shown there and then; from a worker the call is carried to the UI
// thread and only that worker waits for the answer. After shutdown() nothing is shown any
// more and waiting workers are released, so the program can end while a worker still asks.
#include <QObject>
#include <QString>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "app/ui.h"

namespace vigilo::gui {

// A caption as a window title. Given an empty title, Qt hands the window system the
// application's name instead ("vigilo" over a box that has no caption), so an empty caption
// becomes one blank, which shows as nothing.
QString windowCaption(const std::string& caption);

class QtUserInterface : public UserInterface {
public:
    QtUserInterface();
    ~QtUserInterface() override;

    void messageBox(const std::string& text, const std::string& caption, MessageIcon icon) override;
    std::optional<std::string> inputBox(const std::string& prompt, const std::string& title) override;
    void setClipboard(const std::string& text) override;
    void openFile(const std::string& path) override;
    void openUrl(const std::string& url) override;

    void shutdown();
    bool isShutdown() const;

private:
    // Runs job on the UI thread; from a worker, waits until it ran or shutdown() was called.
    // Returns false when the job did not run.
    bool runOnUiThread(std::function<void()> job, bool wait);

    std::unique_ptr<QObject> receiver_;  // lives on the UI thread; carries queued jobs
    mutable std::mutex mutex_;
    std::condition_variable finished_;
    bool shutdown_ = false;
};

}  // namespace vigilo::gui
