// Dialogs asked for from worker threads: only the asking worker waits, the window keeps
// running, and the end of the program releases a worker that still waits.
#include <QApplication>
#include <QClipboard>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QtTest>
#include <atomic>
#include <future>
#include <thread>

#include "gui/qtui.h"

using namespace vigilo;
using namespace vigilo::gui;

namespace {

template <class T>
T* activeDialog() {
    return qobject_cast<T*>(QApplication::activeModalWidget());
}

// A dialog runs its own event loop, so it is answered from inside that loop: the answer runs
// as soon as a dialog of type T is the active modal widget.
template <class T>
void answerNextDialog(std::function<void(T*)> answer) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, answer] {
        if (T* dialog = activeDialog<T>()) {
            timer->stop();
            timer->deleteLater();
            answer(dialog);
        }
    });
    timer->start();
}

}  // namespace

class QtUserInterfaceTest : public QObject {
    Q_OBJECT

private slots:
    void messageBoxFromAWorkerBlocksOnlyThatWorker() {
        struct Case {
            MessageIcon icon;
            QMessageBox::Icon shown;
        };
        for (const Case& c :
             {Case{MessageIcon::None, QMessageBox::NoIcon}, Case{MessageIcon::Warning, QMessageBox::Warning},
              Case{MessageIcon::Information, QMessageBox::Information}}) {
            QtUserInterface ui;
            std::atomic<bool> returned{false};
            QString text, title;
            QMessageBox::Icon icon{};
            bool returnedWhileShown = true;
            answerNextDialog<QMessageBox>([&](QMessageBox* box) {
                text = box->text();
                title = box->windowTitle();
                icon = box->icon();
                QTest::qWait(20);  // the UI thread runs on while the worker waits
                returnedWhileShown = returned;
                box->accept();
            });
            std::thread worker([&] {
                ui.messageBox("软件已启动！", "友情提醒:", c.icon);
                returned = true;
            });
            QTRY_VERIFY(returned);
            worker.join();
            QCOMPARE(text, QStringLiteral("软件已启动！"));
            QCOMPARE(title, QStringLiteral("友情提醒:"));
            QCOMPARE(icon, c.shown);
            QVERIFY(!returnedWhileShown);
        }
    }

    void inputBoxFromAWorkerReturnsTheAnswer() {
        for (bool accept : {true, false}) {
            QtUserInterface ui;
            QString title, label;
            answerNextDialog<QInputDialog>([&](QInputDialog* dialog) {
                title = dialog->windowTitle();
                label = dialog->labelText();
                dialog->setTextValue(QStringLiteral("12"));
                accept ? dialog->accept() : dialog->reject();
            });
            auto answer = std::async(std::launch::async, [&] { return ui.inputBox("提示", "收入数值"); });
            while (answer.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
                QCoreApplication::processEvents();
            QCOMPARE(answer.get(), accept ? std::optional<std::string>("12") : std::nullopt);
            QCOMPARE(title, QStringLiteral("收入数值"));
            QCOMPARE(label, QStringLiteral("提示"));
        }
    }

    void onTheUiThreadTheBoxIsShownThere() {
        QtUserInterface ui;
        QString text;
        answerNextDialog<QMessageBox>([&](QMessageBox* box) {
            text = box->text();
            box->accept();
        });
        ui.messageBox("正在开发中", "", MessageIcon::None);
        QCOMPARE(text, QStringLiteral("正在开发中"));
    }

    // A box without a caption must not be titled with the program's name by the window
    // system: its title is blank, not empty. A caption is shown as given.
    void captionlessBoxesHaveABlankTitle() {
        struct Case {
            const char* caption;
            bool blank;
        };
        for (const Case& c : {Case{"", true}, Case{"友情提醒:", false}, Case{"Vigilo", false}}) {
            QtUserInterface ui;
            QString title, windowTitle;
            answerNextDialog<QMessageBox>([&](QMessageBox* box) {
                title = box->windowTitle();
                if (box->windowHandle()) windowTitle = box->windowHandle()->title();
                box->accept();
            });
            ui.messageBox("软件有更新！", c.caption, MessageIcon::None);
            if (c.blank) {
                QVERIFY2(!title.isEmpty() && title.trimmed().isEmpty(), qPrintable(title));
                QCOMPARE(windowTitle, title);
            } else {
                QCOMPARE(title, QString::fromUtf8(c.caption));
            }
        }
    }

    void shutdownReleasesAWaitingWorker() {
        QtUserInterface ui;
        std::atomic<bool> returned{false};
        bool releasedWhileShown = false;
        std::optional<std::string> lateAnswer = "unset";
        answerNextDialog<QMessageBox>([&](QMessageBox* box) {
            ui.shutdown();
            QTRY_VERIFY(returned);
            releasedWhileShown = box->isVisible();
            // Once shut down, a worker's question is not shown at all.
            std::thread late([&] { lateAnswer = ui.inputBox("p", "t"); });
            late.join();
            box->accept();
        });
        std::thread worker([&] {
            ui.messageBox("never answered", "", MessageIcon::None);
            returned = true;
        });
        QTRY_VERIFY(returned);
        worker.join();
        QTRY_VERIFY(!activeDialog<QMessageBox>());
        QVERIFY(releasedWhileShown);
        QCOMPARE(lateAnswer, std::nullopt);
    }

    void clipboardFromAnyThread() {
        QtUserInterface ui;
        ui.setClipboard("7300000000000000001");
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("7300000000000000001"));
        std::thread worker([&] { ui.setClipboard("昵称🎉"); });
        worker.join();
        QTRY_COMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("昵称🎉"));
    }
};

QTEST_MAIN(QtUserInterfaceTest)
#include "test_qtui.moc"
