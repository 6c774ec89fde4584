// The table models follow their stores, whichever thread writes them.
#include <QAbstractItemModelTester>
#include <QElapsedTimer>
#include <QtTest>
#include <atomic>
#include <thread>

#include "app/table.h"
#include "gui/tablemodel.h"

using namespace vigilo;
using namespace vigilo::gui;

namespace {

std::vector<std::vector<std::string>> modelRows(const TableModel& model) {
    std::vector<std::vector<std::string>> rows;
    for (int r = 0; r < model.rowCount(); ++r) {
        std::vector<std::string> row;
        for (int c = 0; c < model.columnCount(); ++c) row.push_back(model.cellText(r, c).toStdString());
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace

class TableModelTest : public QObject {
    Q_OBJECT

private slots:
    void startsFromExistingRowsWithHiddenColumns() {
        TableStore store("RoomTable", roomColumns());
        const int row = store.appendRow();
        store.setCell(row, rcol::Owner, "主播");
        store.setCell(row, rcol::LatestRoomId, "7300000000000000001");
        TableModel model(store);
        QCOMPARE(model.rowCount(), 1);
        QCOMPARE(model.columnCount(), 10);
        QCOMPARE(model.cellText(0, rcol::LatestRoomId), QStringLiteral("7300000000000000001"));
        QCOMPARE(model.index(0, rcol::Owner).data().toString(), QStringLiteral("主播"));
        QCOMPARE(model.cellText(5, 0), QString());  // out of range reads are empty
        // The last show's report, hidden, goes with the tooltip of every cell of its row.
        QCOMPARE(model.index(0, rcol::Owner).data(Qt::ToolTipRole).toString(), QStringLiteral("主播"));
        store.setCell(row, rcol::ShowReport, "上一场 报告");
        QTRY_COMPARE(model.index(0, rcol::Owner).data(Qt::ToolTipRole).toString(),
                     QStringLiteral("主播\n\n上一场 报告"));
        QCOMPARE(model.index(0, rcol::ShowReport).data(Qt::ToolTipRole).toString(), QStringLiteral("上一场 报告"));
    }

    void followsWritersOnManyThreads() {
        TableStore store("AccountTable", accountColumns());
        TableModel model(store);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);

        // Writers append and fill rows; a deleter removes rows and once clears the table,
        // so writers also hit rows that are gone.
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t)
            threads.emplace_back([&store, t] {
                for (int i = 0; i < 60; ++i) {
                    const int row = store.appendRow();
                    for (int c = 0; c < store.columnCount(); ++c)
                        store.setCell(row, c,
                                      "t" + std::to_string(t) + "-" + std::to_string(i) + "-" + std::to_string(c));
                }
            });
        threads.emplace_back([&store, &stop] {
            int round = 0;
            while (!stop) {
                if (store.rowCount() > 3) store.deleteRow(++round % 3);
                if (round == 50) store.deleteAll();
                std::this_thread::yield();
            }
        });
        // The UI thread keeps applying while the writers run.
        for (int i = 0; i < 50; ++i) {
            QCoreApplication::processEvents();
            QTest::qWait(1);
        }
        for (int t = 0; t < 3; ++t) threads[t].join();
        stop = true;
        threads[3].join();

        QTRY_COMPARE(model.rowCount(), store.rowCount());
        QCOMPARE(modelRows(model), store.snapshot());
    }

    void ordersChangesOfOneWriter() {
        TableStore store("RoomTable", roomColumns());
        TableModel model(store);
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        std::thread writer([&store] {
            store.deleteAll();
            for (int i = 0; i < 3; ++i) store.setCell(store.appendRow(), rcol::Owner, "o" + std::to_string(i));
            store.setCell(1, rcol::RecordStatus, "正在录制");
            store.deleteRow(0);
            store.setCell(0, rcol::RecordSize, "12KB");
        });
        writer.join();
        QTRY_COMPARE(model.rowCount(), 2);
        QCOMPARE(inserted.count(), 3);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(model.cellText(0, rcol::Owner), QStringLiteral("o1"));
        QCOMPARE(model.cellText(0, rcol::RecordStatus), QStringLiteral("正在录制"));
        QCOMPARE(model.cellText(0, rcol::RecordSize), QStringLiteral("12KB"));
        QCOMPARE(model.cellText(1, rcol::Owner), QStringLiteral("o2"));
    }

    void goesAwayWhileWritersRun() {
        TableStore store("AccountTable", accountColumns());
        std::atomic<bool> stop{false};
        std::atomic<int> written{0};
        std::thread writer([&] {
            while (!stop) {
                store.setCell(store.appendRow(), acol::Nickname, "n");
                if (store.rowCount() > 50) store.deleteRow(0);
                ++written;
                std::this_thread::yield();
            }
        });
        QTRY_VERIFY(written > 0);
        // Models come and go until the writer has written beside them a good many times: on a
        // loaded machine twenty rounds may pass while the writer waits for a processor.
        const int before = written;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 20 || (written - before < 20 && clock.elapsed() < 30000); ++i) {
            auto model = std::make_unique<TableModel>(store);
            QCoreApplication::processEvents();
            model.reset();
            QCoreApplication::processEvents();
        }
        stop = true;
        writer.join();
        QVERIFY(written - before >= 20);
    }
};

QTEST_MAIN(TableModelTest)
#include "test_tablemodel.moc"
