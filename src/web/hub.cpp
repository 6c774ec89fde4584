#include "web/hub.h"

#include "notify/format.h"
#include "text/strings.h"

namespace vigilo::web {

namespace {

const char* const kTableNames[2] = {"accounts", "rooms"};

std::string isoTime(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buffer;
}

}  // namespace

std::string dumpJson(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

Hub::Hub(AppContext& ctx) : ctx_(ctx) {
    for (int t = 0; t < 2; ++t) {
        TableStore& table = t == 0 ? ctx_.accountTable : ctx_.roomTable;
        std::vector<std::vector<std::string>> rows;
        tableObservers_[t] = table.addObserver([this, t](const TableChange& change) { onTable(t, change); }, rows);
        // Every change the observer saw came after the snapshot: it is applied on top of it.
        std::lock_guard lock(mutex_);
        rows_[t] = std::move(rows);
        ready_[t] = true;
        for (const TableChange& change : pending_[t]) applyLocked(t, change);
        pending_[t].clear();
    }
    {
        // Read before the hub's mutex is taken: it is a leaf, the core's locks come first.
        const std::string text = ctx_.log.text();
        const std::string status0 = ctx_.status.text(0), status1 = ctx_.status.text(1);
        std::lock_guard lock(mutex_);
        std::size_t from = 0;
        while (from < text.size()) {
            const auto end = text.find('\n', from);
            if (end == std::string::npos) {
                logRest_ = text.substr(from);
                break;
            }
            logLines_.push_back(text.substr(from, end + 1 - from));
            if (logLines_.size() > kLogLines) logLines_.pop_front();
            from = end + 1;
        }
        status_[0] = status0;
        status_[1] = status1;
    }
    logObserver_ = ctx_.log.addObserver([this](const std::string& appended) {
        std::lock_guard lock(mutex_);
        logRest_ += appended;
        std::size_t from = 0;
        for (;;) {
            const auto end = logRest_.find('\n', from);
            if (end == std::string::npos) break;
            logLines_.push_back(logRest_.substr(from, end + 1 - from));
            if (logLines_.size() > kLogLines) logLines_.pop_front();
            if (logLines_.back().find("：视频下载失败 ") != std::string::npos) ++counters_.downloadFailures;
            from = end + 1;
        }
        logRest_.erase(0, from);
        push("log", {{"text", appended}});
    });
    statusObserver_ = ctx_.status.addObserver([this](int part, const std::string& text) {
        std::lock_guard lock(mutex_);
        if (part >= 0 && part < 2) status_[part] = text;
        push("status", {{"part", part}, {"text", text}});
    });
    buttonsObserver_ = ctx_.buttons.addObserver([this](const ButtonState&) {
        std::lock_guard lock(mutex_);
        push("state", nlohmann::json::object());
    });
    eventReceiver_ = ctx_.events.subscribe(
        [this](const Event& e) {
            nlohmann::json fields = nlohmann::json::object();
            for (const auto& [name, value] : e.fields) fields[name] = value;
            nlohmann::json item = {{"type", eventTypeName(e.type)},
                                   {"time", isoTime(e.time)},
                                   {"title", eventTitle(e)},
                                   {"text", eventBody(e)},
                                   {"fields", fields}};
            std::lock_guard lock(mutex_);
            switch (e.type) {
                case EventType::PostSaved: ++counters_.postsSaved; break;
                case EventType::DownloadGivenUp: ++counters_.downloadsGivenUp; break;
                case EventType::RecordingStarted: ++counters_.recordingsStarted; break;
                case EventType::RecordingEnded: ++counters_.recordingsEnded; break;
                default: break;
            }
            events_.push_back(item);
            if (events_.size() > kEvents) events_.pop_front();
            push("event", std::move(item));
        },
        "web");
}

Hub::~Hub() {
    close();
    ctx_.events.unsubscribe(eventReceiver_);
    ctx_.accountTable.removeObserver(tableObservers_[0]);
    ctx_.roomTable.removeObserver(tableObservers_[1]);
    ctx_.log.removeObserver(logObserver_);
    ctx_.status.removeObserver(statusObserver_);
    ctx_.buttons.removeObserver(buttonsObserver_);
}

void Hub::onTable(int t, const TableChange& change) {
    std::lock_guard lock(mutex_);
    if (!ready_[t]) {
        pending_[t].push_back(change);
        return;
    }
    applyLocked(t, change);
}

void Hub::applyLocked(int t, const TableChange& change) {
    auto& rows = rows_[t];
    const std::size_t columns = static_cast<std::size_t>((t == 0 ? ctx_.accountTable : ctx_.roomTable).columnCount());
    nlohmann::json data = {{"table", kTableNames[t]}};
    switch (change.kind) {
        case TableChange::Kind::RowAppended:
            if (change.row < 0 || change.row > static_cast<int>(rows.size())) return;
            rows.insert(rows.begin() + change.row, std::vector<std::string>(columns));
            data["kind"] = "append";
            data["row"] = change.row;
            break;
        case TableChange::Kind::RowDeleted:
            if (change.row < 0 || change.row >= static_cast<int>(rows.size())) return;
            rows.erase(rows.begin() + change.row);
            data["kind"] = "delete";
            data["row"] = change.row;
            break;
        case TableChange::Kind::Cleared:
            rows.clear();
            data["kind"] = "clear";
            break;
        case TableChange::Kind::CellWritten: {
            if (change.row < 0 || change.row >= static_cast<int>(rows.size())) return;
            auto& row = rows[static_cast<std::size_t>(change.row)];
            if (change.column < 0 || change.column >= static_cast<int>(row.size())) return;
            // The monitors rewrite whole rows with mostly the same texts.
            if (row[static_cast<std::size_t>(change.column)] == change.text) return;
            row[static_cast<std::size_t>(change.column)] = change.text;
            data["kind"] = "cell";
            data["row"] = change.row;
            data["column"] = change.column;
            data["text"] = change.text;
            break;
        }
    }
    push("table", std::move(data));
}

void Hub::push(const std::string& type, nlohmann::json data) {
    ++seq_;
    if (readers_ > 0) {
        data["seq"] = seq_;
        backlog_.emplace_back(seq_, "event: " + type + "\ndata: " + dumpJson(data) + "\n\n");
        if (backlog_.size() > kBacklog) backlog_.pop_front();
    }
    changed_.notify_all();
}

nlohmann::json Hub::tableJson(int t) const {
    const TableStore& table = t == 0 ? ctx_.accountTable : ctx_.roomTable;
    nlohmann::json columns = nlohmann::json::array();
    for (const auto& column : table.columns())
        columns.push_back(
            {{"title", trimBlanks(column.title)}, {"hidden", column.width == 0}, {"width", column.width}});
    std::lock_guard lock(mutex_);
    return {{"name", table.name()}, {"columns", columns}, {"rows", rows_[t]}};
}

std::string Hub::logTail(std::size_t lines) const {
    std::lock_guard lock(mutex_);
    std::string text;
    const std::size_t first = logLines_.size() > lines ? logLines_.size() - lines : 0;
    for (std::size_t i = first; i < logLines_.size(); ++i) text += logLines_[i];
    return text + logRest_;
}

nlohmann::json Hub::events() const {
    std::lock_guard lock(mutex_);
    return nlohmann::json(events_);
}

nlohmann::json Hub::snapshot(std::uint64_t* seq) const {
    nlohmann::json doc;
    std::vector<nlohmann::json> columns[2];
    for (int t = 0; t < 2; ++t) {
        const TableStore& table = t == 0 ? ctx_.accountTable : ctx_.roomTable;
        for (const auto& column : table.columns())
            columns[t].push_back(
                {{"title", trimBlanks(column.title)}, {"hidden", column.width == 0}, {"width", column.width}});
    }
    std::lock_guard lock(mutex_);
    for (int t = 0; t < 2; ++t) doc[kTableNames[t]] = {{"columns", columns[t]}, {"rows", rows_[t]}};
    std::string log;
    for (const auto& line : logLines_) log += line;
    doc["log"] = log + logRest_;
    doc["events"] = nlohmann::json(events_);
    doc["status"] = {status_[0], status_[1]};
    doc["seq"] = seq_;
    if (seq) *seq = seq_;
    return doc;
}

std::string Hub::waitMessages(std::uint64_t& after, bool& lost, std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    lost = false;
    changed_.wait_for(lock, bound, [&] { return closed_ || seq_ > after; });
    if (closed_ || seq_ <= after) return {};
    if (backlog_.empty() || backlog_.front().first > after + 1) {
        lost = true;
        return {};
    }
    std::string out;
    for (const auto& [seq, text] : backlog_) {
        if (seq <= after) continue;
        out += text;
        // One write stays a sensible size; the rest follows at once.
        if (out.size() > (256u << 10)) {
            after = seq;
            return out;
        }
    }
    after = seq_;
    return out;
}

void Hub::stateChanged() {
    std::lock_guard lock(mutex_);
    push("state", nlohmann::json::object());
}

void Hub::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

bool Hub::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

Hub::Counters Hub::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

void Hub::addReader() {
    std::lock_guard lock(mutex_);
    ++readers_;
}

void Hub::removeReader() {
    std::lock_guard lock(mutex_);
    if (--readers_ == 0) backlog_.clear();
}

}  // namespace vigilo::web
