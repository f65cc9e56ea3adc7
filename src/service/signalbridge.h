#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a Qt signal, delivered by the event loop (and by every message
// pump), so that a service stop or Ctrl-C ends the program the way the end button does. A second
// signal that arrives before the program has ended, a second or more after the first, kills it at
// once, as the default action would; one that follows at once is the same stop delivered twice.
// SIGPIPE is ignored, so that a closed stdout cannot end the program.
//
// One instance per process. Signals are caught from construction on, until the process ends;
// endRequested is emitted only once enable() has been called, so a signal during start-up is
// acted on right after it.
class SignalBridge : public QObject
{
    Q_OBJECT

public:
    explicit SignalBridge(QObject *parent = nullptr);
    ~SignalBridge() override;

    void enable();

Q_SIGNALS:
    void endRequested();

private:
    void readSignal();

    QSocketNotifier *m_notifier;
};
