#pragma once
// Desktop notifications for the event stream, through the freedesktop notification service on
// the session bus. Every call is asynchronous, so a slow or stuck service never holds the
// window; with no service (or no session bus) the notifier stays quietly off.
#include <QHash>
#include <QObject>
#include <QString>
#include <functional>

#include "app/events.h"

namespace vigilo::gui {

class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    using FolderOpener = std::function<void(const QString& folder)>;
    // Subscribes to `bus` until destroyed. A file an event names without a folder (a
    // recording) is in `dataDirectory`, or in its "download" folder once collected.
    // `openFolder` defaults to the desktop's file manager.
    DesktopNotifier(EventBus& bus, QString dataDirectory, FolderOpener openFolder = {}, QObject* parent = nullptr);
    ~DesktopNotifier() override;

    // False once the bus or the service turned out to be missing.
    bool enabled() const { return enabled_; }
    // Shows one event (on the UI thread); what the bus' receiver does.
    void show(const Event& event);

signals:
    // A notification was handed to the service (its id) or could not be (0).
    void sent(uint id);

private slots:
    void onActionInvoked(uint id, const QString& action);
    void onClosed(uint id, uint reason);

private:
    // The folder a click on the notification of `file` opens.
    QString folderOf(const QString& file) const;

    EventBus& bus_;
    QString dataDirectory_;
    FolderOpener openFolder_;
    int subscription_ = 0;
    bool enabled_ = true;
    QHash<uint, QString> files_;  // notification id → the file whose folder a click opens
};

}  // namespace vigilo::gui
