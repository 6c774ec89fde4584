// The updater window: progress while the new build arrives, one download at a time, and the
// hand-over to the downloaded program only when a whole 2xx answer came.
#include <sys/file.h>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include "app/guard.h"
#include "fixture.h"
#include "gui/fonts.h"
#include "gui/updaterwindow.h"
#include "net/http.h"
#include "support/loopback.h"

using namespace vigilo;
using namespace vigilo::gui;

namespace {

// A program that records that it ran, padded so it arrives in many pieces.
QByteArray updateScript(const QString& marker, int size) {
    QByteArray script = "#!/bin/sh\necho ran > '" + marker.toUtf8() + "'\n";
    while (script.size() < size) script += "# padding padding padding padding padding padding padding\n";
    return script;
}

}  // namespace

class UpdaterTest : public QObject {
    Q_OBJECT

    template <class T>
    static T* part(UpdaterWindow& window, const char* name) {
        return window.findChild<T*>(QString::fromUtf8(name));
    }

private slots:
    void layout() {
        test::Fixture fx;
        UpdaterWindow window(*fx.ctx, "");
        // No caption: a blank title, which the window system shows as nothing (an empty one
        // would be replaced by the program's name).
        QVERIFY(!window.windowTitle().isEmpty());
        QVERIFY(window.windowTitle().trimmed().isEmpty());
        QCOMPARE(window.size(), QSize(313, 253));
        struct Case {
            const char* name;
            QRect geometry;
            const char* text;
        };
        for (const Case& c :
             {Case{"透明标签2", {8, 8, 184, 24}, "正在更新中稍等片刻....."},
              Case{"透明标签1", {23, 69, 103, 24}, "下载进度：0%"},
              Case{"透明标签3", {16, 104, 280, 24}, "更新过程中不要强行终止程序，否则有可能更新失败！"}}) {
            auto* label = part<QLabel>(window, c.name);
            QVERIFY2(label, c.name);
            QCOMPARE(label->geometry(), c.geometry);
            QCOMPARE(label->text(), QString::fromUtf8(c.text));
        }
        QCOMPARE(part<QProgressBar>(window, "进度条1")->geometry(), QRect(18, 36, 276, 32));
        QCOMPARE(part<QProgressBar>(window, "进度条1")->value(), 0);
        QCOMPARE(part<QPushButton>(window, "按钮1")->geometry(), QRect(78, 152, 160, 48));
        QCOMPARE(part<QPushButton>(window, "按钮1")->text(), QStringLiteral("更新"));
    }

    void downloadsWithProgressAndStartsTheNewBuild_data() {
        QTest::addColumn<bool>("announceLength");
        QTest::newRow("with Content-Length") << true;
        QTest::newRow("without Content-Length") << false;
    }

    void downloadsWithProgressAndStartsTheNewBuild() {
        QFETCH(bool, announceLength);
        test::Fixture fx;
        const QString marker = QDir(fx.dir.path()).filePath(QStringLiteral("ran.txt"));
        const QByteArray body = updateScript(marker, 60 * 1024);
        vigilo::testing::LoopbackServer server;
        QVERIFY(server.start());
        vigilo::testing::LoopbackServer::Route slow;
        slow.body = body.toStdString();
        slow.announceLength = announceLength;
        slow.pieceBytes = 8 * 1024;
        slow.pieceDelayMs = 30;
        server.route("/vgmon", slow);
        UpdaterWindow window(*fx.ctx, server.url("/vgmon"));
        window.show();
        QSignalSpy launched(&window, &UpdaterWindow::updateLaunched);
        auto* button = part<QPushButton>(window, "按钮1");
        auto* bar = part<QProgressBar>(window, "进度条1");
        auto* progress = part<QLabel>(window, "透明标签1");

        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(window.downloading());
        // The button stays usable, but a second press while the download runs does nothing.
        QVERIFY(button->isEnabled());
        QTest::mouseClick(button, Qt::LeftButton);
        if (announceLength) {
            QTRY_VERIFY(bar->value() > 0 && bar->value() < 100);
            QVERIFY(progress->text().startsWith(QStringLiteral("下载进度：")));
            QVERIFY(progress->text().endsWith(QLatin1Char('%')));
        } else {
            QTRY_COMPARE(bar->maximum(), 0);  // a busy bar: the size is unknown
        }

        QTRY_COMPARE_WITH_TIMEOUT(launched.count(), 1, 20000);
        QCOMPARE(server.hits("/vgmon"), 1);
        if (announceLength) QCOMPARE(progress->text(), QStringLiteral("下载进度：100%"));
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 100);
        QCOMPARE(part<QLabel>(window, "透明标签2")->text(), QStringLiteral("更新成功，将自动关闭本程序"));
        QVERIFY(fx.ui.messages().empty());
        QFile file(QString::fromStdString(fx.ctx->paths.updateFile().string()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), body);
        QVERIFY(file.permissions() & QFile::ExeOwner);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(marker), 10000);
    }

    void failedDownloadStartsNothing() {
        test::Fixture fx;
        const QString marker = QDir(fx.dir.path()).filePath(QStringLiteral("ran.txt"));
        vigilo::testing::LoopbackServer server;
        QVERIFY(server.start());
        // An error page that is itself a runnable script must never be run.
        server.route("/vgmon", 404, updateScript(marker, 100).toStdString());
        UpdaterWindow window(*fx.ctx, server.url("/vgmon"));
        window.show();
        QSignalSpy launched(&window, &UpdaterWindow::updateLaunched);
        QSignalSpy failed(&window, &UpdaterWindow::updateFailed);
        QTest::mouseClick(part<QPushButton>(window, "按钮1"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 20000);
        QCOMPARE(launched.count(), 0);
        QVERIFY(!window.downloading());
        QCOMPARE(fx.ui.messages().size(), size_t(1));
        // The message, and the cause on its own line.
        QCOMPARE(QString::fromStdString(fx.ui.messages()[0].text),
                 QStringLiteral("地址失效，请进入官网下载最新版本\n原因：the server answered 404"));
        QCOMPARE(fx.ui.messages()[0].icon, MessageIcon::Information);
        QCOMPARE(part<QLabel>(window, "透明标签2")->text(), QStringLiteral("正在更新中稍等片刻....."));
        QVERIFY(!QFile::exists(QString::fromStdString(fx.ctx->paths.updateFile().string())));
        QTest::qWait(200);
        QVERIFY(!QFile::exists(marker));

        // The window stays usable: the next press tries again.
        QTest::mouseClick(part<QPushButton>(window, "按钮1"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 2, 20000);
        QCOMPARE(server.hits("/vgmon"), 2);
    }

    // Each refusal is said in the window itself, not only in its message box.
    void refusalsAreSaidInTheWindow() {
        struct Case {
            const char* name;
            bool insecure;
            std::string body;
            std::string_view text;
        };
        const Case cases[] = {
            {"plain http", false, "#!/bin/sh\n", kUpdateNotHttps},
            {"empty answer", true, "", kUpdateEmpty},
            {"not a program", true, "<html>verify you are human</html>", kUpdateNotProgram},
        };
        for (const Case& c : cases) {
            test::Fixture fx;
            NetConfig config = netConfig();
            config.insecureTls = c.insecure;
            setNetConfig(config);
            vigilo::testing::LoopbackServer server;
            QVERIFY(server.start());
            server.route("/vgmon", 200, c.body);
            UpdaterWindow window(*fx.ctx, server.url("/vgmon"));
            QSignalSpy failed(&window, &UpdaterWindow::updateFailed);
            QTest::mouseClick(part<QPushButton>(window, "按钮1"), Qt::LeftButton);
            QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 20000);
            config.insecureTls = true;
            setNetConfig(config);
            const QString text = QString::fromUtf8(c.text.data(), static_cast<int>(c.text.size()));
            QCOMPARE(part<QLabel>(window, "透明标签2")->text(), text);
            QCOMPARE(fx.ui.messages().size(), size_t(1));
            QCOMPARE(QString::fromStdString(fx.ui.messages()[0].text), text);
            QVERIFY(!QFile::exists(QString::fromStdString(fx.ctx->paths.updateFile().string())));
            QCOMPARE(server.hits("/vgmon"), c.insecure ? 1 : 0);
        }
    }

    // A build that arrives but does not start: the window says so instead of announcing
    // success, the program stays, and it keeps the single-instance mark.
    void aBuildThatDoesNotStartIsNotASuccess() {
        test::Fixture fx;
        const QByteArray runtime = QDir(fx.dir.path()).filePath(QStringLiteral("run")).toUtf8();
        QDir().mkpath(QString::fromUtf8(runtime));
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", runtime);
        QVERIFY(holdSingleInstance());

        vigilo::testing::LoopbackServer server;
        QVERIFY(server.start());
        server.route("/vgmon", 200, "#!/nonexistent/interpreter\n");
        UpdaterWindow window(*fx.ctx, server.url("/vgmon"));
        QSignalSpy launched(&window, &UpdaterWindow::updateLaunched);
        QSignalSpy failed(&window, &UpdaterWindow::updateFailed);
        QTest::mouseClick(part<QPushButton>(window, "按钮1"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 20000);
        QCOMPARE(launched.count(), 0);
        QCOMPARE(part<QLabel>(window, "透明标签2")->text(), QStringLiteral("更新文件启动失败"));
        QCOMPARE(fx.ui.messages().size(), size_t(1));
        QCOMPARE(fx.ui.messages()[0].text, std::string("更新文件启动失败"));
        // Another copy would find the mark taken.
        QFile marker(QString::fromUtf8(runtime) + QLatin1Char('/') + QString::fromStdString(instanceName()));
        QVERIFY(marker.open(QIODevice::ReadWrite));
        QVERIFY(::flock(marker.handle(), LOCK_EX | LOCK_NB) != 0);

        releaseSingleInstance();
        qputenv("XDG_RUNTIME_DIR", savedRuntime);
    }
};

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The local test server speaks plain http, which the updater takes only with this switch.
    NetConfig config = netConfig();
    config.insecureTls = true;
    setNetConfig(config);
    QApplication app(argc, argv);
    installFonts();
    UpdaterTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_updater.moc"
