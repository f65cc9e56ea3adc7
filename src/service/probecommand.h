#pragma once

#include <QString>

// --probe ADDRESS: fetches http://ADDRESS/xml once, with the bounds of a pass (its time-out, the
// first 4096 bytes), and prints on stdout whether the page would count, every <tN> element on it
// with the value a pass would read from it, or why the fetch failed. With databasePath given, also
// what a pass would store for each sensor configured for that address. Writes nothing anywhere.
// The exit code: 0 the page would count, 1 not (or the database could not be read).
int probeDevice(const QString &address, const QString &databasePath);
