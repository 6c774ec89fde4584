#pragma once
// What the terminal front end shows: every text escaped for the terminal, the printer that turns
// the core's events into lines, and the tables as a JSON document.
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/record.h"
#include "app/table.h"

namespace vigilo::headless {

// Everything printed goes through here: the line feeds the program puts between lines stay,
// every other control character is shown escaped, so no text (a nickname, a message, an
// address) can drive the user's terminal.
std::string forTerminal(std::string_view text);

void printTo(std::FILE* stream, const std::string& text);
void printOut(const std::string& text);
void printErr(const std::string& text);
// A remark for the person: "vigilo: <text>" on standard error.
void note(const std::string& text);

// Line ends of the core's texts (CR LF) as the terminal's.
std::string toLf(std::string_view text);

// One thing another thread hands to the main thread: a line to print, a table change, or a
// step of the run.
struct Output {
    enum class Kind { Log, Status, Table, Message, Note, Event, StartupDone, StopDone, Closed, Call };
    Kind kind = Kind::Note;
    int table = 0;  // 0 AccountTable, 1 RoomTable
    TableChange change{};
    int part = 0;
    std::string text;
    std::string caption;
    std::function<void()> call;  // Kind::Call: work handed to the main thread (the web page's actions)
};

// Both tables as one JSON object: under each table's name its rows, each row its cells by their
// column titles.
std::string statusJson(const TableStore& accounts, const TableStore& rooms);

// Prints the events in order and keeps a copy of each table, so a line is printed only when a
// cell's text really changes (the monitors rewrite whole rows with mostly the same texts).
class Printer {
public:
    Printer(const TableStore& accounts, const TableStore& rooms, bool verbose = true);

    // True when the event changed what a table shows.
    bool print(const Output& event);
    // Prints what is left of an unfinished log line.
    void finish();

private:
    struct Shadow {
        std::string name;
        std::vector<std::string> titles;
        std::vector<std::vector<std::string>> rows;
    };

    void printLog(const std::string& appended);
    bool printTable(int index, const TableChange& change);

    // Without it, a terminal or the journal gets what a person reads: the log and the events,
    // not the countdown ticking in a cell and in the log every second, nor the same report
    // again every cycle.
    bool verbose_ = true;
    TerminalLogFilter filter_;
    Shadow tables_[2];
    std::string logRest_;
};

}  // namespace vigilo::headless
