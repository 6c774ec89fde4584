#include "gui/qtui.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <cstdio>
#include <cstdlib>

namespace vigilo::gui {
namespace {

bool onUiThread() { return QCoreApplication::instance() && QThread::currentThread() == qApp->thread(); }

QMessageBox::Icon toQtIcon(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Information: return QMessageBox::Information;
        case MessageIcon::Warning: return QMessageBox::Warning;
        case MessageIcon::Error: return QMessageBox::Critical;
        case MessageIcon::Question: return QMessageBox::Question;
        case MessageIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

// VIGILO_MESSAGE_TIMEOUT_MS: message boxes close themselves after that many milliseconds.
int autoCloseMs() {
    const char* value = std::getenv("VIGILO_MESSAGE_TIMEOUT_MS");
    if (!value || !*value) return -1;
    char* end = nullptr;
    const long ms = std::strtol(value, &end, 10);
    return *end == '\0' && ms >= 0 && ms < 3600000 ? static_cast<int>(ms) : -1;
}

}  // namespace

QString windowCaption(const std::string& caption) {
    return caption.empty() ? QStringLiteral(" ") : QString::fromStdString(caption);
}

QtUserInterface::QtUserInterface() : receiver_(std::make_unique<QObject>()) {}

QtUserInterface::~QtUserInterface() { shutdown(); }

void QtUserInterface::shutdown() {
    {
        std::lock_guard lock(mutex_);
        shutdown_ = true;
    }
    finished_.notify_all();
}

bool QtUserInterface::isShutdown() const {
    std::lock_guard lock(mutex_);
    return shutdown_;
}

bool QtUserInterface::runOnUiThread(std::function<void()> job, bool wait) {
    if (onUiThread()) {
        if (isShutdown()) return false;
        job();
        return true;
    }
    auto done = std::make_shared<bool>(false);
    std::unique_lock lock(mutex_);
    if (shutdown_) return false;
    // Posting under the mutex: once shutdown() has returned nothing new reaches the receiver.
    QMetaObject::invokeMethod(
        receiver_.get(),
        [this, done, job = std::move(job)] {
            if (!isShutdown()) job();
            {
                std::lock_guard inner(mutex_);
                *done = true;
            }
            finished_.notify_all();
        },
        Qt::QueuedConnection);
    if (!wait) return true;
    finished_.wait(lock, [&] { return *done || shutdown_; });
    return *done;
}

void QtUserInterface::messageBox(const std::string& text, const std::string& caption, MessageIcon icon) {
    // Every message also goes to stderr, so a run can be followed (and checked) from outside.
    std::fprintf(stderr, "vigilo: %s%s%s\n", caption.c_str(), caption.empty() ? "" : " ", text.c_str());
    runOnUiThread(
        [text, caption, icon] {
            QMessageBox box(toQtIcon(icon), windowCaption(caption), QString::fromStdString(text), QMessageBox::Ok);
            // Unattended runs (scripts, tests of the program) let boxes close by themselves.
            if (const int ms = autoCloseMs(); ms >= 0) QTimer::singleShot(ms, &box, &QMessageBox::accept);
            box.exec();
        },
        true);
}

std::optional<std::string> QtUserInterface::inputBox(const std::string& prompt, const std::string& title) {
    auto answer = std::make_shared<std::optional<std::string>>();
    const bool ran = runOnUiThread(
        [answer, prompt, title] {
            bool ok = false;
            const QString text = QInputDialog::getText(nullptr, windowCaption(title), QString::fromStdString(prompt),
                                                       QLineEdit::Normal, {}, &ok);
            if (ok) *answer = text.toStdString();
        },
        true);
    // When shutdown released the wait, the dialog may still own the answer: read nothing.
    if (!ran) return std::nullopt;
    return *answer;
}

void QtUserInterface::setClipboard(const std::string& text) {
    runOnUiThread([text] { QGuiApplication::clipboard()->setText(QString::fromStdString(text)); }, false);
}

void QtUserInterface::openFile(const std::string& path) {
    runOnUiThread(
        [path] {
            const QString file = QString::fromStdString(path);
            const QFileInfo info(file);
            // Opening a program means running it; anything else goes to the desktop's handler.
            if (info.isFile() && info.isExecutable())
                QProcess::startDetached(info.absoluteFilePath(), {}, info.absolutePath());
            else
                QDesktopServices::openUrl(QUrl::fromLocalFile(info.absoluteFilePath()));
        },
        false);
}

void QtUserInterface::openUrl(const std::string& url) {
    runOnUiThread([url] { QDesktopServices::openUrl(QUrl(QString::fromStdString(url))); }, false);
}

}  // namespace vigilo::gui
