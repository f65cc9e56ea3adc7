#pragma once

#include <QString>

#include <functional>

class ProgramHost;
struct Options;

// Runs the program with its window and returns the exit code; given by the window program only.
using WindowRunner = int (*)(int &argc, char **argv, const Options &options);

// What main() does for both executables: reads the command line, then runs the program without a
// window, or with one through runWindow (null for the service, which has none). Returns the exit
// code: 0 after a regular end, 1 after a run-time error, 2 for a wrong command line.
int pelvaroMain(int argc, char *argv[], WindowRunner runWindow);

// Starts host and runs the event loop until the program ends; returns the exit code: 0 after the
// end button, a signal or a closed window, 1 after a run-time error (at start-up or later).
// show runs after a successful start-up. SIGTERM and SIGINT act as the end button; when they
// cannot be received, that is a start-up error (exit code 1).
int runProgram(ProgramHost &host, const std::function<void()> &show);

// The database path the options name, or the default beside the executable. Needs the
// application object.
QString databasePathFor(const Options &options);
