#include "gui/reportlist.h"

#include <QAccessible>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QMouseEvent>
#include <QTextDocument>
#include <QToolTip>

#include "gui/accessibility.h"

namespace vigilo::gui {

ReportList::ReportList(TableModel* model, QWidget* parent) : QTableView(parent), model_(model) {
    installAccessibility();
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

QString ReportList::truncatedText(const QModelIndex& index) const {
    if (!index.isValid()) return {};
    const QString text = model_->cellText(index.row(), index.column());
    if (text.isEmpty()) return {};
    if (text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'))) return text;
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.rect = visualRect(index);
    QAbstractItemDelegate* delegate = itemDelegateForIndex(index);
    if (!delegate || delegate->sizeHint(option, index).width() <= option.rect.width()) return {};
    return text;
}

bool ReportList::viewportEvent(QEvent* event) {
    if (event->type() != QEvent::ToolTip) return QTableView::viewportEvent(event);
    const auto* help = static_cast<QHelpEvent*>(event);
    const QModelIndex index = indexAt(help->pos());
    const QString full = truncatedText(index);
    if (full.isEmpty()) {
        QToolTip::hideText();
        event->ignore();
        return true;
    }
    // Service texts are shown as plain text, whatever markup they hold, line breaks kept.
    const QString shown = Qt::convertFromPlainText(QString(full).replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
                                                   Qt::WhiteSpaceNormal);
    QToolTip::showText(help->globalPos(), shown, viewport(), visualRect(index));
    return true;
}

void ReportList::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    // Not the table view's own: it numbers the cells counting the hidden columns.
    QAbstractItemView::currentChanged(current, previous);
    if (!QAccessible::isActive() || !current.isValid()) return;
    const int child = accessibleChildIndex(this, current);
    if (child < 0) return;
    QAccessibleEvent focus(this, QAccessible::Focus);
    focus.setChild(child);
    QAccessible::updateAccessibility(&focus);
}

void ReportList::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    QAbstractItemView::selectionChanged(selected, deselected);
    if (!QAccessible::isActive()) return;
    const auto announce = [this](const QItemSelection& selection, QAccessible::Event kind) {
        for (const QModelIndex& index : selection.indexes()) {
            const int child = accessibleChildIndex(this, index);
            if (child < 0) continue;
            QAccessibleEvent event(this, kind);
            event.setChild(child);
            QAccessible::updateAccessibility(&event);
        }
    };
    announce(selected, QAccessible::SelectionAdd);
    announce(deselected, QAccessible::SelectionRemove);
}

void ReportList::mouseDoubleClickEvent(QMouseEvent* event) {
    QTableView::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton) emit listDoubleClicked();
}

}  // namespace vigilo::gui
