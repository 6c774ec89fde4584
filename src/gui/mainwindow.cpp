#include "gui/mainwindow.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>

#include "gui/accessibility.h"
#include "gui/fonts.h"
#include "gui/imagebutton.h"
#include "gui/images.h"
#include "gui/reportlist.h"
#include "gui/supportwindow.h"
#include "gui/tablemodel.h"

namespace vigilo::gui {
namespace {

constexpr int kTopBandHeight = 79;
// The minutes of the "监控周期" buttons, in the order 单选框1 … 单选框4.
constexpr int kPeriodMinutes[4] = {0, 5, 10, 30};

template <class W, class Parent, class... Args>
W* place(Parent* parent, const char* name, QRect geometry, Args&&... args) {
    auto* widget = new W(std::forward<Args>(args)..., parent);
    widget->setObjectName(QString::fromUtf8(name));
    widget->setGeometry(geometry);
    return widget;
}

QGroupBox* groupBox(QWidget* parent, const char* name, QRect geometry, const char* title) {
    return place<QGroupBox>(parent, name, geometry, QString::fromUtf8(title));
}

QPushButton* pushButton(QWidget* parent, const char* name, QRect geometry, const char* caption) {
    return place<QPushButton>(parent, name, geometry, QString::fromUtf8(caption));
}

QRadioButton* radioButton(QWidget* parent, const char* name, QRect geometry, const char* caption, bool on) {
    auto* radio = place<QRadioButton>(parent, name, geometry, QString::fromUtf8(caption));
    radio->setChecked(on);
    return radio;
}

QPlainTextEdit* linkBox(QWidget* parent, const char* name, QRect geometry) {
    auto* box = place<QPlainTextEdit>(parent, name, geometry);
    box->setLineWrapMode(QPlainTextEdit::NoWrap);
    // Until start-up restores the box's file, typing would be overwritten by it.
    box->setReadOnly(true);
    return box;
}

}  // namespace

MainWindow::MainWindow(Controller& controller, QWidget* parent)
    : QWidget(parent), controller_(controller), ctx_(controller.context()) {
    setObjectName(QStringLiteral("启动窗口"));
    setWindowTitle(QStringLiteral("Vigilo By：Kestrel"));
    installAccessibility();
    setFixedSize(990, 515);
    move(50, 50);

    tabs_ = place<QTabWidget>(this, "选择夹1", QRect(0, kTopBandHeight, 1168, 406));
    tabs_->tabBar()->setExpanding(false);
    auto* worksPage = new QWidget;
    auto* livePage = new QWidget;
    tabs_->addTab(worksPage, QStringLiteral("作品监控"));
    tabs_->addTab(livePage, QStringLiteral("直播监控"));
    buildTopBand();
    buildWorksPage(worksPage);
    buildLivePage(livePage);
    buildStatusBar();
    buildAccountMenu();
    buildRoomMenu();
    tabs_->setCurrentIndex(0);
    // Choosing a page by its tab keeps the page buttons telling the truth.
    connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) {
        pageButton1_->setChecked(index == 0);
        pageButton2_->setChecked(index == 1);
    });

    log_->setPlainText(QString::fromStdString(ctx_.log.text()).remove(QLatin1Char('\r')));
    logObserver_ = ctx_.log.addObserver([this](const std::string& text) { queueLog(text); });
    for (int part = 0; part < 2; ++part) statusParts_[part]->setText(QString::fromStdString(ctx_.status.text(part)));
    statusObserver_ = ctx_.status.addObserver([this](int part, const std::string& text) { queueStatus(part, text); });
    // The handlers decide which command buttons are usable; the window follows.
    applyButtons(ctx_.buttons.state());
    buttonsObserver_ = ctx_.buttons.addObserver([this](const ButtonState& state) { queueButtons(state); });
}

MainWindow::~MainWindow() {
    ctx_.log.removeObserver(logObserver_);
    ctx_.status.removeObserver(statusObserver_);
    ctx_.buttons.removeObserver(buttonsObserver_);
}

void MainWindow::buildTopBand() {
    auto* banner = place<QLabel>(this, "图片框1", QRect(0, 8, 288, 65));
    banner->setPixmap(bannerPixmap(QSize(288, 65)));

    const QSize size(90, 75);
    auto makeButton = [&](const char* name, QRect geometry, const char* caption, ButtonArt art) {
        const QString text = QString::fromUtf8(caption);
        auto* button = new ImageButton([text, art, size](bool lit) { return imageButtonPixmap(text, art, lit, size); },
                                       size, this);
        button->setObjectName(QString::fromUtf8(name));
        button->setText(text);
        button->setFont(namedFont(kImageButtonFamily, 10, true));
        button->setGeometry(geometry);
        return button;
    };
    pageButton1_ = makeButton("超级按钮1", QRect(424, 1, 90, 75), "作品监控", ButtonArt::Works);
    pageButton2_ = makeButton("超级按钮2", QRect(560, 1, 90, 75), "直播监控", ButtonArt::Live);
    supportButton_ = makeButton("超级按钮3", QRect(704, 1, 90, 75), "赞助支持", ButtonArt::Support);
    pageButton1_->setCheckable(true);
    pageButton2_->setCheckable(true);
    pageButton1_->setChecked(true);
    connect(pageButton1_, &QAbstractButton::clicked, this, [this](bool on) { onPageButton(0, on); });
    connect(pageButton2_, &QAbstractButton::clicked, this, [this](bool on) { onPageButton(1, on); });
    connect(supportButton_, &QAbstractButton::clicked, this, &MainWindow::onSupport);
}

void MainWindow::buildWorksPage(QWidget* page) {
    auto* links = groupBox(page, "分组框1", QRect(8, 8, 288, 197), "抖音用户主页链接");
    worksLinks_ = linkBox(links, "编辑框1", QRect(8, 53, 270, 105));
    addAccounts_ = pushButton(links, "按钮1_加入监控列表", QRect(8, 16, 270, 32), "加入监控列表");
    singleMode_ = radioButton(links, "单选框5", QRect(16, 166, 104, 24), "单项加入", false);
    multiMode_ = radioButton(links, "单选框6", QRect(160, 168, 104, 24), "多项查询", true);

    auto* logGroup = groupBox(page, "分组框3", QRect(8, 207, 290, 119), "日志");
    log_ = place<QPlainTextEdit>(logGroup, "日志", QRect(7, 16, 275, 95));
    log_->setReadOnly(true);
    log_->setUndoRedoEnabled(false);
    // The core keeps as many lines; the whole log is in vigilo.log in the data directory.
    log_->setMaximumBlockCount(static_cast<int>(ActivityLog::kKeptLines));
    QPalette palette = log_->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setColor(group, QPalette::Base, Qt::black);
        palette.setColor(group, QPalette::Text, Qt::yellow);
    }
    log_->setPalette(palette);

    startWorks_ = pushButton(page, "按钮_开始监控", QRect(18, 341, 96, 32), "开始监控");
    stopWorks_ = pushButton(page, "按钮_停止监控", QRect(170, 341, 96, 32), "停止监控");

    accountModel_ = new TableModel(ctx_.accountTable, this);
    accountList_ = new ReportList(accountModel_, page);
    accountList_->setObjectName(QStringLiteral("超级列表框1"));
    accountList_->setAccessibleName(QStringLiteral("作品监控"));
    accountList_->setGeometry(309, 16, 664, 352);
    accountList_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(accountList_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { accountMenu_->popup(accountList_->viewport()->mapToGlobal(at)); });

    connect(addAccounts_, &QPushButton::clicked, this,
            [this] { controller_.addAccounts(boxText(worksLinks_), multiMode_->isChecked()); });
    connect(startWorks_, &QPushButton::clicked, this, [this] { controller_.startWorksMonitor(); });
    connect(stopWorks_, &QPushButton::clicked, this, [this] { controller_.stopWorksMonitor(); });
}

void MainWindow::buildLivePage(QWidget* page) {
    auto* links = groupBox(page, "分组框4", QRect(8, 8, 288, 238), "直播分享链接");
    liveLinks_ = linkBox(links, "编辑框3", QRect(8, 53, 270, 177));
    addRooms_ = pushButton(links, "按钮1_加入监控列表1", QRect(8, 16, 270, 32), "加入监控列表");

    // The live monitor's pass interval, kept in the settings file; "停止监控" pauses the passes.
    auto* period = groupBox(page, "分组框5", QRect(8, 247, 288, 79), "监控周期");
    periodRadios_[0] = radioButton(period, "单选框1", QRect(24, 16, 96, 32), "停止监控", false);
    periodRadios_[1] = radioButton(period, "单选框2", QRect(152, 16, 96, 32), "5分钟", false);
    periodRadios_[2] = radioButton(period, "单选框3", QRect(24, 40, 96, 32), "10分钟", false);
    periodRadios_[3] = radioButton(period, "单选框4", QRect(152, 40, 96, 32), "30分钟", false);
    showLivePeriod();
    // "停止录制" ends the passes from a worker thread (or from the tray, or a signal): the
    // buttons follow within half a second.
    auto* periodFollower = new QTimer(this);
    connect(periodFollower, &QTimer::timeout, this, [this] { showLivePeriod(); });
    periodFollower->start(500);
    for (int i = 0; i < 4; ++i) {
        connect(periodRadios_[i], &QRadioButton::clicked, this, [this, i] {
            controller_.setLivePeriod(kPeriodMinutes[i]);
            showLivePeriod();
        });
    }

    auto* resume = pushButton(page, "按钮_开始录制", QRect(8, 338, 80, 32), "开始录制");
    connect(resume, &QPushButton::clicked, this, [this] {
        controller_.resumeRecording();
        showLivePeriod();
    });
    auto* play = pushButton(page, "按钮_边下边播", QRect(112, 338, 80, 32), "边下边播");
    auto* stopRecording = pushButton(page, "按钮_停止录制", QRect(213, 338, 80, 32), "停止录制");

    roomModel_ = new TableModel(ctx_.roomTable, this);
    roomList_ = new ReportList(roomModel_, page);
    roomList_->setObjectName(QStringLiteral("超级列表框2"));
    roomList_->setAccessibleName(QStringLiteral("直播监控"));
    roomList_->setGeometry(304, 14, 672, 360);

    connect(addRooms_, &QPushButton::clicked, this, [this] { controller_.addRooms(boxText(liveLinks_)); });
    connect(play, &QPushButton::clicked, this, [this] { controller_.playSelectedRow(); });
    connect(stopRecording, &QPushButton::clicked, this, [this] { controller_.stopRecording(); });
    connect(roomList_, &ReportList::listDoubleClicked, this, [this] { controller_.copyLatestRoomId(); });
    roomList_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(roomList_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        const int row = roomList_->indexAt(at).row();
        if (row >= 0) popupRoomMenu(row, roomList_->viewport()->mapToGlobal(at));
    });
}

void MainWindow::buildRoomMenu() {
    roomMenu_ = new QMenu(QStringLiteral("房间菜单"), this);
    roomMenu_->setObjectName(QStringLiteral("房间菜单"));
    notifyOnlyAction_ = roomMenu_->addAction(QStringLiteral("仅提醒，不录制"));
    notifyOnlyAction_->setCheckable(true);
    connect(notifyOnlyAction_, &QAction::triggered, this,
            [this](bool on) { controller_.setNotifyOnly(roomMenuRoomId_, on); });
    // Checkable entries in one exclusive group each: the menu shows what is kept when it opens.
    const auto choices = [this](const QString& title) {
        QMenu* menu = roomMenu_->addMenu(title);
        menu->setObjectName(title);
        auto* group = new QActionGroup(menu);
        group->setExclusive(true);
        return std::pair{menu, group};
    };
    const auto entry = [](QMenu* menu, QActionGroup* group, const QString& caption, int value) {
        QAction* action = menu->addAction(caption);
        action->setCheckable(true);
        action->setData(value);
        group->addAction(action);
        return action;
    };
    {
        auto [menu, group] = choices(QStringLiteral("本房间画质"));
        roomQualityMenu_ = menu;
        connect(entry(menu, group, QStringLiteral("同全部房间"), -1), &QAction::triggered, this,
                [this] { controller_.setRoomQuality(roomMenuRoomId_, std::nullopt); });
        for (const RecordQuality quality : kAllQualities)
            connect(
                entry(
                    menu, group,
                    QString::fromUtf8(qualityCaption(quality).data(), static_cast<int>(qualityCaption(quality).size())),
                    static_cast<int>(quality)),
                &QAction::triggered, this, [this, quality] { controller_.setRoomQuality(roomMenuRoomId_, quality); });
    }
    {
        auto [menu, group] = choices(QStringLiteral("全部房间画质"));
        qualityMenu_ = menu;
        for (const RecordQuality quality : kAllQualities)
            connect(entry(menu, group,
                          QString::fromUtf8(qualityCaption(quality).data(),
                                            static_cast<int>(qualityCaption(quality).size())),
                          static_cast<int>(quality)),
                    &QAction::triggered, this, [this, quality] { controller_.setQuality(quality); });
    }
    {
        auto [menu, group] = choices(QStringLiteral("分段录制"));
        splitMenu_ = menu;
        connect(entry(menu, group, QStringLiteral("不分段"), 0), &QAction::triggered, this,
                [this] { controller_.setSplitMinutes(0); });
        for (const int minutes : {30, 60, 120})
            connect(entry(menu, group, QStringLiteral("每%1分钟一段").arg(minutes), minutes), &QAction::triggered, this,
                    [this, minutes] { controller_.setSplitMinutes(minutes); });
    }
}

void MainWindow::popupRoomMenu(int row, const QPoint& globalPos) {
    roomMenuRoomId_ = ctx_.roomTable.cell(row, rcol::RoomId);
    if (roomMenuRoomId_.empty()) return;
    notifyOnlyAction_->setChecked(ctx_.settings.notifyOnly(roomMenuRoomId_));
    const auto check = [](QMenu* menu, int value) {
        for (QAction* action : menu->actions()) action->setChecked(action->data().toInt() == value);
    };
    const std::optional<RecordQuality> own = ctx_.settings.roomQuality(roomMenuRoomId_);
    check(roomQualityMenu_, own ? static_cast<int>(*own) : -1);
    check(qualityMenu_, static_cast<int>(ctx_.settings.quality()));
    check(splitMenu_, ctx_.settings.splitMinutes());
    roomMenu_->popup(globalPos);
}

void MainWindow::showLivePeriod() {
    const int minutes = controller_.live().shownPeriod();
    for (int i = 0; i < 4; ++i) periodRadios_[i]->setChecked(kPeriodMinutes[i] == minutes);
}

void MainWindow::buildStatusBar() {
    auto* bar = place<QStatusBar>(this, "状态条1", QRect(0, 488, 1148, 20));
    bar->setSizeGripEnabled(false);
    bar->setFont(namedFont(kStatusBarFamily, 9));
    statusParts_[0] = new QLabel(bar);
    statusParts_[0]->setFixedWidth(80);
    statusParts_[1] = new QLabel(bar);
    statusParts_[1]->setMinimumWidth(0);
    for (QLabel* part : statusParts_) {
        part->setFont(bar->font());
        part->setTextFormat(Qt::PlainText);
    }
    bar->addWidget(statusParts_[0]);
    bar->addWidget(statusParts_[1], 1);
}

void MainWindow::buildAccountMenu() {
    accountMenu_ = new QMenu(QStringLiteral("菜单1"), this);
    accountMenu_->setObjectName(QStringLiteral("菜单1"));
    accountMenu_->addAction(QStringLiteral("查看直播间"), this, [this] { controller_.viewLiveRoom(); });
    accountMenu_->addSeparator();
    accountMenu_->addAction(QStringLiteral("删除"), this, [this] { controller_.deleteSelectedAccount(); });
    QMenu* copy = accountMenu_->addMenu(QStringLiteral("复制"));
    copy->addAction(QStringLiteral("抖音ID号"), this, [this] { controller_.copyAccountCell(acol::ShortId); });
    copy->addAction(QStringLiteral("昵称"), this, [this] { controller_.copyAccountCell(acol::Nickname); });
    copy->addAction(QStringLiteral("UID"), this, [this] { controller_.copyAccountCell(acol::Uid); });
    accountMenu_->addAction(QStringLiteral("清空列表"), this, [this] { controller_.clearAccounts(); });
    accountMenu_->addAction(QStringLiteral("测试用"), this, [this] { controller_.testCommand(); });
}

void MainWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(QRect(0, 0, width(), kTopBandHeight), headerBandColor());
}

void MainWindow::setLinkTexts(const QString& worksLinks, const QString& liveLinks) {
    worksLinks_->setPlainText(QString(worksLinks).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    liveLinks_->setPlainText(QString(liveLinks).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    worksLinks_->setReadOnly(false);
    liveLinks_->setReadOnly(false);
}

std::string MainWindow::boxText(const QPlainTextEdit* box) {
    return box->toPlainText().replace(QLatin1Char('\n'), QStringLiteral("\r\n")).toStdString();
}

void MainWindow::onPageButton(int index, bool pressedNow) {
    ImageButton* self = index == 0 ? pageButton1_ : pageButton2_;
    ImageButton* other = index == 0 ? pageButton2_ : pageButton1_;
    if (!pressedNow) {
        // A pressed page button cannot be released by clicking it.
        self->setChecked(true);
        return;
    }
    other->setChecked(false);
    tabs_->setCurrentIndex(index);
}

void MainWindow::showPage(int index) {
    ImageButton* button = index == 0 ? pageButton1_ : pageButton2_;
    if (!button->isChecked()) button->click();
}

int MainWindow::currentPage() const { return tabs_->currentIndex(); }

void MainWindow::onSupport() {
    if (!supportWindow_) supportWindow_ = new SupportWindow(this);
    supportWindow_->setWindowModality(Qt::ApplicationModal);
    supportWindow_->show();
    supportWindow_->raise();
    supportWindow_->activateWindow();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!closed_) {
        closed_ = true;
        if (supportWindow_) supportWindow_->close();
        controller_.closeProgram();
        emit closing();
    }
    event->accept();
}

void MainWindow::queueLog(const std::string& text) {
    logHandoff_.push([&text](std::string& pending) { pending += text; });
}

void MainWindow::drainLog() { logHandoff_.drain(); }

void MainWindow::showLog(const std::string& text) {
    if (text.empty()) return;
    QString appended = QString::fromStdString(text);
    appended.remove(QLatin1Char('\r'));
    // Append at the end without touching what is there; follow the end only when the user
    // was already looking at it.
    QScrollBar* scroll = log_->verticalScrollBar();
    const bool atEnd = scroll->value() == scroll->maximum();
    QTextCursor cursor(log_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(appended);
    if (atEnd) scroll->setValue(scroll->maximum());
}

void MainWindow::queueStatus(int part, const std::string& text) {
    if (part < 0 || part > 1) return;
    statusHandoff_.push([&](StatusTexts& pending) {
        pending.text[part] = text;
        pending.dirty[part] = true;
    });
}

void MainWindow::drainStatus() { statusHandoff_.drain(); }

void MainWindow::showStatus(const StatusTexts& texts) {
    for (int part = 0; part < 2; ++part)
        if (texts.dirty[part]) statusParts_[part]->setText(QString::fromStdString(texts.text[part]));
}

void MainWindow::queueButtons(const ButtonState& state) {
    buttonsHandoff_.push([&state](std::optional<ButtonState>& pending) { pending = state; });
}

void MainWindow::applyButtons(const ButtonState& state) {
    addAccounts_->setEnabled(state.addEnabled());
    addRooms_->setEnabled(state.addEnabled());
    startWorks_->setEnabled(state.startWorksEnabled());
    stopWorks_->setEnabled(state.stopWorksEnabled());
}

void MainWindow::applyPendingChanges() {
    drainLog();
    drainStatus();
    applyButtons(ctx_.buttons.state());
    accountModel_->applyPendingChanges();
    roomModel_->applyPendingChanges();
}

QString MainWindow::logText() const { return log_->toPlainText(); }

QString MainWindow::statusText(int part) const {
    return part >= 0 && part < 2 ? statusParts_[part]->text() : QString();
}

}  // namespace vigilo::gui
