#pragma once

// Whether the program has been asked to end, for waits that no event can reach: libcurl's blocking
// wait for a mail server's reply, say, which asks this between its polls, or a reader of the
// status page between its statements. Set from a signal handler (so it is async-signal-safe) and
// by the end sequence, read from any thread; never cleared.
void markEndRequested();
bool endRequested();

// For a thread of the program's own other than the window's: SIGTERM and SIGINT are left to the
// window's thread, where they break such a wait (a blocked poll returns at a signal), and are not
// spent on this one.
void leaveStopSignalsToWindowThread();
