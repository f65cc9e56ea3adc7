#pragma once

#include <QObject>

class QSocketNotifier;

// Whether the program is ending, for waits that no event can reach: libcurl's blocking wait for a
// mail server's reply, say, which asks this between its polls, or a reader of the status page
// between its statements. Set by a stop signal and by the end sequence; read from any thread;
// never cleared. Async-signal-safe.
void markEnding();
bool isEnding();

// For a thread of the program's own other than the main one: the signals below are left to the
// main thread, where they break a blocked wait (a poll returns at a signal), and are not spent on
// this one.
void leaveSignalsToMainThread();

// The process's signals as the event loop delivers them (and every message pump): SIGTERM and
// SIGINT ask the program to end the way the end button does, SIGHUP (once enableReload() was
// called) asks it to read its files again. A second stop that arrives before the program has
// ended, a second or more after the first, kills it at once, as the default action would; one
// that follows at once is the same stop delivered twice (timeout(1) signals the process and its
// group). SIGPIPE is ignored, so that a closed stdout cannot end the program.
//
// One instance per process. Signals are caught from construction on, until the process ends;
// the Qt signals come only once enable() has been called, so a stop during start-up is acted on
// right after it.
class ProcessSignals : public QObject
{
    Q_OBJECT

public:
    // Throws RuntimeError, saying why, when the channel from the handlers to the event loop cannot
    // be set up: without it a service stop would go unheard.
    explicit ProcessSignals(QObject *parent = nullptr);
    ~ProcessSignals() override;

    void enable();
    // Until this is called SIGHUP keeps its default action, which ends the program.
    void enableReload();

Q_SIGNALS:
    void stopRequested();
    void reloadRequested();

private:
    void readSignals();

    QSocketNotifier *m_notifier;
};
