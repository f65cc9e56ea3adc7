#include "programhost.h"

#include "runtime/runtimeerror.h"
#include "statuspage/statuspage.h"
#include "storage/datenbankverbindung.h"
#include "storage/konfiguration.h"
#include "storage/mittelwerte.h"
#include "storage/recoveryfile.h"
#include "web/geraeteabfragen.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>

#include <cstdio>
#include <functional>
#include <new>

namespace {

// What each device's fetch may take.
constexpr qint32 kFetchTimeoutSeconds = 15;

} // namespace

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
    takeInRecoveryFile();
    m_registry.Datenbank->started();
    startStatusPage();
    m_registry.Sekunden = 0;
    timerOn();
}

void ProgramHost::startStatusPage()
{
    const QString address =
        m_statusAddress.isEmpty() ? m_registry.StatusAdresse.trimmed() : m_statusAddress;
    if (address.isEmpty()) {
        return;
    }
    auto page = std::make_unique<StatusPage>(*this, m_databasePath);
    page->start(address);
    storeNotice(QStringLiteral("Statusseite: %1").arg(page->url()));
    if (!page->isLoopback()) {
        storeNotice(StatusPage::openAddressNotice(page->url()));
    }
    m_statusPage = std::move(page);
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
    const qint64 passes = m_polling.passes();
    guarded([this] { m_messTakt.run(); });
    removeRecoveryFileOnceWritten();
    if (m_polling.passes() != passes && !m_ending) {
        passEnded();
    }
}

void ProgramHost::passEnded()
{
    m_passLog = logText();
    // One transaction: with no row left waiting, this store's averages are in the database.
    if (m_registry.pendingRows.isEmpty()) {
        for (const Mittelwert &average : m_messTakt.averages()) {
            m_lastStored.insert(average.sensorNummer, Stored{average.wert, average.zeit});
        }
    }
    if (m_statusPage) {
        m_statusPage->passEnded();
    }
}

StoreState ProgramHost::storeState() const
{
    const PendingRows &pending = m_registry.pendingRows;
    StoreState state;
    state.failure = pending.failure();
    state.waiting = pending.size();
    state.dropped = pending.dropped();
    // failingSince, failedStores, refused and refusedFile come with the rows-that-wait class's
    // own account of its failures.
    return state;
}

std::optional<StatusSource::Stored> ProgramHost::lastStored(qint32 sensorNummer) const
{
    const auto stored = m_lastStored.constFind(sensorNummer);
    return stored == m_lastStored.cend() ? std::nullopt : std::optional<Stored>(*stored);
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
    // No page answers while the program ends; connections still open are closed.
    m_statusPage.reset();
    // The fetch that was waiting on it unwinds at its next pump and will not cancel it itself.
    m_interschneck.Cancel();
    m_exitCode = keepPendingRows(exitCode);
    programEnding();
    QCoreApplication::exit(m_exitCode);
}

void ProgramHost::pollingPass()
{
    PassOutcome outcome;
    GeraeteAbfragen(m_registry, *this, m_interschneck, kFetchTimeoutSeconds, &outcome);
    m_polling.record(outcome);
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
