#pragma once
// A Qt view over one of the core's table stores. The store's observers run on whichever
// thread wrote the table, under the store's mutex, so they only queue the change; the model
// applies the queue on its own (UI) thread in the order the store made the changes, and keeps
// its own copy of the cells so rows and signals always agree.
#include <QAbstractTableModel>
#include <QString>
#include <deque>
#include <mutex>
#include <vector>

#include "app/table.h"
#include "gui/handoff.h"

namespace vigilo::gui {

class TableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // Attach while no other thread writes the store (the window is built before any worker):
    // the model starts from the store's rows and then follows its changes.
    explicit TableModel(TableStore& store, QObject* parent = nullptr);
    ~TableModel() override;

    TableStore& store() { return store_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    QString cellText(int row, int column) const;

    // Applies every change queued so far (it also runs by itself from the event loop).
    void applyPendingChanges();

private:
    void enqueue(const TableChange& change);
    void apply(const TableChange& change);

    TableStore& store_;
    const int columns_;
    int observer_ = 0;
    std::vector<std::vector<QString>> rows_;

    UiHandoff<std::deque<TableChange>> handoff_{this, [this](const std::deque<TableChange>& batch) {
                                                    for (const auto& change : batch) apply(change);
                                                }};
};

}  // namespace vigilo::gui
