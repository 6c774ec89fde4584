#include "gui/session.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "app/linkfile.h"
#include "control/programrun.h"
#include "gui/desktopnotifier.h"
#include "gui/fonts.h"
#include "gui/handoff.h"
#include "gui/images.h"
#include "gui/mainwindow.h"
#include "gui/qtui.h"
#include "gui/supportwindow.h"
#include "gui/tray.h"
#include "gui/updaterwindow.h"
#include "text/strings.h"
#include "text/timefmt.h"
#include "web/server.h"

namespace vigilo::gui {

GuiSession::GuiSession(Controller& controller, std::string noticeUrl, QObject* parent)
    : QObject(parent),
      controller_(controller),
      noticeUrl_(std::move(noticeUrl)),
      main_(std::make_unique<MainWindow>(controller)) {}

GuiSession::~GuiSession() {
    if (updater_) delete updater_.data();
}

void GuiSession::start() {
    // The add and start buttons stay off until start-up marks the program started.
    main_->show();
    const QPointer<GuiSession> self(this);
    startUpInBackground(controller_.context(), noticeUrl_, [self](const StartupResult& result) {
        postToUi(self, [result](GuiSession* session) { session->finishStartup(result); });
    });
}

void GuiSession::finishStartup(const StartupResult& result) {
    finished_ = true;
    switch (result.ending) {
        case StartupEnding::Normal: {
            main_->setLinkTexts(QString::fromStdString(result.linkBox1), QString::fromStdString(result.linkBox2));
            const auto links = [](const std::string& box) { return std::to_string(splitCrLf(toCrLf(box)).size()); };
            controller_.context().log.record("link boxes restored: " + links(result.linkBox1) + " account links, " +
                                             links(result.linkBox2) + " room links");
            break;
        }
        case StartupEnding::Update: {
            // The updater takes the main window's place; it is shown first so that closing the
            // main window does not end the program.
            auto* updater = new UpdaterWindow(controller_.context(), result.notice.updateAddress);
            updater->setAttribute(Qt::WA_DeleteOnClose);
            updater_ = updater;
            connect(updater, &UpdaterWindow::updateLaunched, this, [] {
                // The new build is starting; this one ends the ordinary way (the single-instance
                // guard was released before the launch).
                QCoreApplication::exit(0);
            });
            updater->show();
            main_->close();
            break;
        }
        case StartupEnding::Stopped:
        case StartupEnding::NoVersion: main_->close(); break;
    }
    emit startupEnded(result.ending);
    if (!screenshotDir_.isEmpty()) QTimer::singleShot(0, this, [this] { screenshotSequence(); });
}

void GuiSession::takeScreenshots(const QString& dir, bool pressAdd, int settleMs) {
    screenshotDir_ = dir;
    screenshotPressAdd_ = pressAdd;
    screenshotSettleMs_ = settleMs;
}

void GuiSession::screenshotSequence() {
    QDir().mkpath(screenshotDir_);
    auto save = [this](QWidget* widget, const char* name) {
        const QString path = QDir(screenshotDir_).filePath(QString::fromUtf8(name));
        if (!widget->grab().save(path)) std::fprintf(stderr, "vigilo: cannot write %s\n", qPrintable(path));
    };
    if (updater_) {
        save(updater_, "updater.png");
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        return;
    }
    if (!main_->isVisible()) {
        QCoreApplication::exit(1);
        return;
    }
    if (screenshotPressAdd_) {
        for (const char* name : {"按钮1_加入监控列表", "按钮1_加入监控列表1"})
            if (auto* button = main_->findChild<QPushButton*>(QString::fromUtf8(name))) button->click();
        if (auto* start = main_->findChild<QPushButton*>(QStringLiteral("按钮_开始监控"))) {
            // Start the works monitor once the registrations have had time to fill the table.
            QTimer::singleShot(screenshotSettleMs_ / 2, start, &QPushButton::click);
        }
    }
    // Each page is shown and given a moment to lay itself out before its picture is taken.
    QTimer::singleShot(screenshotSettleMs_, this, [this, save] {
        main_->applyPendingChanges();
        main_->showPage(0);
        QTimer::singleShot(200, this, [this, save] {
            save(main_.get(), "works.png");
            main_->showPage(1);
            QTimer::singleShot(200, this, [this, save] {
                save(main_.get(), "live.png");
                main_->showPage(0);
                SupportWindow support;
                save(&support, "support.png");
                UpdaterWindow updater(controller_.context(), "");
                save(&updater, "updater.png");
                main_->close();
            });
        });
    });
}

namespace {

struct GuiOptions {
    QString screenshotDir;
};

GuiOptions parseOptions(const QStringList& arguments) {
    GuiOptions options;
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == QLatin1String("--screenshot") && i + 1 < arguments.size())
            options.screenshotDir = arguments[++i];
    }
    return options;
}

}  // namespace

int runGui(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vigilo"));
    QApplication::setWindowIcon(appIcon());
    installFonts();
    const GuiOptions options = parseOptions(QApplication::arguments());

    QtUserInterface ui;
    FrontEnd frontEnd;
    frontEnd.mode = "window";
    const auto run = ProgramRun::open(ui, std::move(frontEnd));
    if (!run) return 0;
    AppContext& ctx = run->context();
    Controller& controller = run->controller();
    int code = 0;
    {
        DesktopNotifier desktop(ctx.events, QString::fromStdString(ctx.paths.dataDir.string()));
        GuiSession session(controller, noticeUrlFromEnvironment());
        Tray tray(controller, session.mainWindow());
        if (!options.screenshotDir.isEmpty()) {
            const char* add = std::getenv("VIGILO_SCREENSHOT_ADD");
            const char* wait = std::getenv("VIGILO_SCREENSHOT_WAIT");
            session.takeScreenshots(options.screenshotDir, add && std::string(add) == "1",
                                    wait ? std::atoi(wait) : 300);
        }
        // The web page's actions reach the controller on this thread, as the buttons' clicks do.
        QObject webReceiver;
        std::unique_ptr<web::WebServer> webServer;
        std::string webError;
        if (const auto config = web::webConfigFromEnvironment("", webError)) {
            const QPointer<QObject> guard(&webReceiver);
            webServer = std::make_unique<web::WebServer>(
                controller, [guard](std::function<void()> call) { postToUi(guard, [call](QObject*) { call(); }); },
                *config);
            if (webServer->start(webError)) {
                ctx.appendLog(logTimestamp() + "：" + webServer->startLine() + "\r\n");
                std::fprintf(stderr, "vigilo: %s\n", webServer->startLine().c_str());
            } else {
                webServer.reset();
            }
        }
        if (!webError.empty()) std::fprintf(stderr, "vigilo: web page: %s\n", webError.c_str());
        session.start();
        code = app.exec();
        if (webServer) webServer->stop();
        // From here on a worker that asks the person gets no answer instead of waiting.
        ui.shutdown();
    }
    // Every worker is asked to stop and joined: the stop reaches transfers and pauses in flight,
    // so this takes about a second. Recorders keep running in their own sessions.
    run->close();
    run->sayExit("window closed", code);
    return code;
}

}  // namespace vigilo::gui
