#pragma once

struct Options;

// The program with its window; needs a display (or QT_QPA_PLATFORM=offscreen).
int runWindow(int &argc, char **argv, const Options &options);
