#pragma once
// The terminal front end: the same core as the window, driven from the command line.

namespace vigilo {

// Runs the program without a window until a signal or --duration ends it; returns the exit
// code. Also answers --help and --version, so the window's main can hand any option to it.
int runHeadless(int argc, char** argv);

}  // namespace vigilo
