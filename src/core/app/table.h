#pragma once
// The two report tables as thread-safe stores. Every operation is atomic on its own;
// sequences are made atomic by the TableLock. Out-of-range reads give "" and out-of-range
// writes do nothing, since a worker may hold the index of a row that was deleted meanwhile.
//
// Lock order, for the whole program (a thread holding one may take only those after it):
//   1. AppContext::tableLock (a sequence of reads and writes on the tables)
//   2. a monitor's own mutex (the live monitor's recorder set, the works engine's poll count)
//   3. a TableStore's own mutex (every single cell read or write)
//   4. leaves, which call nothing that locks: a pool's or thread group's mutex, the activity
//      log's and the status bar's, the event bus's
// So a decision read from a table and the write that follows it hold tableLock together,
// and a monitor that reads cells under its own mutex never takes tableLock inside it.
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vigilo {

struct TableColumn {
    std::string title;  // exact, leading blanks kept
    int width = 0;      // 0 = hidden column that still holds data
    bool centred = false;
    // Its text is shown in the tooltip of every cell of its row (a hidden column's summary).
    bool inRowTooltip = false;
};

struct TableChange {
    enum class Kind { CellWritten, RowAppended, RowDeleted, Cleared };
    Kind kind;
    int row = -1;
    int column = -1;
    std::string text;
};

class TableStore {
public:
    TableStore(std::string name, std::vector<TableColumn> columns);

    const std::string& name() const { return name_; }
    const std::vector<TableColumn>& columns() const { return columns_; }
    int columnCount() const { return static_cast<int>(columns_.size()); }

    int rowCount() const;
    int appendRow();  // returns the new row's index
    std::string cell(int row, int column) const;
    void setCell(int row, int column, std::string text);
    void deleteRow(int row);
    void deleteAll();
    int selectedRow() const;  // -1 when none
    void setSelectedRow(int row);

    std::vector<std::string> rowSnapshot(int row) const;
    std::vector<std::vector<std::string>> snapshot() const;

    // Observers run under the store's mutex, in the order of the changes, so they must only
    // record or queue the change (never call back into the store or block).
    using Observer = std::function<void(const TableChange&)>;
    int addObserver(Observer observer);
    // The same, with the rows as they are when the observer starts: no change is missed or
    // seen twice by a copy built from this snapshot and the changes that follow it.
    int addObserver(Observer observer, std::vector<std::vector<std::string>>& snapshot);
    void removeObserver(int id);

private:
    void notify(const TableChange& change);

    std::string name_;
    std::vector<TableColumn> columns_;
    mutable std::mutex mutex_;
    std::vector<std::vector<std::string>> rows_;
    int selected_ = -1;
    std::vector<std::pair<int, Observer>> observers_;
    int nextObserver_ = 1;
};

// Column layouts of the two tables.
std::vector<TableColumn> accountColumns();
std::vector<TableColumn> roomColumns();

namespace acol {  // AccountTable columns
enum : int {
    Link = 0,
    Uid,
    SecUid,
    ShortId,
    Nickname,
    Followers,
    PostCount,
    NewestDesc,
    Counter,
    NewestId,
    PlayAddress
};
}
namespace rcol {  // RoomTable columns
enum : int {
    Owner = 0,
    RoomId,
    LatestRoomId,
    LiveStatus,
    StreamUrl,
    StartTime,
    RecordStatus,
    RecordSize,
    RecordDuration,
    ShowReport
};
}

}  // namespace vigilo
