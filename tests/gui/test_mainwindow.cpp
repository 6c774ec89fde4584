// The main window: its controls, the page buttons, the radio groups, the account menu, the
// room list's double-click, and what the works buttons write into the log.
#include <QAccessible>
#include <QAction>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTextDocument>
#include <QToolTip>
#include <QtTest>
#include <thread>

#include "fixture.h"
#include "gui/fonts.h"
#include "gui/imagebutton.h"
#include "gui/mainwindow.h"
#include "gui/reportlist.h"
#include "gui/supportwindow.h"
#include "gui/tablemodel.h"

using namespace vigilo;
using namespace vigilo::gui;

namespace {

QString caption(QWidget* w) {
    if (auto* box = qobject_cast<QGroupBox*>(w)) return box->title();
    if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text();
    if (auto* edit = qobject_cast<QPlainTextEdit*>(w)) return edit->toPlainText();
    return {};
}

QAction* findAction(QMenu* menu, const QString& text) {
    for (QAction* action : menu->actions()) {
        if (action->text() == text) return action;
        if (action->menu())
            if (QAction* inner = findAction(action->menu(), text)) return inner;
    }
    return nullptr;
}

QStringList lines(const QString& text) { return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::Fixture> fx;
    std::unique_ptr<MainWindow> window;

    template <class T = QWidget>
    T* control(const char* name) {
        return window->findChild<T*>(QString::fromUtf8(name));
    }
    void settle() { window->applyPendingChanges(); }
    void fillAccounts() {
        test::Fixture::addRow(fx->ctx->accountTable, {"https://v.example/a/", "1001", "MS4a", "short-a", "甲", "12",
                                                      "3", "post a", "0", "id-a", "play-a"});
        test::Fixture::addRow(fx->ctx->accountTable, {"https://v.example/b/", "1002", "MS4b", "short-b", "乙🎉", "1.5w",
                                                      "8", "post b", "0", "id-b", "play-b"});
        settle();
    }

private slots:
    void init() {
        fx = std::make_unique<test::Fixture>();
        window = std::make_unique<MainWindow>(*fx->controller);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }
    void cleanup() {
        window.reset();
        fx.reset();
    }

    void controlsHaveTheirPlacesCaptionsAndDefaults() {
        QCOMPARE(window->windowTitle(), QStringLiteral("Vigilo By：Kestrel"));
        QCOMPARE(window->size(), QSize(990, 515));
        fx->ctx->markStarted();
        settle();

        struct Case {
            const char* name;
            const char* className;
            QRect geometry;
            const char* caption;
            int checked;  // -1: not a checkable control
        };
        const Case cases[] = {
            {"超级按钮1", "vigilo::gui::ImageButton", {424, 1, 90, 75}, "作品监控", 1},
            {"超级按钮2", "vigilo::gui::ImageButton", {560, 1, 90, 75}, "直播监控", 0},
            {"超级按钮3", "vigilo::gui::ImageButton", {704, 1, 90, 75}, "赞助支持", 0},
            {"图片框1", "QLabel", {0, 8, 288, 65}, "", -1},
            {"选择夹1", "QTabWidget", {0, 79, 1168, 406}, "", -1},
            {"分组框1", "QGroupBox", {8, 8, 288, 197}, "抖音用户主页链接", -1},
            {"编辑框1", "QPlainTextEdit", {8, 53, 270, 105}, "", -1},
            {"按钮1_加入监控列表", "QPushButton", {8, 16, 270, 32}, "加入监控列表", -1},
            {"单选框5", "QRadioButton", {16, 166, 104, 24}, "单项加入", 0},
            {"单选框6", "QRadioButton", {160, 168, 104, 24}, "多项查询", 1},
            {"分组框3", "QGroupBox", {8, 207, 290, 119}, "日志", -1},
            {"日志", "QPlainTextEdit", {7, 16, 275, 95}, "", -1},
            {"按钮_开始监控", "QPushButton", {18, 341, 96, 32}, "开始监控", -1},
            {"按钮_停止监控", "QPushButton", {170, 341, 96, 32}, "停止监控", -1},
            {"超级列表框1", "vigilo::gui::ReportList", {309, 16, 664, 352}, "", -1},
            {"分组框4", "QGroupBox", {8, 8, 288, 238}, "直播分享链接", -1},
            {"编辑框3", "QPlainTextEdit", {8, 53, 270, 177}, "", -1},
            {"按钮1_加入监控列表1", "QPushButton", {8, 16, 270, 32}, "加入监控列表", -1},
            {"分组框5", "QGroupBox", {8, 247, 288, 79}, "监控周期", -1},
            {"单选框1", "QRadioButton", {24, 16, 96, 32}, "停止监控", 0},
            {"单选框2", "QRadioButton", {152, 16, 96, 32}, "5分钟", 1},
            {"单选框3", "QRadioButton", {24, 40, 96, 32}, "10分钟", 0},
            {"单选框4", "QRadioButton", {152, 40, 96, 32}, "30分钟", 0},
            {"按钮_开始录制", "QPushButton", {8, 338, 80, 32}, "开始录制", -1},
            {"按钮_边下边播", "QPushButton", {112, 338, 80, 32}, "边下边播", -1},
            {"按钮_停止录制", "QPushButton", {213, 338, 80, 32}, "停止录制", -1},
            {"超级列表框2", "vigilo::gui::ReportList", {304, 14, 672, 360}, "", -1},
            {"状态条1", "QStatusBar", {0, 488, 1148, 20}, "", -1},
        };
        for (const Case& c : cases) {
            QWidget* w = control(c.name);
            QVERIFY2(w, c.name);
            QCOMPARE(QString::fromLatin1(w->metaObject()->className()), QString::fromLatin1(c.className));
            QCOMPARE(w->geometry(), c.geometry);
            QCOMPARE(caption(w), QString::fromUtf8(c.caption));
            QVERIFY2(w->isEnabled(), c.name);
            if (c.checked >= 0) QCOMPARE(static_cast<QAbstractButton*>(w)->isChecked(), c.checked == 1);
        }

        auto* tabs = control<QTabWidget>("选择夹1");
        QCOMPARE(tabs->count(), 2);
        QCOMPARE(tabs->tabText(0), QStringLiteral("作品监控"));
        QCOMPARE(tabs->tabText(1), QStringLiteral("直播监控"));
        QCOMPARE(tabs->currentIndex(), 0);
        // Every control sits on the page the layout names.
        QVERIFY(tabs->widget(0)->isAncestorOf(control("超级列表框1")));
        QVERIFY(tabs->widget(1)->isAncestorOf(control("超级列表框2")));
        QCOMPARE(control("编辑框1")->parentWidget(), control("分组框1"));
        QCOMPARE(control("单选框3")->parentWidget(), control("分组框5"));

        QCOMPARE(window->statusText(0), QStringLiteral("  监控状态"));
        QCOMPARE(window->statusText(1), QString());
        auto* log = control<QPlainTextEdit>("日志");
        QCOMPARE(log->palette().color(QPalette::Text), QColor(Qt::yellow));
        QCOMPARE(log->palette().color(QPalette::Base), QColor(Qt::black));
        QCOMPARE(control("超级按钮1")->font().family(), kImageButtonFamily);
        QVERIFY(control("超级按钮1")->font().bold());
        QCOMPARE(control("状态条1")->font().family(), kStatusBarFamily);
    }

    void listsHaveTheirColumns() {
        struct Column {
            const char* title;
            int width;
        };
        const std::vector<Column> accounts = {{"主页链接", 100}, {"作者UID", 0},       {"sec_uid", 0},
                                              {"抖音id", 0},     {"昵称", 100},        {"粉丝数", 100},
                                              {"作品数", 75},    {"最新作品", 200},    {"更新了*个", 70},
                                              {"最新作品ID", 0}, {"作品无水印链接", 0}};
        const std::vector<Column> rooms = {
            {"   作者", 150},  {"room_id", 0},         {"最新room_id", 0}, {"直播状态", 70}, {"直播源链接", 0},
            {"开播时间", 150}, {"     录制状态", 120}, {"  录制大小", 80}, {"录制时长", 90}, {"上一场报告", 0}};
        for (auto [list, columns] :
             {std::pair{window->accountList(), accounts}, std::pair{window->roomList(), rooms}}) {
            QCOMPARE(list->model()->columnCount(), static_cast<int>(columns.size()));
            for (int c = 0; c < static_cast<int>(columns.size()); ++c) {
                QCOMPARE(list->model()->headerData(c, Qt::Horizontal).toString(), QString::fromUtf8(columns[c].title));
                QCOMPARE(list->isColumnHidden(c), columns[c].width == 0);
                if (columns[c].width > 0) QCOMPARE(list->horizontalHeader()->sectionSize(c), columns[c].width);
            }
        }
        // Only the start time is centred.
        const int row = test::Fixture::addRow(fx->ctx->roomTable, {"主播", "1", "2"});
        settle();
        auto alignment = [&](int column) {
            return window->roomList()->model()->index(row, column).data(Qt::TextAlignmentRole).value<Qt::Alignment>();
        };
        QCOMPARE(alignment(5) & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
        QCOMPARE(alignment(0) & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
    }

    void buttonsWaitForStartUp() {
        const char* held[] = {"按钮1_加入监控列表", "按钮1_加入监控列表1", "按钮_开始监控"};
        for (const char* name : held) QVERIFY2(!control(name)->isEnabled(), name);
        QVERIFY(control("按钮_停止监控")->isEnabled());
        control<QPushButton>("按钮1_加入监控列表")->click();
        QVERIFY(fx->ctx->log.text().empty());

        fx->ctx->markStarted();
        QTRY_VERIFY(control("按钮_开始监控")->isEnabled());
        for (const char* name : held) QVERIFY2(control(name)->isEnabled(), name);
    }

    void pageButtonsSelectPages() {
        auto* one = control<ImageButton>("超级按钮1");
        auto* two = control<ImageButton>("超级按钮2");
        struct Step {
            ImageButton* click;
            bool onePressed, twoPressed;
            int page;
        };
        // Clicking the pressed button changes nothing; the other one switches.
        const Step steps[] = {
            {one, true, false, 0}, {two, false, true, 1}, {two, false, true, 1}, {one, true, false, 0}};
        for (const Step& step : steps) {
            QTest::mouseClick(step.click, Qt::LeftButton);
            QCOMPARE(one->isChecked(), step.onePressed);
            QCOMPARE(two->isChecked(), step.twoPressed);
            QCOMPARE(window->currentPage(), step.page);
        }
        // Choosing a page by its tab keeps the buttons in step.
        control<QTabWidget>("选择夹1")->setCurrentIndex(1);
        QVERIFY(!one->isChecked());
        QVERIFY(two->isChecked());
    }

    void imageButtonDrawsEachStateOnceWhenFirstShown() {
        QList<bool> drawn;
        ImageButton button(
            [&drawn](bool lit) {
                drawn.append(lit);
                QPixmap pix(90, 75);
                pix.fill(lit ? Qt::blue : Qt::gray);
                return pix;
            },
            QSize(90, 75));
        button.setCheckable(true);
        QCOMPARE(button.sizeHint(), QSize(90, 75));
        QVERIFY(drawn.isEmpty());
        auto pixelAt = [&button] { return button.grab().toImage().pixelColor(45, 10); };
        // Resting: only the rest image; pressed: the lit one; back and forth draws nothing new.
        QCOMPARE(pixelAt(), QColor(Qt::gray));
        QCOMPARE(drawn, QList<bool>{false});
        button.setChecked(true);
        QCOMPARE(pixelAt(), QColor(Qt::blue));
        button.setChecked(false);
        QCOMPARE(pixelAt(), QColor(Qt::gray));
        button.setChecked(true);
        QCOMPARE(pixelAt(), QColor(Qt::blue));
        QCOMPARE(drawn, (QList<bool>{false, true}));
    }

    void radioGroupsKeepOneOn() {
        struct Case {
            int page;
            const char* click;
            std::vector<const char*> on, off;
        };
        const Case cases[] = {
            {1, "单选框3", {"单选框3"}, {"单选框1", "单选框2", "单选框4"}},
            {1, "单选框1", {"单选框1"}, {"单选框2", "单选框3", "单选框4"}},
            {1, "单选框1", {"单选框1"}, {"单选框2", "单选框3", "单选框4"}},  // the one that is on
            {1, "单选框4", {"单选框4"}, {"单选框1", "单选框2", "单选框3"}},
            {0, "单选框5", {"单选框5", "单选框4"}, {"单选框6"}},  // the groups do not touch each other
            {0, "单选框6", {"单选框6", "单选框4"}, {"单选框5"}},
            {0, "单选框6", {"单选框6"}, {"单选框5"}},
        };
        for (const Case& c : cases) {
            window->showPage(c.page);
            QTest::mouseClick(control<QRadioButton>(c.click), Qt::LeftButton);
            for (const char* name : c.on) QVERIFY2(control<QRadioButton>(name)->isChecked(), name);
            for (const char* name : c.off) QVERIFY2(!control<QRadioButton>(name)->isChecked(), name);
        }
    }

    void accountMenuCommands() {
        QMenu* menu = window->accountMenu();
        QCOMPARE(menu->title(), QStringLiteral("菜单1"));
        QStringList texts;
        for (QAction* action : menu->actions()) texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
        QCOMPARE(texts, (QStringList{"查看直播间", "-", "删除", "复制", "清空列表", "测试用"}));
        QMenu* copy = findAction(menu, QStringLiteral("复制"))->menu();
        QVERIFY(copy);
        QStringList copyTexts;
        for (QAction* action : copy->actions()) copyTexts << action->text();
        QCOMPARE(copyTexts, (QStringList{"抖音ID号", "昵称", "UID"}));

        fillAccounts();
        TableStore& table = fx->ctx->accountTable;
        auto run = [&](const char* text) {
            QAction* action = findAction(menu, QString::fromUtf8(text));
            QVERIFY2(action, text);
            action->trigger();
            settle();
        };

        // Without a selection nothing is harmed: copies are empty, delete and test do nothing.
        fx->ui.setClipboard("stale");
        run("昵称");
        QCOMPARE(fx->ui.clipboard(), std::string());
        run("删除");
        QCOMPARE(table.rowCount(), 2);
        fx->ui.setNextInput("99");
        run("测试用");
        QCOMPARE(table.cell(0, acol::PostCount), std::string("3"));
        QCOMPARE(table.cell(1, acol::PostCount), std::string("8"));

        // With the second row selected; UID and the short id live in hidden columns.
        window->accountList()->selectRow(1);
        QCOMPARE(table.selectedRow(), 1);
        struct CopyCase {
            const char* item;
            const char* expected;
        };
        for (const CopyCase& c : {CopyCase{"抖音ID号", "short-b"}, CopyCase{"昵称", "乙🎉"}, CopyCase{"UID", "1002"}}) {
            run(c.item);
            QCOMPARE(fx->ui.clipboard(), std::string(c.expected));
        }
        run("测试用");
        QCOMPARE(fx->ui.inputRequests().back().prompt, std::string("提示"));
        QCOMPARE(fx->ui.inputRequests().back().title, std::string("收入数值"));
        QCOMPARE(table.rowSnapshot(1)[acol::PostCount], std::string("99"));
        QCOMPARE(table.cell(1, acol::NewestDesc), std::string());
        QCOMPARE(table.cell(1, acol::NewestId), std::string());
        QCOMPARE(window->accountList()->tableModel()->cellText(1, acol::PostCount), QStringLiteral("99"));

        // No room is selected: no page opens.
        const std::size_t messages = fx->ui.messages().size();
        run("查看直播间");
        QVERIFY(fx->ui.openedUrls().empty());
        QCOMPARE(fx->ui.messages().size(), messages);

        run("删除");
        QCOMPARE(table.rowCount(), 1);
        QCOMPARE(table.cell(0, acol::Nickname), std::string("甲"));
        QCOMPARE(window->accountList()->model()->rowCount(), 1);
        QCOMPARE(table.selectedRow(), -1);

        run("清空列表");
        QCOMPARE(table.rowCount(), 0);
        QCOMPARE(window->accountList()->model()->rowCount(), 0);
    }

    void rightClickShowsTheMenuAnywhereInTheList() {
        QWidget* viewport = window->accountList()->viewport();
        for (bool onRow : {false, true}) {
            if (onRow) fillAccounts();
            const QPoint at =
                onRow ? window->accountList()->visualRect(window->accountList()->model()->index(0, 0)).center()
                      : QPoint(viewport->width() / 2, viewport->height() - 10);
            QContextMenuEvent event(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
            QCoreApplication::sendEvent(viewport, &event);
            QTRY_VERIFY(window->accountMenu()->isVisible());
            window->accountMenu()->hide();
        }
    }

    void roomDoubleClickCopiesTheHiddenLatestRoomId() {
        for (int i = 0; i < 3; ++i)
            test::Fixture::addRow(fx->ctx->roomTable, {"主播" + std::to_string(i), "room-" + std::to_string(i),
                                                       "latest-" + std::to_string(i), "正在直播"});
        settle();
        window->showPage(1);
        ReportList* list = window->roomList();
        const QPoint at = list->visualRect(list->model()->index(1, 0)).center();
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(fx->ctx->roomTable.selectedRow(), 1);
        QCOMPARE(fx->ui.clipboard(), std::string("latest-1"));
    }

    void livePageControlsSteerTheLiveMonitor() {
        fx->ctx->markStarted();
        window->showPage(1);
        struct PeriodCase {
            const char* click;
            int minutes;
        };
        QVERIFY(control<QRadioButton>("单选框2")->isChecked());
        for (const PeriodCase& c : {PeriodCase{"单选框3", 10}, PeriodCase{"单选框4", 30}, PeriodCase{"单选框1", 0}}) {
            QTest::mouseClick(control<QRadioButton>(c.click), Qt::LeftButton);
            QCOMPARE(fx->ctx->settings.livePeriodMinutes(), c.minutes);
            QVERIFY2(control<QRadioButton>(c.click)->isChecked(), c.click);
        }

        // "开始录制" after a pause: passes again at once, every five minutes.
        const int row = test::Fixture::addRow(
            fx->ctx->roomTable, {"主播", "7500000000000000001", "", "已下播|未直播", "", "", "等待录制", "0KB", "0"});
        settle();
        QTest::mouseClick(control<QPushButton>("按钮_开始录制"), Qt::LeftButton);
        QCOMPARE(fx->ctx->settings.livePeriodMinutes(), 5);
        QVERIFY(control<QRadioButton>("单选框2")->isChecked());
        QVERIFY(!control<QRadioButton>("单选框1")->isChecked());
        QTRY_COMPARE(fx->ctx->roomTable.cell(row, rcol::RecordStatus), std::string("监控中|等待录制"));

        // "停止录制" ends the passes and the buttons say so, the kept choice unchanged; choosing a
        // period starts them again.
        QTest::mouseClick(control<QPushButton>("按钮_停止录制"), Qt::LeftButton);
        QTRY_VERIFY(control<QRadioButton>("单选框1")->isChecked());
        QCOMPARE(fx->ctx->settings.livePeriodMinutes(), 5);
        QTRY_VERIFY(fx->ctx->threads.waitIdle(std::chrono::milliseconds(0)));
        fx->ctx->roomTable.setCell(row, rcol::RecordStatus, "等待录制");
        QTest::mouseClick(control<QRadioButton>("单选框3"), Qt::LeftButton);
        QVERIFY(control<QRadioButton>("单选框3")->isChecked());
        QCOMPARE(fx->ctx->settings.livePeriodMinutes(), 10);
        QTRY_COMPARE(fx->ctx->roomTable.cell(row, rcol::RecordStatus), std::string("监控中|等待录制"));

        // A new window shows the kept choice.
        fx->controller->setLivePeriod(30);
        MainWindow second(*fx->controller);
        QVERIFY(second.findChild<QRadioButton*>(QStringLiteral("单选框4"))->isChecked());
        QVERIFY(!second.findChild<QRadioButton*>(QStringLiteral("单选框2"))->isChecked());

        // "查看直播间" opens the page of the room selected in the room table.
        test::Fixture::addRow(fx->ctx->roomTable, {"直播中", "7500000000000000002", "7500000000000000003", "正在直播"});
        settle();
        window->roomList()->selectRow(1);
        QAction* view = findAction(window->accountMenu(), QStringLiteral("查看直播间"));
        QVERIFY(view);
        view->trigger();
        QCOMPARE(fx->ui.openedUrls(),
                 std::vector<std::string>{"http://127.0.0.1:9/webcast/reflow/7500000000000000003"});
    }

    void worksButtonsWriteTheLog() {
        fx->ctx->markStarted();
        settle();
        const QRegularExpression stamped(QStringLiteral("^\\d{2,4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d：(.*)$"));
        auto messages = [&] {
            settle();
            QStringList result;
            for (const QString& line : lines(window->logText())) {
                const auto match = stamped.match(line);
                result << (match.hasMatch() ? match.captured(1) : QStringLiteral("unstamped: ") + line);
            }
            return result;
        };

        // Stop while idle still logs and sets the status.
        control<QPushButton>("按钮_停止监控")->click();
        QCOMPARE(messages(), QStringList{"监控停止"});
        QCOMPARE(window->statusText(1), QStringLiteral("视频监控停止"));
        QVERIFY(control("按钮_开始监控")->isEnabled());
        QVERIFY(!control("按钮_停止监控")->isEnabled());

        control<QPushButton>("按钮_开始监控")->click();
        settle();
        QCOMPARE(window->statusText(1), QStringLiteral("视频监控中……"));
        QVERIFY(!control("按钮_开始监控")->isEnabled());
        QVERIFY(control("按钮_停止监控")->isEnabled());

        // Adding accounts logs the query line, then stops the monitor.
        control<QPlainTextEdit>("编辑框1")->setPlainText(QStringLiteral("https://v.example/a/\nhttps://v.example/b/"));
        control<QPushButton>("按钮1_加入监控列表")->click();
        QCOMPARE(messages(), (QStringList{"监控停止", "监控开始", "查询中，请稍后……", "监控停止"}));
        QCOMPARE(window->statusText(1), QStringLiteral("视频监控停止"));
        QVERIFY(control("按钮_开始监控")->isEnabled());
        QVERIFY(!control("按钮_停止监控")->isEnabled());
        QVERIFY(!fx->ctx->worksRunning);
        // The box went to its file with CR LF line ends.
        QFile file(QDir(fx->dir.path()).filePath(QStringLiteral("文件1.txt")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("https://v.example/a/\r\nhttps://v.example/b/"));
    }

    void logFollowsWritersOnOtherThreads() {
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t)
            writers.emplace_back([this, t] {
                for (int i = 0; i < 50; ++i)
                    fx->ctx->appendLog("w" + std::to_string(t) + "-" + std::to_string(i) + "\r\n");
            });
        for (auto& w : writers) w.join();
        QTRY_COMPARE(lines(window->logText()).size(), 200);
        // Each line arrives whole, and each writer's lines keep their order.
        int next[4] = {0, 0, 0, 0};
        for (const QString& line : lines(window->logText())) {
            const QStringList parts = line.mid(1).split(QLatin1Char('-'));
            QCOMPARE(parts.size(), 2);
            const int t = parts[0].toInt();
            QCOMPARE(parts[1].toInt(), next[t]++);
        }
        QCOMPARE(window->logText(), QString::fromStdString(fx->ctx->log.text()).remove(QLatin1Char('\r')));
    }

    // A screen reader finds a window with its title, and two tables named after their pages
    // whose visible columns carry their titles as column headers; hidden columns and the
    // values in them are never read out.
    void screenReaderSeesTheWindowAndItsTables() {
        QAccessibleInterface* main = QAccessible::queryAccessibleInterface(window.get());
        QVERIFY(main);
        QCOMPARE(main->role(), QAccessible::Window);
        QCOMPARE(main->text(QAccessible::Name), QStringLiteral("Vigilo By：Kestrel"));

        fillAccounts();
        test::Fixture::addRow(fx->ctx->roomTable,
                              {"主播", "7300000000000000001", "7300000000000000002", "已下播|未直播",
                               "http://127.0.0.1:9/stage/a.flv", "2021-04-30 16:27:14", "等待录制"});
        settle();
        struct Table {
            ReportList* list;
            QString name;
            QStringList headers;
            QStringList firstRow;
            QStringList hiddenValues;
        };
        const Table tables[] = {
            {window->accountList(),
             QStringLiteral("作品监控"),
             {"主页链接", "昵称", "粉丝数", "作品数", "最新作品", "更新了*个"},
             {"https://v.example/a/", "甲", "12", "3", "post a", "0"},
             {"1001", "MS4a", "short-a", "id-a", "play-a", "作者UID", "sec_uid", "作品无水印链接"}},
            {window->roomList(),
             QStringLiteral("直播监控"),
             {"作者", "直播状态", "开播时间", "录制状态", "录制大小", "录制时长"},
             {"主播", "已下播|未直播", "2021-04-30 16:27:14", "等待录制", "", ""},
             {"7300000000000000001", "7300000000000000002", "http://127.0.0.1:9/stage/a.flv", "room_id", "直播源链接"}},
        };
        for (const Table& t : tables) {
            QAccessibleInterface* list = QAccessible::queryAccessibleInterface(t.list);
            QVERIFY(list);
            QCOMPARE(list->role(), QAccessible::Table);
            QCOMPARE(list->text(QAccessible::Name), t.name);
            QAccessibleTableInterface* table = list->tableInterface();
            QVERIFY(table);
            QCOMPARE(table->columnCount(), t.headers.size());
            QCOMPARE(table->rowCount(), t.list->tableModel()->rowCount());
            QCOMPARE(list->childCount(), (table->rowCount() + 1) * table->columnCount());
            QStringList spoken;
            for (int i = 0; i < list->childCount(); ++i) {
                QAccessibleInterface* child = list->child(i);
                QVERIFY(child);
                QCOMPARE(list->indexOfChild(child), i);
                QCOMPARE(child->parent(), list);
                spoken << child->text(QAccessible::Name);
            }
            for (int c = 0; c < t.headers.size(); ++c) {
                QAccessibleInterface* header = list->child(c);
                QCOMPARE(header->role(), QAccessible::ColumnHeader);
                QCOMPARE(header->text(QAccessible::Name), t.headers[c]);
                QCOMPARE(table->columnDescription(c), t.headers[c]);
                QAccessibleInterface* cell = table->cellAt(0, c);
                QVERIFY(cell);
                QCOMPARE(cell->role(), QAccessible::Cell);
                QCOMPARE(cell->text(QAccessible::Name), t.firstRow[c]);
                QAccessibleTableCellInterface* place = cell->tableCellInterface();
                QVERIFY(place);
                QCOMPARE(place->rowIndex(), 0);
                QCOMPARE(place->columnIndex(), c);
                const auto headers = place->columnHeaderCells();
                QCOMPARE(headers.size(), 1);
                QCOMPARE(headers[0]->text(QAccessible::Name), t.headers[c]);
            }
            for (const QString& hidden : t.hiddenValues) QVERIFY2(!spoken.contains(hidden), qPrintable(hidden));
            // A cell under the pointer is found where the user sees it.
            const QRect first = t.list->visualRect(t.list->model()->index(0, 0));
            QAccessibleInterface* hit = list->childAt(t.list->viewport()->mapToGlobal(first.center()).x(),
                                                      t.list->viewport()->mapToGlobal(first.center()).y());
            QVERIFY(hit);
            QCOMPARE(hit->text(QAccessible::Name), t.firstRow[0]);
        }
        // Rows going away take their cells with them.
        fx->ctx->accountTable.deleteAll();
        settle();
        QAccessibleInterface* accounts = QAccessible::queryAccessibleInterface(window->accountList());
        QCOMPARE(accounts->tableInterface()->rowCount(), 0);
        QCOMPARE(accounts->childCount(), accounts->tableInterface()->columnCount());
        QVERIFY(!accounts->tableInterface()->cellAt(0, 0));
    }

    // A cell too narrow for its text, or holding more than one line, shows the whole text as
    // its tooltip, as plain text; a cell that shows everything has none.
    void truncatedCellsShowTheirWholeTextAsATooltip() {
        const QString link = QStringLiteral("http://127.0.0.1:40000/share/user/MS4wLjABAAAAsample");
        const QString twoLines = QStringLiteral("第一行 <b>not bold</b>\r\n第二行");
        test::Fixture::addRow(fx->ctx->accountTable,
                              {link.toStdString(), "1", "MS4", "s", "甲", "12", "3", twoLines.toStdString(), "0"});
        test::Fixture::addRow(fx->ctx->roomTable, {"主播", "1", "2", "已下播|未直播"});
        settle();
        struct Case {
            ReportList* list;
            int column;
            QString whole;  // empty: no tooltip
        };
        const Case cases[] = {
            {window->accountList(), 0, link},
            {window->accountList(), 7, QStringLiteral("第一行 <b>not bold</b>\n第二行")},
            {window->accountList(), 4, {}},
            {window->roomList(), 3, QStringLiteral("已下播|未直播")},
            {window->roomList(), 0, {}},
        };
        for (const Case& c : cases) {
            window->showPage(c.list == window->roomList() ? 1 : 0);
            const QModelIndex index = c.list->model()->index(0, c.column);
            QCOMPARE(c.list->truncatedText(index).replace(QStringLiteral("\r\n"), QStringLiteral("\n")), c.whole);
            QToolTip::hideText();
            QTRY_VERIFY(!QToolTip::isVisible());
            const QPoint at = c.list->visualRect(index).center();
            QHelpEvent help(QEvent::ToolTip, at, c.list->viewport()->mapToGlobal(at));
            QCoreApplication::sendEvent(c.list->viewport(), &help);
            if (c.whole.isEmpty()) {
                QVERIFY(!QToolTip::isVisible());
                continue;
            }
            QTRY_VERIFY(QToolTip::isVisible());
            QTextDocument shown;
            shown.setHtml(QToolTip::text());
            QString text = shown.toPlainText();
            text.replace(QChar::LineSeparator, QLatin1Char('\n'));
            QCOMPARE(text, c.whole);
        }
        QToolTip::hideText();
    }

    void supportWindowShowsTwoCodes() {
        QTest::mouseClick(control<ImageButton>("超级按钮3"), Qt::LeftButton);
        SupportWindow* support = window->supportWindow();
        QVERIFY(support);
        QTRY_VERIFY(support->isVisible());
        QVERIFY(support->isModal());
        QCOMPARE(support->windowTitle(), QStringLiteral("感谢支持"));
        QCOMPARE(support->size(), QSize(550, 320));
        struct Case {
            const char* name;
            QRect geometry;
            const char* text;
        };
        for (const Case& c : {Case{"图片框3", {0, 0, 266, 264}, ""}, Case{"图片框1", {272, 0, 266, 264}, ""},
                              Case{"标签1", {0, 264, 266, 24}, "微信"}, Case{"标签2", {266, 264, 266, 24}, "支付宝"}}) {
            auto* label = support->findChild<QLabel*>(QString::fromUtf8(c.name));
            QVERIFY2(label, c.name);
            QCOMPARE(label->geometry(), c.geometry);
            QCOMPARE(label->text(), QString::fromUtf8(c.text));
            if (!*c.text)
                QVERIFY(!label->pixmap().isNull());
            else
                QCOMPARE(label->font().family(), kSupportLabelFamily);
        }
        // Closing the main window takes the support window with it and runs the close command.
        window->close();
        QTRY_VERIFY(!support->isVisible());
        QVERIFY(fx->ctx->closing);
        QVERIFY(fx->controller->waitClosed(std::chrono::seconds(10)));
    }
};

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    installFonts();
    MainWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_mainwindow.moc"
