// The program's entry point in builds without the window.
#include "headless/headless.h"

int main(int argc, char** argv) { return vigilo::runHeadless(argc, argv); }
