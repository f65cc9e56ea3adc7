#include "programhost.h"

#include "alerts/alerts.h"
#include "runtime/runtimeerror.h"
#include "storage/datenbankverbindung.h"
#include "storage/konfiguration.h"
#include "storage/mittelwerte.h"
#include "storage/recoveryfile.h"
#include "storage/storestate.h"
#include "web/geraeteabfragen.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>

#include <cstdio>
#include <functional>
#include <new>

ProgramHost::ProgramHost(QString databasePath)
    : m_databasePath(std::move(databasePath)),
      m_messTakt(
          m_registry, *this, [this] { pollingPass(); },
          [this](const QString &line) { storeNotice(line); })
{
}

ProgramHost::~ProgramHost() = default;

void ProgramHost::Form_Load()
{
    setStatus(QString());
    DatenbankOeffnen(m_registry, *this, m_databasePath);
    GeraeteLesen(m_registry, *this);
    SensorenLesen(m_registry, *this);
    EinstellungenLesen(m_registry, *this);
    checkWerte(m_registry);
    m_alerts = Alerts::create(m_registry, m_curl);
    takeInRecoveryFile();
    m_registry.Datenbank->started();
    m_registry.Sekunden = 0;
    timerOn();
}

void ProgramHost::pump()
{
    QCoreApplication::processEvents();
    if (m_ending) {
        throw ProgramEnd();
    }
}

void ProgramHost::reportError(const QString &message)
{
    const QByteArray text = QStringLiteral("pelvaro-access: %1\n").arg(message).toLocal8Bit();
    std::fputs(text.constData(), stderr);
    std::fflush(stderr);
}

void ProgramHost::reportNotice(const QString &message)
{
    ProgramHost::reportError(message);
}

void ProgramHost::storeNotice(const QString &line)
{
    ProgramHost::reportError(line);
}

bool ProgramHost::start()
{
    return guarded([this] { Form_Load(); });
}

void ProgramHost::endSequence()
{
    if (m_ending || m_closing) {
        return;
    }
    m_closing = true;
    if (guarded([this] {
            timerOff();
            // The rows go to the recovery file before the one more short try, not after: a try
            // that hangs on a server long enough for the service manager (or a second Ctrl+C) to
            // kill the program must not take them with it. Written, the file goes again.
            const qsizetype waiting = m_registry.pendingRows.size();
            if (waiting > 0) {
                try {
                    writeRecoveryFile(recoveryFilePath(m_databasePath), m_registry.pendingRows);
                    m_recoveryFileTakenIn = true;
                } catch (const RuntimeError &) {
                    // Tried again, and reported, once the last try has failed.
                }
                if (writePendingRows(m_registry)) {
                    storeNotice(rowsWrittenLine(m_registry, waiting));
                    removeRecoveryFileOnceWritten();
                }
            }
            DatenbankSchliessen(m_registry, *this);
        })) {
        endProgram(0);
    }
}

void ProgramHost::timerTick()
{
    m_passRan = false;
    guarded([this] {
        m_messTakt.run();
        reportAlerts();
    });
    removeRecoveryFileOnceWritten();
}

void ProgramHost::reportAlerts()
{
    if (!m_passRan) {
        return;
    }
    const QDateTime now = QDateTime::currentDateTime();
    if (m_registry.pendingRows.isEmpty()) {
        m_storeFailingSince = QDateTime();
    } else if (!m_storeFailingSince.isValid()) {
        m_storeFailingSince = now;
    }
    if (!m_alerts) {
        return;
    }
    for (const QString &line :
         m_alerts->afterPass(m_registry, m_polling, m_messTakt.averages(), storeState(), now)) {
        // As MessTakt appends its store lines: after the time stamp, each on a line of its own.
        appendLog(QStringLiteral("\r\n") + line);
    }
}

StoreState ProgramHost::storeState() const
{
    StoreState state;
    const PendingRows &pending = m_registry.pendingRows;
    state.failure = pending.failure();
    state.failingSince = m_storeFailingSince;
    state.waiting = pending.size();
    state.dropped = pending.dropped();
    return state;
}

void ProgramHost::takeInRecoveryFile()
{
    const QString path = recoveryFilePath(m_databasePath);
    if (!readRecoveryFile(path, m_registry.pendingRows)) {
        return;
    }
    const qsizetype count = m_registry.pendingRows.size();
    m_recoveryFileTakenIn = true;
    if (writePendingRows(m_registry)) {
        storeNotice(QStringLiteral("%1 Messwerte aus '%2' in die Datenbank nachgetragen.")
                        .arg(count)
                        .arg(path));
        removeRecoveryFileOnceWritten();
    } else {
        storeNotice(QStringLiteral("%1 Messwerte aus '%2' können noch nicht in die Datenbank "
                                   "geschrieben werden: %3. Sie warten auf das nächste Speichern.")
                        .arg(count)
                        .arg(path, m_registry.pendingRows.failure()));
    }
}

void ProgramHost::removeRecoveryFileOnceWritten()
{
    if (!m_recoveryFileTakenIn || !m_registry.pendingRows.isEmpty()) {
        return;
    }
    m_recoveryFileTakenIn = false;
    QFile file(recoveryFilePath(m_databasePath));
    if (!file.remove()) {
        // Its rows are in the database now; taken in again they would stand there twice.
        storeNotice(QStringLiteral("Die Datei '%1' kann nicht gelöscht werden (%2). Ihre "
                                   "Messwerte stehen schon in der Datenbank: bitte die Datei "
                                   "löschen, sonst werden sie beim nächsten Start noch einmal "
                                   "eingetragen.")
                        .arg(file.fileName(), file.errorString()));
    }
}

int ProgramHost::keepPendingRows(int exitCode)
{
    const PendingRows &pending = m_registry.pendingRows;
    if (pending.isEmpty()) {
        return exitCode;
    }
    const QString path = recoveryFilePath(m_databasePath);
    const QString lost =
        pending.dropped() > 0
            ? QStringLiteral(" %1 ältere Messwerte waren schon verworfen, weil zu viele warteten.")
                  .arg(pending.dropped())
            : QString();
    const QString why =
        pending.failure().isEmpty() ? QString() : QStringLiteral(" (%1)").arg(pending.failure());
    try {
        writeRecoveryFile(path, pending);
    } catch (const RuntimeError &error) {
        // The last place left is the journal: the rows follow the message, one a line.
        QString rows;
        for (qsizetype i = 0; i < pending.size(); ++i) {
            const PendingRows::Row &row = pending.at(i);
            rows +=
                QStringLiteral("\n%1;%2;%3")
                    .arg(row.sensorNummer)
                    .arg(PendingRows::zeitOf(row).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                    .arg(row.wert, 0, 'g', 17);
        }
        // Only the summary goes into a box on a display; the rows could be hundreds of thousands.
        reportError(QStringLiteral("%1 Messwerte konnten nicht in die Datenbank '%2' "
                                   "geschrieben werden%3. %4 Sie folgen auf der "
                                   "Standardfehlerausgabe (SensorNummer;Zeit;MessWert).")
                        .arg(pending.size())
                        .arg(m_databasePath, why, error.description())
                    + lost);
        std::fputs(rows.mid(1).append(QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
        std::fflush(stderr);
        return 1;
    }
    reportNotice(QStringLiteral("%1 Messwerte konnten nicht in die Datenbank '%2' geschrieben "
                                "werden%3. Sie stehen in der Datei '%4' und werden beim "
                                "nächsten Start nachgetragen.")
                     .arg(pending.size())
                     .arg(m_databasePath, why, path)
                 + lost);
    return exitCode;
}

bool ProgramHost::guarded(const std::function<void()> &work)
{
    try {
        work();
        return true;
    } catch (const ProgramEnd &) {
    } catch (const RuntimeError &error) {
        fail(error.message());
    } catch (const std::bad_alloc &) {
        fail(QStringLiteral("Laufzeitfehler %1: Nicht genügend Speicher.")
                 .arg(ErrorNumber::OutOfMemory));
    } catch (const std::exception &error) {
        fail(QStringLiteral("Laufzeitfehler: %1").arg(QString::fromLocal8Bit(error.what())));
    }
    return false;
}

void ProgramHost::endProgram(int exitCode)
{
    if (m_ending) {
        return;
    }
    m_ending = true;
    timerOff();
    // The fetch that was waiting on it unwinds at its next pump and will not cancel it itself.
    m_interschneck.Cancel();
    // Messages in flight are dropped, not waited for.
    m_alerts.reset();
    m_exitCode = keepPendingRows(exitCode);
    programEnding();
    QCoreApplication::exit(m_exitCode);
}

void ProgramHost::pollingPass()
{
    PassOutcome outcome;
    GeraeteAbfragen(m_registry, *this, m_interschneck, 15, &outcome);
    m_polling.record(outcome);
    m_passRan = true;
}

void ProgramHost::fail(const QString &message)
{
    if (m_ending) {
        return;
    }
    // While the message is shown (a modal box on a real display), an end request must not turn
    // the error into a regular end.
    m_closing = true;
    timerOff();
    reportError(message);
    endProgram(1);
}
