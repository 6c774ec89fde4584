#pragma once
#include <QPointer>
#include <QString>
#include <QWidget>
#include <mutex>
#include <optional>
#include <string>

#include "control/controller.h"
#include "gui/handoff.h"
#include "gui/supportwindow.h"

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;

namespace vigilo::gui {

class ImageButton;
class ReportList;
class TableModel;

// The main window. Every control carries its own name as object name, so it can be found by
// the name the rest of the program uses for it.
class MainWindow : public QWidget {
    Q_OBJECT
public:
    explicit MainWindow(Controller& controller, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Link-box texts as stored (CR LF or LF line ends).
    void setLinkTexts(const QString& worksLinks, const QString& liveLinks);
    // The text of a link box with the CR LF line ends the handlers and link files use.
    static std::string boxText(const QPlainTextEdit* box);

    void showPage(int index);  // as a click on the page's button would
    int currentPage() const;
    QString logText() const;
    QString statusText(int part) const;
    QMenu* accountMenu() const { return accountMenu_; }
    QMenu* roomMenu() const { return roomMenu_; }
    // Opens the room menu for `row` of the room list where a right click would.
    void popupRoomMenu(int row, const QPoint& globalPos);
    ReportList* accountList() const { return accountList_; }
    ReportList* roomList() const { return roomList_; }
    SupportWindow* supportWindow() const { return supportWindow_; }

    // Applies everything the workers queued for the log, the status bar and the tables.
    void applyPendingChanges();

signals:
    void closing();

protected:
    void closeEvent(QCloseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void buildTopBand();
    void buildWorksPage(QWidget* page);
    void buildLivePage(QWidget* page);
    // Checks the "监控周期" button of the period in the settings.
    void showLivePeriod();
    void buildStatusBar();
    void buildAccountMenu();
    void buildRoomMenu();

    void onPageButton(int index, bool pressedNow);
    void onSupport();

    struct StatusTexts {
        std::string text[2];
        bool dirty[2] = {false, false};
    };

    void queueLog(const std::string& text);
    void drainLog();
    void showLog(const std::string& text);
    void queueStatus(int part, const std::string& text);
    void drainStatus();
    void showStatus(const StatusTexts& texts);
    void queueButtons(const ButtonState& state);
    void applyButtons(const ButtonState& state);

    Controller& controller_;
    AppContext& ctx_;

    ImageButton* pageButton1_ = nullptr;
    ImageButton* pageButton2_ = nullptr;
    ImageButton* supportButton_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    QPlainTextEdit* worksLinks_ = nullptr;
    QPlainTextEdit* liveLinks_ = nullptr;
    QPlainTextEdit* log_ = nullptr;
    QPushButton* addAccounts_ = nullptr;
    QPushButton* addRooms_ = nullptr;
    QRadioButton* periodRadios_[4] = {};
    QPushButton* startWorks_ = nullptr;
    QPushButton* stopWorks_ = nullptr;
    QRadioButton* singleMode_ = nullptr;
    QRadioButton* multiMode_ = nullptr;
    TableModel* accountModel_ = nullptr;
    TableModel* roomModel_ = nullptr;
    ReportList* accountList_ = nullptr;
    ReportList* roomList_ = nullptr;
    QLabel* statusParts_[2] = {nullptr, nullptr};
    QMenu* accountMenu_ = nullptr;
    QMenu* roomMenu_ = nullptr;
    QAction* notifyOnlyAction_ = nullptr;
    QMenu* roomQualityMenu_ = nullptr;  // this room's quality; its first entry follows every room's
    QMenu* qualityMenu_ = nullptr;      // every room's quality
    QMenu* splitMenu_ = nullptr;        // the length of a recording's parts
    std::string roomMenuRoomId_;        // the room the open menu is about
    QPointer<SupportWindow> supportWindow_;

    bool closed_ = false;

    int logObserver_ = 0;
    int statusObserver_ = 0;
    int buttonsObserver_ = 0;
    // What workers hand to the window; made before the observers that feed them.
    UiHandoff<std::string> logHandoff_{this, [this](const std::string& text) { showLog(text); }};
    UiHandoff<StatusTexts> statusHandoff_{this, [this](const StatusTexts& texts) { showStatus(texts); }};
    UiHandoff<std::optional<ButtonState>> buttonsHandoff_{this, [this](const std::optional<ButtonState>& state) {
                                                              if (state) applyButtons(*state);
                                                          }};
};

}  // namespace vigilo::gui
