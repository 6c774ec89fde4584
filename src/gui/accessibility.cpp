#include "gui/accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QHash>
#include <QHeaderView>
#include <QPointer>
#include <mutex>

#include "gui/mainwindow.h"
#include "gui/reportlist.h"
#include "gui/updaterwindow.h"

namespace vigilo::gui {
namespace {

class ListAccessible;

// One cell of a report list, or (row -1) the header of one of its columns. It names its
// place by the store's row and column; the list keeps it while that place exists.
class CellAccessible : public QAccessibleInterface, public QAccessibleTableCellInterface {
public:
    CellAccessible(ReportList* list, int row, int column) : list_(list), row_(row), column_(column) {}

    bool isValid() const override {
        if (!list_) return false;
        const TableModel* model = list_->tableModel();
        return column_ >= 0 && column_ < model->columnCount() && !list_->isColumnHidden(column_) && row_ >= -1 &&
               row_ < model->rowCount();
    }
    QObject* object() const override { return nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(list_.data()); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }

    QString text(QAccessible::Text t) const override {
        if (t != QAccessible::Name || !list_) return {};
        // The titles carry blanks for the layout of the header; a reader needs only the words.
        if (row_ < 0) return list_->tableModel()->headerData(column_, Qt::Horizontal).toString().trimmed();
        return list_->tableModel()->cellText(row_, column_);
    }
    void setText(QAccessible::Text, const QString&) override {}

    QRect rect() const override {
        if (!isValid()) return {};
        if (row_ < 0) {
            const QHeaderView* header = list_->horizontalHeader();
            const QRect local(header->sectionViewportPosition(column_), 0, header->sectionSize(column_),
                              header->height());
            return QRect(header->viewport()->mapToGlobal(local.topLeft()), local.size());
        }
        const QRect local = list_->visualRect(list_->tableModel()->index(row_, column_));
        return QRect(list_->viewport()->mapToGlobal(local.topLeft()), local.size());
    }

    QAccessible::Role role() const override { return row_ < 0 ? QAccessible::ColumnHeader : QAccessible::Cell; }

    QAccessible::State state() const override {
        QAccessible::State state;
        if (!list_) return state;
        const QRect shown = list_->viewport()->rect();
        if (row_ >= 0) {
            state.selectable = true;
            state.selected = isSelected();
            const QRect local = list_->visualRect(list_->tableModel()->index(row_, column_));
            if (!local.intersects(shown)) state.invisible = state.offscreen = true;
        }
        return state;
    }

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TableCellInterface && row_ >= 0)
            return static_cast<QAccessibleTableCellInterface*>(this);
        return nullptr;
    }

    bool isSelected() const override { return list_ && row_ >= 0 && list_->selectedRow() == row_; }
    QList<QAccessibleInterface*> columnHeaderCells() const override;
    QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
    int columnIndex() const override;
    int rowIndex() const override { return row_; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override { return parent(); }

    int row() const { return row_; }
    int column() const { return column_; }

private:
    QPointer<ReportList> list_;
    int row_, column_;
};

// A report list as a table of its visible columns. Child 0.. are the column headers, then the
// cells row by row, as the toolkit numbers a table's children.
class ListAccessible : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit ListAccessible(ReportList* list) : QAccessibleWidget(list, QAccessible::Table) {}
    ~ListAccessible() override { forget(); }

    ReportList* list() const { return static_cast<ReportList*>(widget()); }

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TableInterface) return static_cast<QAccessibleTableInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    // The store's column numbers of the visible columns, in the order they are shown.
    QList<int> shownColumns() const {
        QList<int> columns;
        const QHeaderView* header = list()->horizontalHeader();
        for (int visual = 0; visual < header->count(); ++visual) {
            const int logical = header->logicalIndex(visual);
            if (logical >= 0 && !list()->isColumnHidden(logical)) columns.push_back(logical);
        }
        return columns;
    }

    QAccessibleInterface* cell(int row, int column) const {
        if (column < 0 || list()->isColumnHidden(column) || row < -1 || row >= rowCount()) return nullptr;
        const qint64 key = (static_cast<qint64>(row) + 1) << 16 | column;
        if (const auto it = cells_.constFind(key); it != cells_.constEnd()) {
            if (QAccessibleInterface* known = QAccessible::accessibleInterface(*it)) return known;
        }
        auto* made = new CellAccessible(list(), row, column);
        cells_.insert(key, QAccessible::registerAccessibleInterface(made));
        return made;
    }

    // QAccessibleInterface
    int childCount() const override { return (rowCount() + 1) * columnCount(); }
    QAccessibleInterface* child(int index) const override {
        const QList<int> columns = shownColumns();
        if (columns.isEmpty() || index < 0 || index >= childCount()) return nullptr;
        return cell(index / columns.size() - 1, columns[index % columns.size()]);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        if (!child || child->parent() != this) return -1;
        const auto* c = dynamic_cast<const CellAccessible*>(child);
        if (!c) return -1;
        const int position = shownColumns().indexOf(c->column());
        return position < 0 ? -1 : (c->row() + 1) * columnCount() + position;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        const QPoint at = list()->viewport()->mapFromGlobal(QPoint(x, y));
        const QModelIndex index = list()->indexAt(at);
        if (index.isValid()) return cell(index.row(), index.column());
        const QHeaderView* header = list()->horizontalHeader();
        const QPoint inHeader = header->viewport()->mapFromGlobal(QPoint(x, y));
        if (header->viewport()->rect().contains(inHeader)) return cell(-1, header->logicalIndexAt(inHeader));
        return nullptr;
    }

    // QAccessibleTableInterface
    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QAccessibleInterface* cellAt(int row, int column) const override {
        const QList<int> columns = shownColumns();
        if (row < 0 || column < 0 || column >= columns.size()) return nullptr;
        return cell(row, columns[column]);
    }
    int selectedCellCount() const override { return selectedRowCount() * columnCount(); }
    QList<QAccessibleInterface*> selectedCells() const override {
        QList<QAccessibleInterface*> cells;
        for (int row : selectedRows())
            for (int column = 0; column < columnCount(); ++column) cells.push_back(cellAt(row, column));
        return cells;
    }
    QString columnDescription(int column) const override {
        const QList<int> columns = shownColumns();
        if (column < 0 || column >= columns.size()) return {};
        return list()->tableModel()->headerData(columns[column], Qt::Horizontal).toString().trimmed();
    }
    int columnCount() const override { return static_cast<int>(shownColumns().size()); }
    int rowCount() const override { return list()->tableModel()->rowCount(); }
    QString rowDescription(int) const override { return {}; }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override { return list()->selectedRow() >= 0 ? 1 : 0; }
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override {
        const int row = list()->selectedRow();
        return row >= 0 ? QList<int>{row} : QList<int>{};
    }
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override { return row >= 0 && list()->selectedRow() == row; }
    bool selectRow(int row) override {
        if (row < 0 || row >= rowCount()) return false;
        list()->selectRow(row);
        return true;
    }
    bool selectColumn(int) override { return false; }
    bool unselectRow(int row) override {
        if (!isRowSelected(row)) return false;
        list()->selectRow(-1);
        return true;
    }
    bool unselectColumn(int) override { return false; }
    // Rows come and go: the cells made so far stand for places that may no longer exist.
    void modelChange(QAccessibleTableModelChangeEvent*) override { forget(); }

private:
    void forget() {
        for (const QAccessible::Id id : std::as_const(cells_)) QAccessible::deleteAccessibleInterface(id);
        cells_.clear();
    }

    mutable QHash<qint64, QAccessible::Id> cells_;
};

QList<QAccessibleInterface*> CellAccessible::columnHeaderCells() const {
    auto* table = dynamic_cast<ListAccessible*>(parent());
    if (!table) return {};
    QAccessibleInterface* header = table->cell(-1, column_);
    return header ? QList<QAccessibleInterface*>{header} : QList<QAccessibleInterface*>{};
}

int CellAccessible::columnIndex() const {
    auto* table = dynamic_cast<ListAccessible*>(parent());
    return table ? static_cast<int>(table->shownColumns().indexOf(column_)) : -1;
}

QAccessibleInterface* factory(const QString& className, QObject* object) {
    if (className == QLatin1String(MainWindow::staticMetaObject.className()) ||
        className == QLatin1String(UpdaterWindow::staticMetaObject.className())) {
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
    }
    if (className == QLatin1String(ReportList::staticMetaObject.className()))
        return new ListAccessible(static_cast<ReportList*>(object));
    return nullptr;
}

}  // namespace

void installAccessibility() {
    static std::once_flag once;
    std::call_once(once, [] { QAccessible::installFactory(factory); });
}

int accessibleChildIndex(const ReportList* list, const QModelIndex& index) {
    if (!list || !index.isValid() || list->isColumnHidden(index.column())) return -1;
    const QHeaderView* header = list->horizontalHeader();
    int shown = 0, position = -1;
    for (int visual = 0; visual < header->count(); ++visual) {
        const int logical = header->logicalIndex(visual);
        if (logical < 0 || list->isColumnHidden(logical)) continue;
        if (logical == index.column()) position = shown;
        ++shown;
    }
    return position < 0 ? -1 : (index.row() + 1) * shown + position;
}

}  // namespace vigilo::gui
