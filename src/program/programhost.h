#pragma once

#include "alerts/alertsettings.h"
#include "runtime/journal.h"
#include "runtime/mainview.h"
#include "statuspage/statussettings.h"
#include "statuspage/statussource.h"
#include "storage/messtakt.h"
#include "storage/pendingrows.h"
#include "storage/registry.h"
#include "web/curldriver.h"
#include "web/geraeteabfragen.h"
#include "web/interschneck.h"
#include "web/pollingstate.h"

#include <QDateTime>
#include <QString>

#include <functional>
#include <memory>

class Alerts;
struct Configuration;
class QObject;
class QTimer;
class StatusPage;

// The program apart from how it is shown: the registry, the transfer component, the one-second
// clock Timer1, the log of the latest pass, and what the three event handlers do, with the error
// and end handling they share. The window and the headless runner derive from it and only show
// what it gives them: the log as it grows, the status line, errors and notices.
//
// How the program ends, from the request to the last pump:
//  1. "Ende" (kEnde_Click) or SIGTERM/SIGINT (ProcessSignals::stopRequested, delivered by the
//     event loop or by any pump) calls endSequence(). It runs once: a second request finds it
//     under way. From here on isEnding() is true for every thread.
//  2. endSequence() stops the timer, gives rows that wait to be written one more short try (they
//     are put into the recovery file first), closes the database (DatenbankSchliessen pumps once
//     after closing), then calls endProgram(0). A failure on the way ends with exit code 1.
//  3. endProgram() marks the program as ending, stops the timer, cancels the request in flight,
//     keeps rows that still wait in the recovery file beside the database and says so (exit code
//     1 when not every one of them is in that file), lets the shown form go (programEnding) and
//     tells the event loop to return with the code.
//  4. The handler that was running when the request came (a tick in the middle of a fetch, say)
//     is still on the stack below the pump that delivered it. That pump now throws ProgramEnd, so
//     the operation unwinds without doing anything further; guarded() takes it as no error.
//  5. QCoreApplication::exec() returns exitCode(). No exception leaves a handler.
// Closing the window through its title bar goes straight to step 3 with exit code 0.
class ProgramHost : public MainView, public StatusSource
{
public:
    // timerOwner becomes the parent of Timer1, so that the clock is found among the controls of
    // the form that shows the program.
    ProgramHost(QString databasePath, QObject *timerOwner);
    ~ProgramHost() override;

    // Where the status page listens, from the command line; it wins over the Einstellungen row
    // StatusAdresse. Empty: the row decides, and without one the page stays off.
    void setStatusAddress(const QString &address) { m_statusAddress = address; }
    // The page's users file, certificate and key from the command line; each wins over its row.
    void setStatusFiles(const StatusFiles &files) { m_statusFiles = files; }

    // Start-up, before anything is shown: empty status line, open the database, load devices,
    // sensors and settings (with the options' rows, each checked by its part), check Werte, take
    // in the recovery file of an earlier run, start the status page if asked to, reset the
    // seconds, switch the timer on. Throws RuntimeError.
    void Form_Load();
    // Form_Load as a handler: false when it failed; the error has then been reported and
    // exitCode() is 1.
    bool start();

    // The log box's text, kept here exactly as appended (CR LF included); derived classes hear of
    // each change to show it.
    void clearLog() final;
    void appendLog(const QString &piece) final;
    QString logText() const final { return m_log; }
    void timerOff() final;
    void timerOn() final;
    void pump() override;

    // A run-time error where the user sees it: the journal (stderr), and whatever the derived
    // class adds (a message box).
    virtual void reportError(const QString &message);
    // The same for a warning the user must not miss: where rows that could not be written went.
    virtual void reportWarning(const QString &message);

    // SIGHUP: what the program reads is read again: the status page's users, certificate and key
    // at once, the configuration (devices, sensors, settings) from the database, checked as at
    // start-up and taken right after the next store. What is wrong now is not taken: the old goes
    // on, and the journal (and the page) say why.
    void reload();
    // StatusSource: the configuration's state after a reload.
    QString configurationProblem() const override { return m_configurationProblem; }
    bool configurationPending() const override { return m_nextConfiguration != nullptr; }
    std::shared_ptr<ConfigurationAccess> configurationAccess() const override;
    void reloadConfiguration() override { reload(); }

    // What the end button does: close the database, then end with exit code 0. Does nothing once
    // the end has begun, so a second click (or signal) during the close finds nothing to do.
    void endSequence();

    // What the event loop returns once the program has ended.
    int exitCode() const { return m_exitCode; }
    Registry &registry() { return m_registry; }
    QTimer &timer() { return *m_timer; }

    // StatusSource, for the status page.
    const Registry &registry() const override { return m_registry; }
    const PassOptions &passOptions() const override { return m_passOptions; }
    const PollingState &polling() const override { return m_polling; }
    StoreState storeState() const override;
    std::optional<Stored> lastStored(qint32 sensorNummer) const override;
    QString passLog() const override { return m_passLog; }
    QString databaseName() const override { return m_databasePath; }
    QDateTime startedAt() const override { return m_startedAt; }
    QList<ActiveAlert> alerts() const override;
    qint64 undeliveredAlerts() const override;

protected:
    // The timer's handler: one tick of the cycle. A RuntimeError in it ends the program with exit
    // code 1.
    void Timer1_Timer();
    void endProgram(int exitCode);

    // How the log box shows the log: emptied, or a piece appended.
    virtual void logCleared() {}
    virtual void logAppended(const QString &piece) { Q_UNUSED(piece) }
    // After a tick that ran a polling pass, once its log is complete (with the lines about the
    // store that followed the pass).
    virtual void passEnded() {}
    // Called once when the program begins to end, before the event loops return.
    virtual void programEnding() {}

private:
    // Runs a handler's work so that no exception leaves it: a failure is reported and ends the
    // program with exit code 1; ProgramEnd means the end is already under way. True when the work
    // ran to its end.
    bool guarded(const std::function<void()> &work);
    void fail(const QString &message);
    void pollingPass();
    // After a tick that ran a pass: the alerts' lines follow the pass log's time stamp.
    void reportAlerts();
    void startStatusPage();
    void takeNextConfiguration();
    // After a tick that ran a polling pass, before the derived class hears of it: the log kept
    // for the page, the page told.
    void afterPass();

    QString m_databasePath;
    Registry m_registry;
    PendingRows m_pendingRows;
    PassOptions m_passOptions;
    StatusSettings m_statusSettings;
    CurlDriver m_curl;
    Interschneck m_interschneck{m_curl};
    QTimer *m_timer;
    QString m_log;
    PollingState m_polling;
    MessTakt m_messTakt;
    bool m_passRan = false;
    // The log of the latest complete pass, for the status page.
    QString m_passLog;
    QDateTime m_startedAt = QDateTime::currentDateTime();
    // Both null while not asked for. Declared after m_curl, which must outlive them.
    std::unique_ptr<Alerts> m_alerts;
    QString m_statusAddress;
    StatusFiles m_statusFiles;
    // Read by a reload, waiting for the next store; null otherwise.
    std::unique_ptr<Configuration> m_nextConfiguration;
    // Why the latest reload's configuration was not taken; empty when it was.
    QString m_configurationProblem;
    std::unique_ptr<StatusPage> m_statusPage;
    bool m_ending = false;
    bool m_closing = false;
    int m_exitCode = 0;
};
