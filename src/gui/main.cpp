// The windowed program; options of the terminal front end hand the run over to it.
#include <cstring>

#if __has_include("headless/headless.h")
#include "headless/headless.h"
#else
namespace vigilo {
int runHeadless(int argc, char** argv);
}
#endif
#include "gui/session.h"

namespace {

// Options of the windowed program; single-dash options belong to Qt.
bool isGuiOption(const char* arg) { return std::strcmp(arg, "--screenshot") == 0; }

bool wantsHeadless(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (isGuiOption(argv[i])) {
            ++i;  // its value
            continue;
        }
        if (std::strncmp(argv[i], "--", 2) == 0) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (wantsHeadless(argc, argv)) return vigilo::runHeadless(argc, argv);
    return vigilo::gui::runGui(argc, argv);
}
