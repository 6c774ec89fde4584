// A windowed run from start-up to its ending: the window is there at once, the add and start
// buttons wait for start-up, and the update notice decides how the run goes on.
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include "control/startup.h"
#include "fixture.h"
#include "gui/fonts.h"
#include "gui/mainwindow.h"
#include "gui/session.h"
#include "gui/updaterwindow.h"
#include "net/http.h"
#include "sim/simulator.h"
#include "sim/tls_cert.h"
#include "support/loopback.h"

using namespace vigilo;
using namespace vigilo::gui;

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray notice(const QByteArray& state, const QByteArray& version, const QByteArray& announcement = "",
                  const QByteArray& address = "http://127.0.0.1:9/vgmon") {
    QByteArray text = "最新通知\r\n";
    if (!version.isNull()) text += "版本号【" + version + "】\r\n";
    if (!state.isNull()) text += "运营状态【" + state + "】\r\n";
    text += "公告栏【" + announcement + "】\r\n更新软件地址【" + address + "】\r\n";
    return text;
}

}  // namespace

class SessionTest : public QObject {
    Q_OBJECT

private slots:
    void normalStartRestoresTheLinkBoxesThenEnablesTheButtons() {
        test::Fixture fx;
        const QDir dir(fx.dir.path());
        // The link files are GBK with CR LF on disk.
        writeFile(dir.filePath(QStringLiteral("文件1.txt")), "https://v.douyin.com/a/\r\n\xC1\xB4\xBD\xD3");
        writeFile(dir.filePath(QStringLiteral("文件2.txt")), "https://v.douyin.com/live/\r\n");
        GuiSession session(*fx.controller, "");
        session.start();
        MainWindow& window = session.mainWindow();
        QVERIFY(window.isVisible());
        for (const char* name : {"按钮1_加入监控列表", "按钮1_加入监控列表1", "按钮_开始监控"})
            QVERIFY2(!window.findChild<QPushButton*>(QString::fromUtf8(name))->isEnabled(), name);

        QTRY_VERIFY(session.startupFinished());
        QTRY_VERIFY(window.findChild<QPushButton*>(QStringLiteral("按钮_开始监控"))->isEnabled());
        QVERIFY(window.findChild<QPushButton*>(QStringLiteral("按钮1_加入监控列表1"))->isEnabled());
        QCOMPARE(window.findChild<QPlainTextEdit*>(QStringLiteral("编辑框1"))->toPlainText(),
                 QStringLiteral("https://v.douyin.com/a/\n链接"));
        QCOMPARE(window.findChild<QPlainTextEdit*>(QStringLiteral("编辑框3"))->toPlainText(),
                 QStringLiteral("https://v.douyin.com/live/\n"));
        QVERIFY(fx.ui.messages().empty());
        QVERIFY(window.isVisible());
    }

    // While the notice is on its way the link boxes take no typing, so the restored files
    // cannot overwrite anything the user typed; once restored, the boxes are the user's.
    void linkBoxesWaitForTheRestoredFiles() {
        test::Fixture fx;
        const QDir dir(fx.dir.path());
        writeFile(dir.filePath(QStringLiteral("文件1.txt")), "https://v.douyin.com/a/");
        sim::Simulator service;
        QVERIFY(service.start());
        service.setFault(sim::kNotice, sim::Fault::Stall);
        GuiSession session(*fx.controller, service.noticeUrl());
        session.start();
        MainWindow& window = session.mainWindow();
        auto* works = window.findChild<QPlainTextEdit*>(QStringLiteral("编辑框1"));
        auto* live = window.findChild<QPlainTextEdit*>(QStringLiteral("编辑框3"));
        QVERIFY(service.waitForRequests(sim::kNotice, 1, std::chrono::seconds(30)));
        QVERIFY(!session.startupFinished());
        for (QPlainTextEdit* box : {works, live}) {
            QVERIFY(box->isReadOnly());
            box->setFocus();
            QTest::keyClicks(box, QStringLiteral("typed"));
            QCOMPARE(box->toPlainText(), QString());
        }

        service.clearFaults();  // the held notice is answered now
        QTRY_VERIFY_WITH_TIMEOUT(session.startupFinished(), 30000);
        QCOMPARE(works->toPlainText(), QStringLiteral("https://v.douyin.com/a/"));
        for (QPlainTextEdit* box : {works, live}) {
            QVERIFY(!box->isReadOnly());
            box->moveCursor(QTextCursor::End);
            QTest::keyClicks(box, QStringLiteral(" typed"));
            QVERIFY(box->toPlainText().endsWith(QStringLiteral(" typed")));
        }
        QCOMPARE(works->toPlainText(), QStringLiteral("https://v.douyin.com/a/ typed"));
    }

    void noticeEndings_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("reachable");
        QTest::addColumn<int>("ending");
        QTest::addColumn<QStringList>("messages");  // caption|text

        const QByteArray own = QByteArray::fromStdString(ownVersion());
        const QString stop = QStringLiteral("|软件因为各种原因停止更新，感谢您对本软件的支持！");
        QTest::newRow("silent start") << notice("运营中", own) << true << int(StartupEnding::Normal) << QStringList{};
        QTest::newRow("announcement, then normal") << notice("运营中", own, "今晚维护") << true
                                                   << int(StartupEnding::Normal) << QStringList{"Vigilo|今晚维护"};
        QTest::newRow("announcement before the update")
            << notice("运营中", "1.0.0.1", "新版本") << true << int(StartupEnding::Update)
            << QStringList{"Vigilo|新版本", "|软件有更新！"};
        QTest::newRow("fewer parts is another version")
            << notice("运营中", "1.0") << true << int(StartupEnding::Update) << QStringList{"|软件有更新！"};
        QTest::newRow("stopped, whatever the version")
            << notice("停运", own) << true << int(StartupEnding::Stopped) << QStringList{stop};
        QTest::newRow("no state field") << notice(QByteArray(), own) << true << int(StartupEnding::Stopped)
                                        << QStringList{stop};
        QTest::newRow("no version closes silently")
            << notice("运营中", QByteArray()) << true << int(StartupEnding::NoVersion) << QStringList{};
        QTest::newRow("no network") << QByteArray() << false << int(StartupEnding::Stopped) << QStringList{stop};
    }

    void noticeEndings() {
        QFETCH(QByteArray, body);
        QFETCH(bool, reachable);
        QFETCH(int, ending);
        QFETCH(QStringList, messages);

        vigilo::testing::LoopbackServer server;
        QVERIFY(server.start());
        server.route("/api/v3/file/sourcejump/AbCdEfG/0123456789abcdefghijklmn", 200, body.toStdString());
        test::Fixture fx;
        writeFile(QDir(fx.dir.path()).filePath(QStringLiteral("文件1.txt")), "https://v.douyin.com/a/");
        const QString url =
            reachable ? QString::fromStdString(server.url("/api/v3/file/sourcejump/AbCdEfG/0123456789abcdefghijklmn"))
                      : QStringLiteral("http://127.0.0.1:9/notice");
        GuiSession session(*fx.controller, url.toStdString());
        QSignalSpy ended(&session, &GuiSession::startupEnded);
        session.start();
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 20000);
        QCOMPARE(int(ended.first().first().value<StartupEnding>()), ending);

        QStringList shown;
        for (const auto& m : fx.ui.messages()) shown << QString::fromStdString(m.caption + "|" + m.text);
        QCOMPARE(shown, messages);

        MainWindow& window = session.mainWindow();
        const bool normal = ending == int(StartupEnding::Normal);
        QCOMPARE(window.isVisible(), normal);
        QCOMPARE(fx.ctx->started.load(), normal);
        // The update path swaps the main window for the updater; the other endings close.
        QCOMPARE(session.updaterWindow() != nullptr, ending == int(StartupEnding::Update));
        if (session.updaterWindow()) QVERIFY(session.updaterWindow()->isVisible());
        if (!normal) QVERIFY(fx.ctx->closing);
        // Only a normal start fills the boxes and lets the monitors start.
        QCOMPARE(window.findChild<QPlainTextEdit*>(QStringLiteral("编辑框1"))->toPlainText().isEmpty(), !normal);
        window.findChild<QPushButton*>(QStringLiteral("按钮_开始监控"))->click();
        QCOMPARE(fx.ctx->worksRunning.load(), normal);
    }

    // The whole update path in the window, over https: the notice announces a newer build, the
    // updater takes the main window's place (which stops the program's workers), and a press
    // of 更新 downloads the build, writes it and starts it.
    void updateFromTheWindowReachesTheNewBuild() {
        test::Fixture fx;
        const QDir dir(fx.dir.path());
        const std::string cert = dir.filePath(QStringLiteral("cert.pem")).toStdString();
        const std::string key = dir.filePath(QStringLiteral("key.pem")).toStdString();
        QVERIFY(sim::writeSelfSignedCertificate(cert, key));
        sim::Simulator service;
        QVERIFY(service.start(0, cert, key));
        QVERIFY(QString::fromStdString(service.updateUrl()).startsWith(QStringLiteral("https://")));
        const QString marker = dir.filePath(QStringLiteral("new-build-ran.txt"));
        const std::string build =
            "#!/bin/sh\necho ran > '" + marker.toStdString() + "'\n# " + std::string(200000, 'p') + "\n";
        service.setUpdateFile(build);
        service.setNotice("版本号【1.0.0.1】运营状态【运营中】公告栏【】更新软件地址【" + service.updateUrl() + "】");
        // The simulator's certificate is its own; nobody vouches for it.
        NetConfig config = netConfig();
        const NetConfig saved = config;
        config.insecureTls = true;
        setNetConfig(config);

        GuiSession session(*fx.controller, service.noticeUrl());
        QSignalSpy ended(&session, &GuiSession::startupEnded);
        session.start();
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 20000);
        QCOMPARE(int(ended.first().first().value<StartupEnding>()), int(StartupEnding::Update));
        QVERIFY(fx.ctx->closing);
        UpdaterWindow* updater = session.updaterWindow();
        QVERIFY(updater);
        QVERIFY(updater->isVisible());
        QVERIFY(!session.mainWindow().isVisible());

        QSignalSpy launched(updater, &UpdaterWindow::updateLaunched);
        QSignalSpy failed(updater, &UpdaterWindow::updateFailed);
        updater->findChild<QPushButton*>(QStringLiteral("按钮1"))->click();
        QTRY_VERIFY_WITH_TIMEOUT(launched.count() + failed.count() > 0, 30000);
        setNetConfig(saved);
        QStringList shown;
        for (const auto& m : fx.ui.messages()) shown << QString::fromStdString(m.text);
        QCOMPARE(failed.count(), 0);
        QCOMPARE(launched.count(), 1);
        QCOMPARE(shown, QStringList{QStringLiteral("软件有更新！")});
        QCOMPARE(updater->findChild<QLabel*>(QStringLiteral("透明标签1"))->text(), QStringLiteral("下载进度：100%"));
        QCOMPARE(updater->findChild<QLabel*>(QStringLiteral("透明标签2"))->text(),
                 QStringLiteral("更新成功，将自动关闭本程序"));
        QFile file(QString::fromStdString(fx.ctx->paths.updateFile().string()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll().toStdString(), build);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 10000);
        QVERIFY(!service.requests(sim::kUpdate).empty());
    }
};

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    installFonts();
    qRegisterMetaType<vigilo::StartupEnding>();
    SessionTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_session.moc"
