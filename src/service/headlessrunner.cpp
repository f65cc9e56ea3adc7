#include "headlessrunner.h"

#include <QTimer>

#include <unistd.h>

namespace {

constexpr int kTickMs = 1000;

} // namespace

HeadlessRunner::HeadlessRunner(const QString &databasePath, QObject *parent)
    : QObject(parent), ProgramHost(databasePath), m_timer(new QTimer(this)), m_output(STDOUT_FILENO)
{
    m_timer->setObjectName(QStringLiteral("Timer1"));
    m_timer->setInterval(kTickMs);
    // A coarse timer may fire up to 5 % early; the next tick is due a full second after a tick
    // ends.
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, [this] {
        m_passDone = false;
        timerTick();
        // After the whole tick, so that a line about the store that followed the pass belongs to
        // the pass's log, as in the window.
        if (m_passDone) {
            writePassLog();
        }
    });
}

HeadlessRunner::~HeadlessRunner() = default;

void HeadlessRunner::clearLog()
{
    m_log.clear();
}

void HeadlessRunner::appendLog(const QString &piece)
{
    m_log += piece;
}

QString HeadlessRunner::logText() const
{
    return m_log;
}

void HeadlessRunner::setStatus(const QString &)
{
    // A countdown once a second would bury the pass logs; the status line has no place here.
}

void HeadlessRunner::timerOff()
{
    m_timer->stop();
}

void HeadlessRunner::timerOn()
{
    m_timer->start();
}

void HeadlessRunner::pollingPass()
{
    ProgramHost::pollingPass();
    m_passDone = true;
}

void HeadlessRunner::writePassLog()
{
    // Plain line ends for terminals and the journal, and one after the time stamp, so that the
    // next pass starts on a line of its own.
    QString text = m_log;
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    m_output.write((text + QStringLiteral("\n\n")).toUtf8());
}
