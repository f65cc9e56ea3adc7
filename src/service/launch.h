#pragma once

#include <QString>

#include <functional>

class ProgramHost;
struct Options;

// Starts host and runs the event loop until the program ends; returns the exit code: 0 after the
// end button, a signal or a closed window, 1 after a run-time error (at start-up or later).
// show runs after a successful start-up. SIGTERM and SIGINT act as the end button.
int runProgram(ProgramHost &host, const std::function<void()> &show);

// The program without a window (--headless): needs no display and creates no GUI application.
int runHeadless(int &argc, char **argv, const Options &options);

// The database path the options name, or the default beside the executable. Needs the
// application object.
QString databasePathFor(const Options &options);
