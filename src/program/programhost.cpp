#include "programhost.h"

#include "configuration.h"
#include "storedconfiguration.h"

#include "alerts/alerts.h"
#include "runtime/processsignals.h"
#include "runtime/quietview.h"
#include "runtime/runtimeerror.h"
#include "statuspage/statuspage.h"
#include "storage/datenbankverbindung.h"
#include "storage/konfiguration.h"
#include "web/geraeteabfragen.h"

#include <QCoreApplication>
#include <QTimer>

#include <functional>
#include <new>

namespace {

constexpr int kTickMs = 1000;

} // namespace

ProgramHost::ProgramHost(QString databasePath, QObject *timerOwner)
    : m_databasePath(std::move(databasePath)), m_timer(new QTimer(timerOwner)),
      m_log(QStringLiteral("Text1")),
      m_messTakt(
          m_registry, m_pendingRows, *this, [this] { pollingPass(); }, Journal::write)
{
    m_timer->setObjectName(QStringLiteral("Timer1"));
    m_timer->setInterval(kTickMs);
    // A coarse timer may fire up to 5 % early; the next tick is due a full second after a tick
    // ends.
    m_timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(m_timer, &QTimer::timeout, [this] { Timer1_Timer(); });
}

ProgramHost::~ProgramHost() = default;

void ProgramHost::Form_Load()
{
    setStatus(QString());
    DatenbankOeffnen(m_registry, *this, m_databasePath);
    const Configuration configuration = readConfiguration(m_registry, *this);
    takeConfiguration(m_registry, configuration);
    m_passOptions = configuration.passOptions;
    m_statusSettings = configuration.statusSettings;
    checkWerte(m_registry);
    m_alerts = Alerts::create(m_registry, configuration.alertSettings, m_curl);
    m_pendingRows.setDatabaseName(m_databasePath);
    m_pendingRows.setAufbewahrung(configuration.aufbewahrung);
    m_pendingRows.open();
    // Written on the store's thread while the program starts; the journal hears how it went.
    m_pendingRows.takeIn(false);
    m_registry.Datenbank->started();
    startStatusPage();
    m_registry.Sekunden = 0;
    timerOn();
}

void ProgramHost::clearLog()
{
    m_log.clear();
    logCleared();
}

void ProgramHost::appendLog(const QString &piece)
{
    m_log += piece;
    logAppended(piece);
}

void ProgramHost::timerOff()
{
    m_timer->stop();
}

void ProgramHost::timerOn()
{
    m_timer->start();
}

void ProgramHost::startStatusPage()
{
    const QString address =
        m_statusAddress.isEmpty() ? m_statusSettings.StatusAdresse : m_statusAddress;
    if (address.isEmpty()) {
        return;
    }
    auto page = std::make_unique<StatusPage>(*this, m_databasePath);
    page->start(address, m_statusSettings.filesWith(m_statusFiles, m_databasePath));
    Journal::write(Journal::Priority::Info, QStringLiteral("Statusseite: %1").arg(page->url()));
    m_statusPage = std::move(page);
}

std::shared_ptr<ConfigurationAccess> ProgramHost::configurationAccess() const
{
    return std::make_shared<StoredConfiguration>(m_databasePath);
}

void ProgramHost::reload()
{
    if (m_ending || !m_registry.Datenbank) {
        return;
    }
    if (m_statusPage) {
        m_statusPage->reload();
    }
    // Read at once, so that what is wrong is told at once; taken only at the next store.
    QuietView quiet{false};
    try {
        m_nextConfiguration = std::make_unique<Configuration>(readConfiguration(m_registry, quiet));
        m_configurationProblem.clear();
        Journal::write(Journal::Priority::Notice,
                       QStringLiteral("Die Konfiguration ist neu gelesen und geprüft; sie gilt ab "
                                      "der nächsten Speicherung."));
    } catch (const RuntimeError &error) {
        m_nextConfiguration.reset();
        m_configurationProblem = error.message();
        Journal::write(Journal::Priority::Warning,
                       QStringLiteral("Die Konfiguration bleibt, wie sie war: %1")
                           .arg(m_configurationProblem));
    }
}

void ProgramHost::takeNextConfiguration()
{
    // Right after a store: every average stored so far holds its full Messungen polls, and every
    // one stored from here on holds polls of the new configuration only.
    const std::unique_ptr<Configuration> next = std::move(m_nextConfiguration);
    takeConfiguration(m_registry, *next);
    m_passOptions = next->passOptions;
    m_pendingRows.setAufbewahrung(next->aufbewahrung);
    m_polling.forgetPositions();
    m_alerts.reset();
    try {
        m_alerts = Alerts::create(m_registry, next->alertSettings, m_curl);
    } catch (const RuntimeError &error) {
        Journal::write(Journal::Priority::Warning,
                       QStringLiteral("Die Alarme sind aus, bis die Grenzwerte wieder zu lesen "
                                      "sind: %1")
                           .arg(error.message()));
    }
    if (m_statusPage) {
        m_statusPage->configurationChanged();
    }
    Journal::write(Journal::Priority::Notice,
                   QStringLiteral("Neue Konfiguration übernommen: %1 Geräte, %2 Sensoren, alle %3 "
                                  "s, gespeichert nach %4 Abfragen.")
                       .arg(m_registry.AnzahlGeraete)
                       .arg(m_registry.AnzahlSensoren)
                       .arg(m_registry.MessIntervall)
                       .arg(m_registry.Messungen));
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
    Journal::write(Journal::Priority::Error, message);
}

void ProgramHost::reportWarning(const QString &message)
{
    Journal::write(Journal::Priority::Warning, message);
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
    markEnding();
    if (guarded([this] {
            timerOff();
            const QString written = m_pendingRows.lastTry();
            if (!written.isEmpty()) {
                Journal::write(Journal::Priority::Notice, written);
            }
            DatenbankSchliessen(m_registry, *this);
        })) {
        endProgram(0);
    }
}

void ProgramHost::Timer1_Timer()
{
    m_passRan = false;
    guarded([this] {
        m_messTakt.run();
        reportAlerts();
        if (m_nextConfiguration && !m_messTakt.averages().isEmpty()) {
            takeNextConfiguration();
        }
    });
    if (m_passRan && !m_ending) {
        afterPass();
        passEnded();
    }
}

void ProgramHost::afterPass()
{
    m_passLog = logText();
    if (m_statusPage) {
        m_statusPage->passEnded();
    }
}

StoreState ProgramHost::storeState() const
{
    return m_pendingRows.state();
}

std::optional<StatusSource::Stored> ProgramHost::lastStored(qint32 sensorNummer) const
{
    PendingRows::Row row{};
    if (!m_pendingRows.lastWritten(sensorNummer, &row)) {
        return std::nullopt;
    }
    return Stored{row.wert, row.zeitLocal()};
}

QList<ActiveAlert> ProgramHost::alerts() const
{
    return m_alerts ? m_alerts->conditions() : QList<ActiveAlert>();
}

qint64 ProgramHost::undeliveredAlerts() const
{
    return m_alerts ? m_alerts->undelivered() : 0;
}

void ProgramHost::reportAlerts()
{
    if (!m_passRan || !m_alerts) {
        return;
    }
    const QDateTime now = QDateTime::currentDateTime();
    for (const QString &line : m_alerts->afterPass(m_registry, m_polling, m_messTakt.averages(),
                                                   m_pendingRows.state(), now)) {
        // As MessTakt appends its store lines: after the time stamp, each on a line of its own.
        appendLog(QStringLiteral("\r\n") + line);
    }
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
    markEnding();
    timerOff();
    // No page answers while the program ends; connections still open are closed.
    m_statusPage.reset();
    // The fetch that was waiting on it unwinds at its next pump and will not cancel it itself.
    m_interschneck.Cancel();
    // Messages in flight are dropped, not waited for.
    m_alerts.reset();
    const bool kept = m_pendingRows.keepForNextStart([this](const QString &message, bool inFile) {
        if (inFile) {
            reportWarning(message);
        } else {
            reportError(message);
        }
    });
    m_exitCode = kept ? exitCode : 1;
    programEnding();
    QCoreApplication::exit(m_exitCode);
}

void ProgramHost::pollingPass()
{
    PassOutcome outcome;
    GeraeteAbfragen(m_registry, *this, m_interschneck, m_passOptions, &outcome);
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
