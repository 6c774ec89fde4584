#include "gui/tablemodel.h"

#include <QMetaObject>

namespace vigilo::gui {

TableModel::TableModel(TableStore& store, QObject* parent)
    : QAbstractTableModel(parent), store_(store), columns_(store.columnCount()) {
    for (const auto& row : store_.snapshot()) {
        std::vector<QString> cells(columns_);
        for (int c = 0; c < columns_ && c < static_cast<int>(row.size()); ++c)
            cells[c] = QString::fromStdString(row[c]);
        rows_.push_back(std::move(cells));
    }
    observer_ = store_.addObserver([this](const TableChange& change) { enqueue(change); });
}

TableModel::~TableModel() {
    // Once this returns no writer can reach the model; queued drains die with the object.
    store_.removeObserver(observer_);
}

void TableModel::enqueue(const TableChange& change) {
    handoff_.push([&change](std::deque<TableChange>& pending) { pending.push_back(change); });
}

void TableModel::applyPendingChanges() { handoff_.drain(); }

void TableModel::apply(const TableChange& change) {
    const int count = static_cast<int>(rows_.size());
    switch (change.kind) {
        case TableChange::Kind::RowAppended: {
            // The store appends at the end; its index tells where, and must match ours.
            const int at = change.row >= 0 && change.row <= count ? change.row : count;
            beginInsertRows({}, at, at);
            rows_.insert(rows_.begin() + at, std::vector<QString>(columns_));
            endInsertRows();
            break;
        }
        case TableChange::Kind::RowDeleted:
            if (change.row < 0 || change.row >= count) return;
            beginRemoveRows({}, change.row, change.row);
            rows_.erase(rows_.begin() + change.row);
            endRemoveRows();
            break;
        case TableChange::Kind::Cleared:
            if (count == 0) return;
            beginResetModel();
            rows_.clear();
            endResetModel();
            break;
        case TableChange::Kind::CellWritten: {
            if (change.row < 0 || change.row >= count || change.column < 0 || change.column >= columns_) return;
            QString text = QString::fromStdString(change.text);
            QString& cell = rows_[change.row][change.column];
            if (cell == text) return;
            cell = std::move(text);
            const QModelIndex at = index(change.row, change.column);
            emit dataChanged(at, at, {Qt::DisplayRole, Qt::ToolTipRole});
            break;
        }
    }
}

int TableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : columns_; }

QString TableModel::cellText(int row, int column) const {
    if (row < 0 || row >= static_cast<int>(rows_.size()) || column < 0 || column >= columns_) return {};
    return rows_[row][column];
}

QVariant TableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    switch (role) {
        case Qt::DisplayRole: return cellText(index.row(), index.column());
        case Qt::ToolTipRole: {
            // A hidden summary of the row (the last show's report) goes with every cell's tip.
            QString tip = cellText(index.row(), index.column());
            const auto& columns = store_.columns();
            for (int c = 0; c < columns_ && c < static_cast<int>(columns.size()); ++c) {
                if (!columns[static_cast<std::size_t>(c)].inRowTooltip || c == index.column()) continue;
                const QString extra = cellText(index.row(), c);
                if (!extra.isEmpty()) tip += (tip.isEmpty() ? QString() : QStringLiteral("\n\n")) + extra;
            }
            return tip;
        }
        case Qt::TextAlignmentRole: {
            const bool centred = store_.columns()[index.column()].centred;
            return QVariant::fromValue(Qt::Alignment(centred ? Qt::AlignCenter : Qt::AlignLeft | Qt::AlignVCenter));
        }
        default: return {};
    }
}

QVariant TableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= columns_) return {};
    const TableColumn& column = store_.columns()[section];
    if (role == Qt::DisplayRole) return QString::fromStdString(column.title);
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::Alignment(column.centred ? Qt::AlignCenter : Qt::AlignLeft | Qt::AlignVCenter));
    return {};
}

}  // namespace vigilo::gui
