#pragma once
#include <QTableView>

#include "gui/tablemodel.h"

namespace vigilo::gui {

// A report list over a TableModel: the store's column titles and widths (a width of 0 hides
// the column, which keeps its data), one selected row at most, and the selection written back
// into the store so the handlers see what the user picked.
class ReportList : public QTableView {
    Q_OBJECT
public:
    ReportList(TableModel* model, QWidget* parent = nullptr);

    TableModel* tableModel() const { return model_; }
    int selectedRow() const;
    void selectRow(int row);  // -1 clears the selection
    // The cell's whole text when the cell cannot show all of it (too narrow, or more than one
    // line); empty otherwise. It is the cell's tooltip.
    QString truncatedText(const QModelIndex& index) const;

signals:
    // Any double-click in the list, on a row or not, after the click has selected its row.
    void listDoubleClicked();

protected:
    bool viewportEvent(QEvent* event) override;
    // A screen reader is told about the cell by its place among the visible columns.
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end) override;

private:
    void syncSelection();

    TableModel* model_;
};

}  // namespace vigilo::gui
