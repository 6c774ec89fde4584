#include "gui/desktopnotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>
#include <QPointer>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include "notify/format.h"

namespace vigilo::gui {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
constexpr int kExpireMs = 10000;

}  // namespace

DesktopNotifier::DesktopNotifier(EventBus& bus, FolderOpener openFolder, QObject* parent)
    : QObject(parent), bus_(bus), openFolder_(std::move(openFolder)) {
    if (!openFolder_)
        openFolder_ = [](const QString& folder) { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); };
    QDBusConnection session = QDBusConnection::sessionBus();
    enabled_ = session.isConnected();
    if (!enabled_) return;
    session.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                    SLOT(onActionInvoked(uint, QString)));
    session.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                    SLOT(onClosed(uint, uint)));
    // The bus' delivery thread only posts; the D-Bus calls are made on the UI thread.
    const QPointer<DesktopNotifier> self(this);
    subscription_ = bus_.subscribe(
        [self](const Event& event) {
            QMetaObject::invokeMethod(
                self.data(), [self, event] { if (self) self->show(event); }, Qt::QueuedConnection);
        },
        "desktop");
}

DesktopNotifier::~DesktopNotifier() {
    if (subscription_) bus_.unsubscribe(subscription_);
}

void DesktopNotifier::show(const Event& event) {
    if (!enabled_) return;
    // The body may be read as markup; a description is text, never tags.
    const QString summary = QString::fromStdString(eventTitle(event));
    const QString body = QString::fromStdString(eventBody(event)).toHtmlEscaped();
    QString folder;
    if (const std::string file = eventFile(event); !file.empty())
        folder = QFileInfo(QString::fromStdString(file)).absolutePath();
    QStringList actions;
    if (!folder.isEmpty()) actions << QStringLiteral("default") << QStringLiteral("打开文件夹");

    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    call << QStringLiteral("Vigilo") << uint(0) << QStringLiteral("vigilo") << summary << body << actions
         << QVariantMap{{QStringLiteral("category"), event.type == EventType::PostSaved
                                                          ? QStringLiteral("transfer.complete")
                                                          : QStringLiteral("im.received")}}
         << kExpireMs;
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, folder](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        QDBusPendingReply<uint> reply = *w;
        if (reply.isError()) {
            // No service on this desktop: nothing to tell, and nothing to try again.
            const QString name = reply.error().name();
            if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
                name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") ||
                name == QLatin1String("org.freedesktop.DBus.Error.Disconnected"))
                enabled_ = false;
            emit sent(0);
            return;
        }
        const uint id = reply.value();
        if (!folder.isEmpty()) folders_.insert(id, folder);
        emit sent(id);
    });
}

void DesktopNotifier::onActionInvoked(uint id, const QString& action) {
    const auto it = folders_.constFind(id);
    if (it == folders_.constEnd()) return;
    if (action == QLatin1String("default")) openFolder_(*it);
}

void DesktopNotifier::onClosed(uint id, uint) { folders_.remove(id); }

}  // namespace vigilo::gui
