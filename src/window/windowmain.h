#pragma once

struct Options;

// The program with its window, "Pelvaro (Access)". Without any display (and no -platform or
// QT_QPA_PLATFORM) it says so on stderr and returns 1 instead of letting Qt abort.
int runWindow(int &argc, char **argv, const Options &options);
