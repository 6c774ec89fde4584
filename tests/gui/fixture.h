#pragma once
// A program state for window tests: a temporary data directory, a user interface that records
// what it is asked, fast pacing and service addresses where nothing answers.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <memory>

#include "app/context.h"
#include "control/controller.h"

namespace vigilo::gui::test {

struct Fixture {
    explicit Fixture(UserInterface* userInterface = nullptr) {
        Endpoints endpoints;
        endpoints.account = "http://127.0.0.1:9";
        endpoints.live = "http://127.0.0.1:9";
        ctx = std::make_unique<AppContext>(Paths::forDirectory(dir.path().toStdString()), Pacing{}.scaled(0.001),
                                           endpoints, userInterface ? *userInterface : ui);
        controller = std::make_unique<Controller>(*ctx);
    }
    ~Fixture() {
        controller->closeProgram();
        controller->waitClosed(std::chrono::seconds(10));
    }

    // Appends a row with the given cells and returns its index.
    static int addRow(TableStore& store, const std::vector<std::string>& cells) {
        const int row = store.appendRow();
        for (int c = 0; c < static_cast<int>(cells.size()); ++c) store.setCell(row, c, cells[c]);
        return row;
    }

    QTemporaryDir dir;
    RecordingUserInterface ui;
    std::unique_ptr<AppContext> ctx;
    std::unique_ptr<Controller> controller;
};

}  // namespace vigilo::gui::test
