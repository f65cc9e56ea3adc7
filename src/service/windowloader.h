#pragma once

struct Options;

// What the window module exports under kWindowEntryName: runs the program with its window and
// returns the exit code. Needs a display (or QT_QPA_PLATFORM=offscreen).
using WindowEntry = int (*)(int &argc, char **argv, const Options &options);
inline constexpr char kWindowEntryName[] = "pelvaroRunWindow";

// The program with its window. Loads the window module embedded in the executable and calls its
// entry; the window libraries are loaded only now. Without a display, or when the module cannot be
// loaded, says so on stderr and returns 1.
int runWindow(int &argc, char **argv, const Options &options);
