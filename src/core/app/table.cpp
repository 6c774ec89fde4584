#include "app/table.h"

#include <utility>

namespace vigilo {

TableStore::TableStore(std::string name, std::vector<TableColumn> columns)
    : name_(std::move(name)), columns_(std::move(columns)) {}

int TableStore::rowCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(rows_.size());
}

int TableStore::appendRow() {
    std::lock_guard lock(mutex_);
    rows_.emplace_back(columns_.size());
    const int row = static_cast<int>(rows_.size()) - 1;
    notify({TableChange::Kind::RowAppended, row, -1, {}});
    return row;
}

std::string TableStore::cell(int row, int column) const {
    std::lock_guard lock(mutex_);
    if (row < 0 || row >= static_cast<int>(rows_.size()) || column < 0 || column >= columnCount()) return {};
    return rows_[static_cast<size_t>(row)][static_cast<size_t>(column)];
}

void TableStore::setCell(int row, int column, std::string text) {
    std::lock_guard lock(mutex_);
    if (row < 0 || row >= static_cast<int>(rows_.size()) || column < 0 || column >= columnCount()) return;
    auto& target = rows_[static_cast<size_t>(row)][static_cast<size_t>(column)];
    target = std::move(text);
    notify({TableChange::Kind::CellWritten, row, column, target});
}

void TableStore::deleteRow(int row) {
    std::lock_guard lock(mutex_);
    if (row < 0 || row >= static_cast<int>(rows_.size())) return;
    rows_.erase(rows_.begin() + row);
    // The selection follows its row the way a list control's does: gone with it, or moved up.
    if (selected_ == row) {
        selected_ = -1;
    } else if (selected_ > row) {
        --selected_;
    }
    notify({TableChange::Kind::RowDeleted, row, -1, {}});
}

void TableStore::deleteAll() {
    std::lock_guard lock(mutex_);
    rows_.clear();
    selected_ = -1;
    notify({TableChange::Kind::Cleared, -1, -1, {}});
}

int TableStore::selectedRow() const {
    std::lock_guard lock(mutex_);
    return selected_;
}

void TableStore::setSelectedRow(int row) {
    std::lock_guard lock(mutex_);
    selected_ = (row >= 0 && row < static_cast<int>(rows_.size())) ? row : -1;
}

std::vector<std::string> TableStore::rowSnapshot(int row) const {
    std::lock_guard lock(mutex_);
    if (row < 0 || row >= static_cast<int>(rows_.size())) return {};
    return rows_[static_cast<size_t>(row)];
}

std::vector<std::vector<std::string>> TableStore::snapshot() const {
    std::lock_guard lock(mutex_);
    return rows_;
}

int TableStore::addObserver(Observer observer) {
    std::lock_guard lock(mutex_);
    const int id = nextObserver_++;
    observers_.emplace_back(id, std::move(observer));
    return id;
}

int TableStore::addObserver(Observer observer, std::vector<std::vector<std::string>>& snapshot) {
    std::lock_guard lock(mutex_);
    snapshot = rows_;
    const int id = nextObserver_++;
    observers_.emplace_back(id, std::move(observer));
    return id;
}

void TableStore::removeObserver(int id) {
    std::lock_guard lock(mutex_);
    std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

void TableStore::notify(const TableChange& change) {
    for (const auto& [id, observer] : observers_) {
        if (observer) observer(change);
    }
}

std::vector<TableColumn> accountColumns() {
    return {
        {"主页链接", 100, false}, {"作者UID", 0, false},    {"sec_uid", 0, false},        {"抖音id", 0, false},
        {"昵称", 100, false},     {"粉丝数", 100, false},   {"作品数", 75, false},        {"最新作品", 200, false},
        {"更新了*个", 70, false}, {"最新作品ID", 0, false}, {"作品无水印链接", 0, false},
    };
}

std::vector<TableColumn> roomColumns() {
    return {
        {"   作者", 150, false},        {"room_id", 0, false},     {"最新room_id", 0, false},
        {"直播状态", 70, false},        {"直播源链接", 0, false},  {"开播时间", 150, true},
        {"     录制状态", 120, false},  {"  录制大小", 80, false}, {"录制时长", 90, false},
        {"上一场报告", 0, false, true},
    };
}

}  // namespace vigilo
