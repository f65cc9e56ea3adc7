#pragma once

struct Options;

// The window module's entry (see service/windowloader.h): the program with its window; needs a
// display (or QT_QPA_PLATFORM=offscreen).
extern "C" int pelvaroRunWindow(int &argc, char **argv, const Options &options);
