#pragma once

#include "interschneck.h"
#include "mainview.h"
#include "messtakt.h"
#include "registry.h"

#include <QString>

#include <functional>

// The program apart from how it is shown: the registry, the transfer component, the cycle tick,
// and what the three event handlers do, with the error and end handling they share. The window
// and the headless runner derive from it and supply the rest of MainView.
//
// Ending: endProgram() marks the program as ending, stops the timer and makes the event loops
// return; from then on every pump throws ProgramEnd, so an operation that was interrupted by the
// end never continues. No exception leaves a handler.
class ProgramHost : public MainView
{
public:
    explicit ProgramHost(QString databasePath);
    ~ProgramHost() override;

    // Start-up, before anything is shown: empty status line, open the database, load devices,
    // sensors and settings, reset the seconds, switch the timer on. Throws RuntimeError.
    void Form_Load();
    // Form_Load as a handler: false when it failed; the error has then been reported and
    // exitCode() is 1.
    bool start();

    void pump() override;

    // Writes a run-time error where the user sees it: stderr, and whatever the derived class adds.
    virtual void reportError(const QString &message);

    // What the end button does: close the database, then end with exit code 0. Does nothing once
    // the end has begun, so a second click (or signal) during the close finds nothing to do.
    void endSequence();

    // What the event loop returns once the program has ended.
    int exitCode() const { return m_exitCode; }
    Registry &registry() { return m_registry; }

protected:
    // The timer: one tick of the cycle. A RuntimeError in it ends the program with exit code 1.
    void timerTick();
    void endProgram(int exitCode);

    // The polling pass of a tick.
    virtual void pollingPass();
    // Called once when the program begins to end, before the event loops return.
    virtual void programEnding() {}

    Interschneck &transfer() { return m_interschneck; }

private:
    // Runs a handler's work so that no exception leaves it: a failure is reported and ends the
    // program with exit code 1; ProgramEnd means the end is already under way. True when the work
    // ran to its end.
    bool guarded(const std::function<void()> &work);
    void fail(const QString &message);

    QString m_databasePath;
    Registry m_registry;
    Interschneck m_interschneck;
    MessTakt m_messTakt;
    bool m_ending = false;
    bool m_closing = false;
    int m_exitCode = 0;
};
