#pragma once
// What the web page shows, kept up to date by the core's observers: a copy of both tables, the
// log's tail, the recent events, the status bar. Changes are numbered; while a page listens,
// each change is also kept as a ready-to-send message in a bounded backlog. A page that falls
// further behind than the backlog is told to take a fresh snapshot.
//
// The observers run under the core's locks: they only copy and queue, under the hub's own
// mutex, which is a leaf (it calls nothing that locks).
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/context.h"

namespace vigilo::web {

class Hub {
public:
    static constexpr std::size_t kBacklog = 20000;
    static constexpr std::size_t kLogLines = 500;
    static constexpr std::size_t kEvents = 200;

    explicit Hub(AppContext& ctx);
    // Removes every observer; waiting readers are woken and told to end.
    ~Hub();
    Hub(const Hub&) = delete;
    Hub& operator=(const Hub&) = delete;

    // Both tables (columns and rows), the log tail, the events and the status bar, with the
    // number of the last change they include.
    nlohmann::json snapshot(std::uint64_t* seq = nullptr) const;
    nlohmann::json tableJson(int table) const;  // 0 AccountTable, 1 RoomTable
    std::string logTail(std::size_t lines) const;
    nlohmann::json events() const;

    // A reader's turn: waits until changes after `after` exist, the wait bound passes, the stop
    // is requested or the hub closes. Returns the messages (each a complete SSE record) and
    // moves `after`; `lost` set when the reader fell out of the backlog.
    std::string waitMessages(std::uint64_t& after, bool& lost, std::chrono::milliseconds bound);
    // A change of the program's state that no observer sees (a period chosen, a room set to
    // alert only): readers are told to fetch the state again.
    void stateChanged();
    void close();
    bool closed() const;

    // Figures since start, from the events and the log.
    struct Counters {
        double postsSaved = 0, downloadFailures = 0, downloadsGivenUp = 0, recordingsStarted = 0, recordingsEnded = 0;
    };
    Counters counters() const;

    // Readers that count towards the backlog being kept.
    void addReader();
    void removeReader();

private:
    void push(const std::string& type, nlohmann::json data);
    void onTable(int table, const TableChange& change);
    void applyLocked(int table, const TableChange& change);

    AppContext& ctx_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<std::string>> rows_[2];
    bool ready_[2] = {false, false};
    std::vector<TableChange> pending_[2];
    std::deque<std::string> logLines_;
    std::string logRest_;
    std::deque<nlohmann::json> events_;
    std::string status_[2];
    std::uint64_t seq_ = 0;
    Counters counters_;
    std::deque<std::pair<std::uint64_t, std::string>> backlog_;
    int readers_ = 0;
    bool closed_ = false;

    int tableObservers_[2] = {0, 0};
    int logObserver_ = 0, statusObserver_ = 0, buttonsObserver_ = 0, eventReceiver_ = 0;
};

// A JSON text that survives any bytes a service sent: broken UTF-8 is replaced, control
// characters escaped.
std::string dumpJson(const nlohmann::json& value);

}  // namespace vigilo::web
