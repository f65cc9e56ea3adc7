#pragma once

#include "runtime/mainview.h"
#include "statuspage/statussource.h"
#include "storage/messtakt.h"
#include "storage/registry.h"
#include "web/curldriver.h"
#include "web/interschneck.h"
#include "web/pollingstate.h"

#include <QDateTime>
#include <QHash>
#include <QString>

#include <functional>
#include <memory>

class StatusPage;

// The program apart from how it is shown: the registry, the transfer component, the cycle tick,
// and what the three event handlers do, with the error and end handling they share. The window
// and the headless runner derive from it and supply the rest of MainView.
//
// How the program ends, from the request to the last pump:
//  1. "Ende" (kEnde_Click) or SIGTERM/SIGINT (SignalBridge::endRequested, delivered by the event
//     loop or by any pump) calls endSequence(). It runs once: a second request finds it under way.
//  2. endSequence() stops the timer, gives rows that wait to be written one more short try,
//     closes the database (DatenbankSchliessen pumps once after closing), then calls
//     endProgram(0). A failure on the way ends with exit code 1 instead.
//  3. endProgram() marks the program as ending, stops the timer, cancels the request in flight,
//     writes rows that still wait into the recovery file beside the database and says so (exit
//     code 1 only if that file cannot be written either), lets the shown form go
//     (programEnding) and tells the event loop to return with the code.
//  4. The handler that was running when the request came (a tick in the middle of a fetch, say)
//     is still on the stack below the pump that delivered it. That pump now throws ProgramEnd, so
//     the operation unwinds without doing anything further; guarded() takes it as no error.
//  5. QCoreApplication::exec() returns exitCode(). No exception leaves a handler.
// Closing the window through its title bar goes straight to step 3 with exit code 0.
class ProgramHost : public MainView, public StatusSource
{
public:
    explicit ProgramHost(QString databasePath);
    ~ProgramHost() override;

    // Where the status page listens, from the command line; it wins over the Einstellungen row
    // StatusAdresse. Empty: the row decides, and without one the page stays off.
    void setStatusAddress(const QString &address) { m_statusAddress = address; }

    // Start-up, before anything is shown: empty status line, open the database, load devices,
    // sensors and settings, check Werte, take in the recovery file of an earlier run, start the
    // status page if asked to, reset the seconds, switch the timer on. Throws RuntimeError.
    void Form_Load();
    // Form_Load as a handler: false when it failed; the error has then been reported and
    // exitCode() is 1.
    bool start();

    void pump() override;

    // Writes a run-time error where the user sees it: stderr, and whatever the derived class adds.
    virtual void reportError(const QString &message);
    // The same for a message that is no error (where rows that could not be written went).
    virtual void reportNotice(const QString &message);

    // What the end button does: close the database, then end with exit code 0. Does nothing once
    // the end has begun, so a second click (or signal) during the close finds nothing to do.
    void endSequence();

    // What the event loop returns once the program has ended.
    int exitCode() const { return m_exitCode; }
    Registry &registry() { return m_registry; }

    // StatusSource, for the status page.
    const Registry &registry() const override { return m_registry; }
    const PollingState &polling() const override { return m_polling; }
    StoreState storeState() const override;
    std::optional<Stored> lastStored(qint32 sensorNummer) const override;
    QString passLog() const override { return m_passLog; }
    QString databaseName() const override { return m_databasePath; }
    QDateTime startedAt() const override { return m_startedAt; }
    QList<Alert> alerts() const override { return {}; }
    qint64 undeliveredAlerts() const override { return 0; }

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

    // The rows an earlier run could not write: into Werte before the first pass, then the file
    // goes. If they cannot be written yet they wait like any others, and the file stays until
    // they are written. A malformed file is a start-up error and stays as it is.
    void takeInRecoveryFile();
    void removeRecoveryFileOnceWritten();
    // At the end: rows that still wait go into the recovery file. Returns the exit code.
    int keepPendingRows(int exitCode);
    // A line about storing for the journal: stderr.
    void storeNotice(const QString &line);
    void startStatusPage();
    // After a tick that ran a polling pass: what it stored, its log, and the page told.
    void passEnded();

    QString m_databasePath;
    Registry m_registry;
    CurlDriver m_curl;
    Interschneck m_interschneck{m_curl};
    MessTakt m_messTakt;
    // The recovery file holds the rows that wait (taken in at start, or written at the end before
    // the last try), so it goes once they are written.
    bool m_recoveryFileTakenIn = false;
    bool m_ending = false;
    bool m_closing = false;
    int m_exitCode = 0;

    QDateTime m_startedAt = QDateTime::currentDateTime();
    PollingState m_polling;
    QString m_passLog;
    QHash<qint32, Stored> m_lastStored;
    QString m_statusAddress;
    std::unique_ptr<StatusPage> m_statusPage;
};
