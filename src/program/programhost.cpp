#include "programhost.h"

#include "runtime/runtimeerror.h"
#include "storage/datenbankverbindung.h"
#include "storage/konfiguration.h"
#include "web/geraeteabfragen.h"

#include <QCoreApplication>

#include <cstdio>
#include <functional>
#include <new>

ProgramHost::ProgramHost(QString databasePath)
    : m_databasePath(std::move(databasePath)),
      m_messTakt(m_registry, *this, [this] { pollingPass(); })
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
    if (guarded([this] { DatenbankSchliessen(m_registry, *this); })) {
        endProgram(0);
    }
}

void ProgramHost::timerTick()
{
    guarded([this] { m_messTakt.run(); });
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
    m_exitCode = exitCode;
    timerOff();
    // The fetch that was waiting on it unwinds at its next pump and will not cancel it itself.
    m_interschneck.Cancel();
    programEnding();
    QCoreApplication::exit(exitCode);
}

void ProgramHost::pollingPass()
{
    GeraeteAbfragen(m_registry, *this, m_interschneck);
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
