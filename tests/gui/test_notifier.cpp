// Desktop notifications against a real session bus (run under dbus-run-session) and a small
// stand-in of the notification service on its own connection, which records every call and
// can click a notification.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>
#include <QtTest>

#include "app/events.h"
#include "gui/desktopnotifier.h"

using namespace vigilo;
using namespace vigilo::gui;

class NotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        QString app, icon, summary, body;
        QStringList actions;
        int expire = 0;
    };
    explicit NotificationService(QDBusConnection connection) : connection_(connection) {}
    QList<Call> calls;

    void click(uint id) {
        QDBusMessage signal = QDBusMessage::createSignal("/org/freedesktop/Notifications",
                                                         "org.freedesktop.Notifications", "ActionInvoked");
        signal << id << QString("default");
        connection_.send(signal);
    }

public slots:
    uint Notify(const QString& app, uint, const QString& icon, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap&, int expire) {
        calls.append({app, icon, summary, body, actions, expire});
        return static_cast<uint>(calls.size()) + 40;
    }
    QStringList GetCapabilities() { return {"body", "actions"}; }
    void CloseNotification(uint) {}

private:
    QDBusConnection connection_;
};

class NotifierTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session"); }

    // The events as the desktop shows them; a click on a saved post opens its folder.
    void eventsReachTheServiceAndAClickOpensTheFolder() {
        QDBusConnection standIn = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "stand-in");
        NotificationService service(standIn);
        QVERIFY(standIn.registerObject("/org/freedesktop/Notifications", &service, QDBusConnection::ExportAllSlots));
        QVERIFY(standIn.registerService("org.freedesktop.Notifications"));

        EventBus bus;
        QStringList opened;
        QTemporaryDir data;
        QVERIFY(data.isValid());
        {
            DesktopNotifier notifier(bus, data.path(), [&](const QString& folder) { opened << folder; });
            QSignalSpy sent(&notifier, &DesktopNotifier::sent);
            bus.publish(makeEvent(EventType::PostSaved, {{"nickname", "小熊看世界🐻"},
                                                         {"description", "晚霞<b>太好看</b>\n#日落"},
                                                         {"file", "/data/下载/小熊看世界🐻/731-晚霞.mp4"}}));
            bus.publish(makeEvent(EventType::RoomLive, {{"nickname", "橙子直播间🍊"},
                                                        {"roomId", "7282937465012345678"},
                                                        {"title", "深夜聊天"},
                                                        {"startTime", "2026-01-02 03:04:05"}}));
            QTRY_COMPARE_WITH_TIMEOUT(sent.count(), 2, 30000);
            QCOMPARE(sent.at(0).at(0).toUInt(), 41u);
            QCOMPARE(service.calls.size(), 2);

            const auto& post = service.calls[0];
            QCOMPARE(post.app, QString("Vigilo"));
            QCOMPARE(post.summary, QString("小熊看世界🐻 发布了新作品"));
            // Markup in a description is shown as text.
            QCOMPARE(post.body, QString("晚霞&lt;b&gt;太好看&lt;/b&gt; #日落 · /data/下载/小熊看世界🐻/731-晚霞.mp4"));
            QCOMPARE(post.actions, (QStringList{"default", "打开文件夹"}));
            const auto& live = service.calls[1];
            QCOMPARE(live.summary, QString("橙子直播间🍊 开播了"));
            QCOMPARE(live.body, QString("深夜聊天 · 2026-01-02 03:04:05"));
            QVERIFY(live.actions.isEmpty());

            service.click(42);  // the room: nothing to open
            service.click(41);
            QTRY_COMPARE_WITH_TIMEOUT(opened.size(), 1, 30000);
            QCOMPARE(opened, QStringList{"/data/下载/小熊看世界🐻"});
            QVERIFY(notifier.enabled());

            // A nickname is text in the summary too. A recording names its file alone: a click
            // opens the data directory, or "download" once the file was collected there.
            QVERIFY(QDir(data.path()).mkdir("download"));
            QFile collected(data.filePath("download/<i>阿杰 & co.mp4"));
            QVERIFY(collected.open(QIODevice::WriteOnly));
            collected.close();
            bus.publish(
                makeEvent(EventType::RecordingEnded,
                          {{"nickname", "<i>阿杰 & co"}, {"file", "<i>阿杰 & co.mp4"}, {"duration", "01:00:05.00"}}));
            bus.publish(makeEvent(EventType::RecordingStarted, {{"nickname", "橙子"}, {"file", "橙子.mp4"}}));
            QTRY_COMPARE_WITH_TIMEOUT(sent.count(), 4, 30000);
            const auto& ended = service.calls[2];
            QCOMPARE(ended.summary, QString("&lt;i&gt;阿杰 &amp; co 录制结束"));
            QCOMPARE(ended.body, QString("&lt;i&gt;阿杰 &amp; co.mp4 · 01:00:05.00"));
            QCOMPARE(ended.actions, (QStringList{"default", "打开文件夹"}));
            service.click(43);
            service.click(44);
            QTRY_COMPARE_WITH_TIMEOUT(opened.size(), 3, 30000);
            QCOMPARE(opened.at(1), QDir(data.path()).filePath("download"));
            QCOMPARE(opened.at(2), QDir(data.path()).absolutePath());
        }
        standIn.unregisterService("org.freedesktop.Notifications");
        QDBusConnection::disconnectFromBus("stand-in");
    }

    // No service on the bus: the first event finds out, nothing is reported, later events
    // are not sent.
    void withoutAServiceTheNotifierTurnsItselfOff() {
        QTRY_VERIFY_WITH_TIMEOUT(
            !QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.Notifications"), 30000);
        EventBus bus;
        DesktopNotifier notifier(bus, QDir::tempPath());
        QSignalSpy sent(&notifier, &DesktopNotifier::sent);
        bus.publish(makeEvent(EventType::RecordingFailed, {{"nickname", "夜跑的阿杰"}, {"error", "ffmpeg 不存在"}}));
        QTRY_COMPARE_WITH_TIMEOUT(sent.count(), 1, 30000);
        QCOMPARE(sent.at(0).at(0).toUInt(), 0u);
        QVERIFY(!notifier.enabled());
        notifier.show(makeEvent(EventType::RecordingFailed, {{"nickname", "夜跑的阿杰"}}));
        QVERIFY(bus.flush(std::chrono::seconds(30)));
        QCoreApplication::processEvents();
        QCOMPARE(sent.count(), 1);
    }
};

QTEST_MAIN(NotifierTest)
#include "test_notifier.moc"
