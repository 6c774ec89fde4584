#include "headless/terminal.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "net/politeness.h"
#include "text/strings.h"

namespace vigilo::headless {

std::string forTerminal(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t from = 0;
    for (;;) {
        const std::size_t end = text.find('\n', from);
        out += visibleControls(text.substr(from, end == std::string_view::npos ? std::string_view::npos : end - from));
        if (end == std::string_view::npos) return out;
        out += '\n';
        from = end + 1;
    }
}

void printTo(std::FILE* stream, const std::string& text) {
    const std::string shown = forTerminal(text);
    std::fwrite(shown.data(), 1, shown.size(), stream);
}
void printOut(const std::string& text) { printTo(stdout, text); }
void printErr(const std::string& text) { printTo(stderr, text); }
void note(const std::string& text) { printErr("vigilo: " + text + "\n"); }

std::string toLf(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

namespace {

std::vector<std::string> trimmedTitles(const TableStore& table) {
    std::vector<std::string> titles;
    for (const auto& column : table.columns()) titles.push_back(trimBlanks(column.title));
    return titles;
}

}  // namespace

std::string statusJson(const TableStore& accounts, const TableStore& rooms) {
    nlohmann::ordered_json doc = nlohmann::ordered_json::object();
    // The hosts refusing the program now, each at the rate it is slowed to.
    auto throttled = nlohmann::ordered_json::array();
    for (const auto& view : net::requestBudget().hosts()) {
        if (view.refusing) throttled.push_back({{"host", view.host}, {"perMinute", view.perMinute}});
    }
    doc["throttled"] = std::move(throttled);
    for (const TableStore* table : {&accounts, &rooms}) {
        const auto titles = trimmedTitles(*table);
        auto rows = nlohmann::ordered_json::array();
        for (const auto& cells : table->snapshot()) {
            auto row = nlohmann::ordered_json::object();
            for (size_t c = 0; c < titles.size(); ++c) row[titles[c]] = c < cells.size() ? cells[c] : "";
            rows.push_back(std::move(row));
        }
        doc[table->name()] = std::move(rows);
    }
    // Cell texts come from the service; a broken byte must not cost the whole file.
    return doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

Printer::Printer(const TableStore& accounts, const TableStore& rooms, bool verbose) : verbose_(verbose) {
    tables_[0].name = accounts.name();
    tables_[0].titles = trimmedTitles(accounts);
    tables_[1].name = rooms.name();
    tables_[1].titles = trimmedTitles(rooms);
}

bool Printer::print(const Output& event) {
    switch (event.kind) {
        case Output::Kind::Log: printLog(event.text); return false;
        case Output::Kind::Status:
            if (verbose_) printOut((event.part == 1 ? "status: " : "status label: ") + oneLine(event.text) + "\n");
            return false;
        case Output::Kind::Event: printOut(event.text + "\n"); return false;
        case Output::Kind::Table: return printTable(event.table, event.change);
        case Output::Kind::Message: {
            const std::string& caption = event.caption;
            std::string prefix;
            if (!caption.empty()) {
                prefix = caption;
                if (!endsWith(caption, ":") && !endsWith(caption, "：")) prefix += ":";
                prefix += " ";
            }
            printErr(prefix + toLf(event.text) + "\n");
            return false;
        }
        case Output::Kind::Note: note(event.text); return false;
        default: return false;
    }
}

void Printer::finish() {
    if (!logRest_.empty()) printOut(logRest_ + "\n");
    logRest_.clear();
}

void Printer::printLog(const std::string& appended) {
    logRest_ += toLf(appended);
    const auto end = logRest_.rfind('\n');
    if (end == std::string::npos) return;
    if (verbose_) {
        printOut(logRest_.substr(0, end + 1));
    } else {
        std::string kept;
        for (std::size_t from = 0; from <= end;) {
            const std::size_t lineEnd = logRest_.find('\n', from);
            const std::string_view line(logRest_.data() + from, lineEnd - from);
            if (filter_.keep(line)) kept.append(line).append("\n");
            from = lineEnd + 1;
        }
        if (!kept.empty()) printOut(kept);
    }
    logRest_.erase(0, end + 1);
}

bool Printer::printTable(int index, const TableChange& change) {
    Shadow& t = tables_[index];
    const std::string rowName = t.name + " row " + std::to_string(change.row + 1);
    switch (change.kind) {
        case TableChange::Kind::RowAppended:
            t.rows.insert(t.rows.begin() + std::clamp<long>(change.row, 0, static_cast<long>(t.rows.size())),
                          std::vector<std::string>(t.titles.size()));
            if (verbose_) printOut(rowName + " added\n");
            return true;
        case TableChange::Kind::RowDeleted:
            if (change.row < 0 || change.row >= static_cast<int>(t.rows.size())) return false;
            t.rows.erase(t.rows.begin() + change.row);
            if (verbose_) printOut(rowName + " deleted\n");
            return true;
        case TableChange::Kind::Cleared:
            t.rows.clear();
            if (verbose_) printOut(t.name + " cleared\n");
            return true;
        case TableChange::Kind::CellWritten: {
            if (change.row < 0 || change.row >= static_cast<int>(t.rows.size())) return false;
            if (change.column < 0 || change.column >= static_cast<int>(t.titles.size())) return false;
            std::string& cell = t.rows[change.row][change.column];
            if (cell == change.text) return false;
            cell = change.text;
            if (verbose_) printOut(rowName + " " + t.titles[change.column] + ": " + oneLine(change.text) + "\n");
            return true;
        }
    }
    return false;
}

}  // namespace vigilo::headless
