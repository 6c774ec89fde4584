#include "gui/desktopnotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QDir>
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

DesktopNotifier::DesktopNotifier(EventBus& bus, QString dataDirectory, FolderOpener openFolder, QObject* parent)
    : QObject(parent), bus_(bus), dataDirectory_(std::move(dataDirectory)), openFolder_(std::move(openFolder)) {
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
                self.data(),
                [self, event] {
                    if (self) self->show(event);
                },
                Qt::QueuedConnection);
        },
        "desktop");
}

DesktopNotifier::~DesktopNotifier() {
    if (subscription_) bus_.unsubscribe(subscription_);
}

void DesktopNotifier::show(const Event& event) {
    if (!enabled_) return;
    // Servers may read summary and body as markup; a nickname or a description is text,
    // never tags.
    const QString summary = QString::fromStdString(eventTitle(event)).toHtmlEscaped();
    const QString body = QString::fromStdString(eventBody(event)).toHtmlEscaped();
    const QString file = QString::fromStdString(eventFile(event));
    QStringList actions;
    if (!file.isEmpty()) actions << QStringLiteral("default") << QStringLiteral("打开文件夹");

    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    call << QStringLiteral("Vigilo") << uint(0) << QStringLiteral("vigilo") << summary << body << actions
         << QVariantMap{{QStringLiteral("category"), event.type == EventType::PostSaved
                                                         ? QStringLiteral("transfer.complete")
                                                         : QStringLiteral("im.received")}}
         << kExpireMs;
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, file](QDBusPendingCallWatcher* w) {
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
        if (!file.isEmpty()) files_.insert(id, file);
        emit sent(id);
    });
}

// Looked up at the click, since "停止录制" may have moved the recording in the meantime. The
// process's working directory is never the answer: it need not be the data directory.
QString DesktopNotifier::folderOf(const QString& file) const {
    if (QFileInfo(file).isAbsolute()) return QFileInfo(file).absolutePath();
    const QDir data(dataDirectory_);
    const QString collected = data.filePath(QStringLiteral("download/") + file);
    if (!QFileInfo::exists(data.filePath(file)) && QFileInfo::exists(collected))
        return QFileInfo(collected).absolutePath();
    return QFileInfo(data.filePath(file)).absolutePath();
}

void DesktopNotifier::onActionInvoked(uint id, const QString& action) {
    const auto it = files_.constFind(id);
    if (it == files_.constEnd()) return;
    if (action == QLatin1String("default")) openFolder_(folderOf(*it));
}

void DesktopNotifier::onClosed(uint id, uint) { files_.remove(id); }

}  // namespace vigilo::gui
