#include "gui/reportlist.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMouseEvent>

namespace vigilo::gui {

ReportList::ReportList(TableModel* model, QWidget* parent) : QTableView(parent), model_(model) {
    setModel(model);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(false);
    setWordWrap(false);
    setAlternatingRowColors(true);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(22);
    QHeaderView* header = horizontalHeader();
    header->setHighlightSections(false);
    header->setMinimumSectionSize(0);
    header->setStretchLastSection(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    const auto& columns = model->store().columns();
    for (int c = 0; c < static_cast<int>(columns.size()); ++c) {
        header->resizeSection(c, columns[c].width);
        setColumnHidden(c, columns[c].width == 0);
    }

    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { syncSelection(); });
    // Rows that move under the selection change its index without a selection signal.
    connect(model, &QAbstractItemModel::rowsRemoved, this, [this] { syncSelection(); });
    connect(model, &QAbstractItemModel::rowsInserted, this, [this] { syncSelection(); });
    connect(model, &QAbstractItemModel::modelReset, this, [this] { syncSelection(); });
}

int ReportList::selectedRow() const {
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void ReportList::selectRow(int row) {
    if (row < 0 || row >= model_->rowCount())
        clearSelection();
    else
        QTableView::selectRow(row);
}

void ReportList::syncSelection() {
    const int row = selectedRow();
    if (model_->store().selectedRow() != row) model_->store().setSelectedRow(row);
}

void ReportList::rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end) {
    // A deleted row takes its selection with it; the view would otherwise select a neighbour
    // the user never chose.
    const int row = selectedRow();
    if (row >= start && row <= end) selectionModel()->clear();
    QTableView::rowsAboutToBeRemoved(parent, start, end);
}

void ReportList::mouseDoubleClickEvent(QMouseEvent* event) {
    QTableView::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton) emit listDoubleClicked();
}

}  // namespace vigilo::gui
