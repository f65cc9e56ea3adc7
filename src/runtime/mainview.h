#pragma once

class QString;

// What the storage and web code need of the window that shows the program: the log box, the
// status line, the cycle timer and the message pump. The window implements it; so does the
// headless runner, which has no window at all.
class MainView
{
public:
    virtual ~MainView() = default;

    // The log box. Its text is kept exactly as appended, CR LF included.
    virtual void clearLog() = 0;
    virtual void appendLog(const QString &piece) = 0;
    virtual QString logText() const = 0;

    // The status line below the log box.
    virtual void setStatus(const QString &caption) = 0;

    // The one-second cycle timer. timerOn() starts a fresh full interval.
    virtual void timerOff() = 0;
    virtual void timerOn() = 0;

    // Handles every event that is waiting, then returns. Throws ProgramEnd when the program has
    // begun to end before or during the pump: nothing after the pump may run then.
    virtual void pump() = 0;
};
