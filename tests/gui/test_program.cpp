// The program itself, started as a user would (offscreen): one copy at a time, and the start-up
// endings that end the run.
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <nlohmann/json.hpp>

#include "control/startup.h"
#include "sim/simulator.h"
#include "support/fixtures.h"
#include "support/loopback.h"

using namespace vigilo;

namespace {

const char* const kNoticePath = "/api/v3/file/sourcejump/AbCdEfG/0123456789abcdefghijklmn";

QString program() { return QStringLiteral(VIGILO_TEST_BINARY_DIR "/src/vigilo"); }

}  // namespace

class ProgramTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    vigilo::testing::LoopbackServer server;

    // Every run gets its own data directory; the runtime directory (where the instance mark
    // lives) is shared by the runs of one test.
    QProcessEnvironment environment(const QString& runtime) {
        static int run = 0;
        const QString home = dir.filePath(QStringLiteral("home%1").arg(++run));
        QDir().mkpath(home);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("VIGILO_HOME"), home);
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        env.insert(QStringLiteral("VIGILO_NOTICE_URL"), QString::fromStdString(server.url(kNoticePath)));
        env.insert(QStringLiteral("VIGILO_ACCOUNT_ENDPOINT"), QStringLiteral("http://127.0.0.1:9"));
        env.insert(QStringLiteral("VIGILO_LIVE_ENDPOINT"), QStringLiteral("http://127.0.0.1:9"));
        env.insert(QStringLiteral("VIGILO_MESSAGE_TIMEOUT_MS"), QStringLiteral("100"));
        return env;
    }
    QString runtimeDir(const char* name) {
        const QString path = dir.filePath(QString::fromLatin1(name));
        QDir().mkpath(path);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }
    void setNotice(const QByteArray& text) { server.route(kNoticePath, 200, text.toStdString()); }
    int notices() const { return server.hits(kNoticePath); }

    struct Ended {
        int code;
        QString errors;
    };
    static Ended runToEnd(const QString& path, const QProcessEnvironment& env) {
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(path, {});
        if (!process.waitForFinished(30000)) {
            process.kill();
            process.waitForFinished();
            return {-1, QStringLiteral("did not end")};
        }
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2,
                QString::fromUtf8(process.readAllStandardError())};
    }

private slots:
    void initTestCase() { QVERIFY(server.start()); }

    void oneCopyAtATime() {
        const QByteArray own = QByteArray::fromStdString(ownVersion());
        setNotice("运营状态【运营中】版本号【" + own + "】公告栏【】");
        const QString runtime = runtimeDir("run-single");

        QProcess first;
        first.setProcessEnvironment(environment(runtime));
        first.start(program(), {});
        // The notice is fetched after the mark is taken.
        QTRY_COMPARE_WITH_TIMEOUT(notices(), 1, 30000);

        // A second copy, and a copy under another name, say so and end before any request.
        const QString renamed = dir.filePath(QStringLiteral("another-name"));
        QVERIFY(QFile::copy(program(), renamed));
        for (const QString& path : {program(), renamed}) {
            const Ended second = runToEnd(path, environment(runtime));
            QCOMPARE(second.code, 0);
            QVERIFY2(second.errors.contains(QStringLiteral("友情提醒: 软件已启动！")), qPrintable(second.errors));
            QCOMPARE(notices(), 1);
        }
        QCOMPARE(first.state(), QProcess::Running);

        // However the first copy ends, the next one starts.
        first.kill();  // SIGKILL: no chance to clean up
        QVERIFY(first.waitForFinished(10000));
        QProcess third;
        third.setProcessEnvironment(environment(runtime));
        third.start(program(), {});
        QTRY_COMPARE_WITH_TIMEOUT(notices(), 2, 30000);
        QTest::qWait(300);
        QCOMPARE(third.state(), QProcess::Running);
        third.kill();
        third.waitForFinished(10000);
    }

    // VIGILO_WEB in the window: the page's address is told at start, and an account added
    // through the API shows in the window's table with what the service says of it.
    void theWindowServesTheWebPage() {
        setNotice("运营状态【运营中】版本号【" + QByteArray::fromStdString(ownVersion()) + "】公告栏【】");
        sim::Simulator service;
        QVERIFY(service.start());
        const sim::Account account = vigilo::testing::makeAccount("5501", "窗口网页");
        service.addAccount(account);
        QProcessEnvironment env = environment(runtimeDir("run-web"));
        env.insert(QStringLiteral("VIGILO_WEB"), QStringLiteral("0"));
        env.insert(QStringLiteral("VIGILO_ACCOUNT_ENDPOINT"), QString::fromStdString(service.baseUrl()));
        const QString home = env.value(QStringLiteral("VIGILO_HOME"));
        QProcess window;
        window.setProcessEnvironment(env);
        window.start(program(), {});
        QString errors;
        const QRegularExpression started(QStringLiteral("web page: http://127\\.0\\.0\\.1:(\\d+)/"));
        QRegularExpressionMatch match;
        QTRY_VERIFY_WITH_TIMEOUT(
            (errors += QString::fromUtf8(window.readAllStandardError()), (match = started.match(errors)).hasMatch()),
            30000);
        QFile tokenFile(home + QStringLiteral("/web-token"));
        QVERIFY(tokenFile.open(QIODevice::ReadOnly));
        const std::string token = tokenFile.readAll().trimmed().toStdString();
        httplib::Client client("127.0.0.1", match.captured(1).toInt());
        client.set_read_timeout(std::chrono::seconds(20));
        const httplib::Headers auth{{"Authorization", "Bearer " + token}};
        QCOMPARE(client.Get("/api/state")->status, 401);

        // Start-up finishes after the notice; until then the add is refused as the button is off.
        const std::string add =
            nlohmann::json{{"links", service.accountShareLink(account.secUid)}, {"mode", "single"}}.dump();
        QTRY_COMPARE_WITH_TIMEOUT(client.Post("/api/accounts", auth, add, "application/json")->status, 200, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(client.Get("/api/tables/accounts", auth)->body.find("窗口网页") != std::string::npos,
                                 30000);
        QCOMPARE(window.state(), QProcess::Running);
        window.kill();
        window.waitForFinished(10000);
    }

    void startUpEndingsThatEndTheRun_data() {
        QTest::addColumn<QByteArray>("notice");
        QTest::addColumn<QString>("message");
        QTest::newRow("stopped") << QByteArray("运营状态【暂停】版本号【1.0.0.0】")
                                 << QStringLiteral("软件因为各种原因停止更新，感谢您对本软件的支持！");
        QTest::newRow("no version") << QByteArray("运营状态【运营中】") << QString();
    }

    void startUpEndingsThatEndTheRun() {
        QFETCH(QByteArray, notice);
        QFETCH(QString, message);
        setNotice(notice);
        const Ended run = runToEnd(program(), environment(runtimeDir("run-endings")));
        QCOMPARE(run.code, 0);
        if (message.isEmpty())
            QVERIFY2(!run.errors.contains(QStringLiteral("vigilo:")), qPrintable(run.errors));
        else
            QVERIFY2(run.errors.contains(message), qPrintable(run.errors));
    }
};

QTEST_GUILESS_MAIN(ProgramTest)
#include "test_program.moc"
