// The tray icon's menu and tip, and the room list's alert-only entry kept in settings.json.
#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QtTest>

#include "app/settings.h"
#include "fixture.h"
#include "gui/mainwindow.h"
#include "gui/tray.h"
#include "support/testdir.h"

using namespace vigilo;
using namespace vigilo::gui;

namespace {

QAction* findAction(QMenu* menu, const QString& text) {
    for (QAction* action : menu->actions())
        if (action->text() == text) return action;
    return nullptr;
}

}  // namespace

class TrayTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::Fixture> fx;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<Tray> tray;

private slots:
    void init() {
        fx = std::make_unique<test::Fixture>();
        window = std::make_unique<MainWindow>(*fx->controller);
        tray = std::make_unique<Tray>(*fx->controller, *window);
    }
    void cleanup() {
        tray.reset();
        window.reset();
        fx.reset();
    }

    void menuShowsTheWindowAndQuitClosesIt() {
        QStringList captions;
        for (QAction* action : tray->menu()->actions())
            if (!action->isSeparator()) captions << action->text();
        QCOMPARE(captions, (QStringList{"显示窗口", "停止录制", "发送测试通知", "退出"}));
        QCOMPARE(tray->icon()->contextMenu(), tray->menu());

        QVERIFY(!window->isVisible());
        findAction(tray->menu(), "显示窗口")->trigger();
        QVERIFY(window->isVisible());

        QSignalSpy closing(window.get(), &MainWindow::closing);
        findAction(tray->menu(), "退出")->trigger();
        QCOMPARE(closing.count(), 1);
        QVERIFY(!window->isVisible());
        QVERIFY(fx->ctx->closing);
    }

    // The test runs on a worker; its answer, one line a receiver, comes into the log.
    void testNotificationAnswersInTheLog() {
        qputenv("VIGILO_WEBHOOK_URL", "http://127.0.0.1:9/hook");  // nobody listens there
        findAction(tray->menu(), "发送测试通知")->trigger();
        qunsetenv("VIGILO_WEBHOOK_URL");
        QTRY_VERIFY_WITH_TIMEOUT(
            QString::fromStdString(fx->ctx->log.text())
                .contains(QStringLiteral("：测试通知 事件推送（VIGILO_WEBHOOK_URL）：未送达（无法连接，")),
            20000);
        findAction(tray->menu(), "发送测试通知")->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(
            QString::fromStdString(fx->ctx->log.text()).contains(QStringLiteral("：测试通知：未设置接收方")), 20000);
    }

    void tipTellsWhetherTheMonitorsRun() {
        QVERIFY(!tray->monitorsRunning());
        QCOMPARE(tray->icon()->toolTip(), QString("Vigilo\n作品监控：未运行\n直播监控：未运行"));
        fx->ctx->worksRunning = true;
        test::Fixture::addRow(fx->ctx->roomTable, {"主播阿星", "7200000000000000011"});
        test::Fixture::addRow(fx->ctx->roomTable, {"夜跑的阿杰", "7200000000000000022"});
        tray->refresh();
        QVERIFY(tray->monitorsRunning());
        QCOMPARE(tray->icon()->toolTip(), QString("Vigilo\n作品监控：运行中\n直播监控：2 个房间"));
        fx->ctx->worksRunning = false;
    }

    // The entry follows the room it was opened on and survives in the settings file.
    void roomMenuSetsAlertOnlyInTheSettingsFile() {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        test::Fixture::addRow(fx->ctx->roomTable, {"主播阿星", "7200000000000000011"});
        test::Fixture::addRow(fx->ctx->roomTable, {"夜跑的阿杰", "7200000000000000022"});
        window->applyPendingChanges();
        QAction* entry = findAction(window->roomMenu(), "仅提醒，不录制");
        QVERIFY(entry && entry->isCheckable());
        const auto file = fx->ctx->paths.settingsFile();

        window->popupRoomMenu(1, QPoint(10, 10));
        QVERIFY(!entry->isChecked());
        entry->trigger();
        window->roomMenu()->hide();
        QVERIFY(fx->ctx->settings.notifyOnly("7200000000000000022"));
        QVERIFY(!fx->ctx->settings.notifyOnly("7200000000000000011"));
        QCOMPARE(parseSettings(vigilo::testing::readBytes(file)).notifyOnlyRooms,
                 (std::set<std::string>{"7200000000000000022"}));

        window->popupRoomMenu(0, QPoint(10, 10));
        QVERIFY(!entry->isChecked());
        window->roomMenu()->hide();
        window->popupRoomMenu(1, QPoint(10, 10));
        QVERIFY(entry->isChecked());
        entry->trigger();
        window->roomMenu()->hide();
        QVERIFY(parseSettings(vigilo::testing::readBytes(file)).notifyOnlyRooms.empty());
        window->applyPendingChanges();
        QVERIFY(window->logText().contains("7200000000000000022：开播时只提醒，不录制"));
        QVERIFY(window->logText().contains("7200000000000000022：开播时录制"));
    }

    // A room's own quality, every room's quality and the split are kept in the settings file,
    // and the menus show what is kept each time they open.
    void roomMenuSetsQualitiesAndSplit() {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        test::Fixture::addRow(fx->ctx->roomTable, {"主播阿星", "7200000000000000011"});
        window->applyPendingChanges();
        const auto submenu = [&](const char* title) { return findAction(window->roomMenu(), title)->menu(); };
        QMenu* own = submenu("本房间画质");
        QMenu* every = submenu("全部房间画质");
        QMenu* split = submenu("分段录制");
        QVERIFY(own && every && split);

        window->popupRoomMenu(0, QPoint(10, 10));
        QVERIFY(findAction(own, "同全部房间")->isChecked());
        QVERIFY(findAction(every, "默认")->isChecked());
        QVERIFY(findAction(split, "不分段")->isChecked());
        findAction(own, "仅音频")->trigger();
        findAction(every, "原画")->trigger();
        findAction(split, "每60分钟一段")->trigger();
        window->roomMenu()->hide();

        const SettingsValues kept = parseSettings(vigilo::testing::readBytes(fx->ctx->paths.settingsFile()));
        QCOMPARE(kept.roomQualities.at("7200000000000000011"), RecordQuality::AudioOnly);
        QCOMPARE(kept.quality, RecordQuality::Origin);
        QCOMPARE(kept.splitMinutes, 60);
        window->popupRoomMenu(0, QPoint(10, 10));
        QVERIFY(findAction(own, "仅音频")->isChecked());
        QVERIFY(!findAction(own, "同全部房间")->isChecked());
        QVERIFY(findAction(every, "原画")->isChecked());
        QVERIFY(findAction(split, "每60分钟一段")->isChecked());
        findAction(own, "同全部房间")->trigger();
        window->roomMenu()->hide();
        QCOMPARE(fx->ctx->settings.qualityFor("7200000000000000011"), RecordQuality::Origin);
        window->applyPendingChanges();
        QVERIFY(window->logText().contains("7200000000000000011：录制画质 仅音频"));
        QVERIFY(window->logText().contains("分段录制：每60分钟一段"));
    }

    // The window's log keeps as many lines as the core does.
    void windowLogKeepsTheNewestLines() {
        std::string chunk;
        for (int i = 1; i <= 20500; ++i) chunk += "行" + std::to_string(i) + "\r\n";
        fx->ctx->appendLog(chunk);
        window->applyPendingChanges();
        const QStringList lines = window->logText().split('\n', Qt::SkipEmptyParts);
        QVERIFY(lines.size() <= 20000);
        QCOMPARE(lines.last(), QString("行20500"));
        QVERIFY(lines.size() >= 19999);
        QCOMPARE(lines.first(), QString("行%1").arg(20500 - lines.size() + 1));
    }
};

QTEST_MAIN(TrayTest)
#include "test_tray.moc"
