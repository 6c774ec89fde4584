#include "gui/updaterwindow.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>

#include "control/startup.h"
#include "gui/accessibility.h"
#include "gui/qtui.h"

namespace vigilo::gui {
namespace {

QLabel* label(QWidget* parent, const char* name, QRect geometry, const char* text) {
    auto* l = new QLabel(QString::fromUtf8(text), parent);
    l->setObjectName(QString::fromUtf8(name));
    l->setGeometry(geometry);
    l->setAttribute(Qt::WA_TranslucentBackground);
    return l;
}

}  // namespace

UpdaterWindow::UpdaterWindow(AppContext& ctx, std::string updateAddress, QWidget* parent, ProgramStarter starter)
    : QWidget(parent, Qt::Window),
      ctx_(ctx),
      address_(std::move(updateAddress)),
      updater_(std::make_unique<Updater>(ctx, starter ? std::move(starter) : ProgramStarter(startUpdateBuild))) {
    setObjectName(QStringLiteral("窗口_更新"));
    setWindowTitle(windowCaption(""));
    installAccessibility();
    setFixedSize(313, 253);
    move(50, 50);

    title_ = label(this, "透明标签2", QRect(8, 8, 184, 24), "正在更新中稍等片刻.....");
    bar_ = new QProgressBar(this);
    bar_->setObjectName(QStringLiteral("进度条1"));
    bar_->setGeometry(18, 36, 276, 32);
    bar_->setRange(0, 100);
    bar_->setValue(0);
    bar_->setTextVisible(false);
    progressLabel_ = label(this, "透明标签1", QRect(23, 69, 103, 24), "下载进度：0%");
    auto* warning =
        label(this, "透明标签3", QRect(16, 104, 280, 24), "更新过程中不要强行终止程序，否则有可能更新失败！");
    // Twenty-four characters must fit the label's width.
    QFont small = warning->font();
    small.setPixelSize(11);
    warning->setFont(small);
    button_ = new QPushButton(QStringLiteral("更新"), this);
    button_->setObjectName(QStringLiteral("按钮1"));
    button_->setGeometry(78, 152, 160, 48);
    connect(button_, &QPushButton::clicked, this, &UpdaterWindow::startUpdate);
}

void UpdaterWindow::startUpdate() {
    // The button stays enabled; a press while a download runs does nothing.
    if (downloading_) return;
    // Progress and the end arrive on the download thread. They travel as queued calls through
    // the application object, which outlives every window, and land only where the window
    // still exists; a failure's message box is shown there too.
    const QPointer<UpdaterWindow> self(this);
    downloading_ = updater_->startUpdate(
        address_,
        [self](const UpdateProgress& progress) {
            QMetaObject::invokeMethod(
                qApp,
                [self, progress] {
                    if (self) self->showProgress(progress);
                },
                Qt::QueuedConnection);
        },
        [self](const DownloadResult& result) {
            QMetaObject::invokeMethod(
                qApp,
                [self, result] {
                    if (self) self->finish(result);
                },
                Qt::QueuedConnection);
        });
}

void UpdaterWindow::showProgress(const UpdateProgress& progress) {
    if (progress.bar < 0) {
        bar_->setRange(0, 0);  // no size announced: a busy bar
    } else {
        if (bar_->maximum() != 100) bar_->setRange(0, 100);
        bar_->setValue(progress.bar);
    }
    progressLabel_->setText(QString::fromStdString(progress.label));
}

void UpdaterWindow::finish(const DownloadResult& result) {
    downloading_ = false;
    if (result.code != 0) {
        // A refusal is said where the user looks, beside its message box.
        if (isUpdateRefusal(result.message)) title_->setText(QString::fromStdString(result.message));
        updater_->tellFailure(result);
        emit updateFailed();
        return;
    }
    if (bar_->maximum() == 0) bar_->setRange(0, 100);
    bar_->setValue(100);
    // Success is announced only once the new build runs; until then this copy keeps its mark.
    std::string why;
    if (!updater_->launch(&why)) {
        const QString text = QString::fromUtf8(kUpdateStartFailed.data(), static_cast<int>(kUpdateStartFailed.size()));
        title_->setText(text);
        ctx_.ui.messageBox(std::string(kUpdateStartFailed), "", MessageIcon::Warning);
        emit updateFailed();
        return;
    }
    title_->setText(QString::fromUtf8(kUpdateSucceeded.data(), static_cast<int>(kUpdateSucceeded.size())));
    emit updateLaunched();
}

}  // namespace vigilo::gui
