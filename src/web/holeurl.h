#pragma once

#include "fetchfailure.h"

#include <QString>
#include <QtGlobal>

class Interschneck;
class MainView;

struct FetchResult
{
    // At most the first 4096 bytes of the answer body; empty after a time-out, a failed
    // connection or an empty body.
    QString text;
    // Waiting passes spent: one at least, timeoutSeconds × 50 + 1 at most.
    qint32 passes = 0;
    // How the fetch ended, as far as the transfer tells it: None for any answer (the pass judges
    // its content), else Unresolvable, Refused, Timeout or BrokenOff; the HTTP status of an answer
    // that came.
    FetchFailure failure;
};

// Fetches url through transfer, waiting in passes of up to 20 ms for at most timeoutSeconds × 50
// + 1 passes, and pumping the window's events in every pass so that it stays responsive (the end
// button included: a ProgramEnd from the pump abandons the fetch). A pass lasts its full 20 ms
// while the request runs and ends early when the request ends, so a silent device costs at least
// timeoutSeconds × 50 × 20 ms and a quick one only its round trip. After the last pass the busy
// flag, not the pass count, decides: still busy means a time-out, and the request is cancelled.
FetchResult fetchDevicePage(MainView &view, Interschneck &transfer, const QString &url,
                            qint32 timeoutSeconds);

// The text of fetchDevicePage alone, without how the fetch ended.
QString HoleURL(MainView &view, Interschneck &transfer, const QString &url, qint32 timeoutSeconds);
