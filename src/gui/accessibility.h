#pragma once
// What a screen reader is told about the program's windows. The top-level windows are plain
// widgets, which the toolkit presents as a nameless "filler"; they are presented as windows
// with their titles. The report lists keep their hidden columns in the model (the handlers
// read them), so the toolkit's table presentation would read them out too; a list is
// presented with its visible columns only, each with its title as the column header.
#include <QModelIndex>

namespace vigilo::gui {

class ReportList;

// Once per process, before the first window is shown; further calls do nothing.
void installAccessibility();

// The number of the list's child that presents the cell at `index`; -1 for a hidden column.
int accessibleChildIndex(const ReportList* list, const QModelIndex& index);

}  // namespace vigilo::gui
