#include "headlessrunner.h"

#include <unistd.h>

HeadlessRunner::HeadlessRunner(const QString &databasePath, QObject *parent)
    : QObject(parent), ProgramHost(databasePath, this), m_output(STDOUT_FILENO)
{
}

HeadlessRunner::~HeadlessRunner() = default;

void HeadlessRunner::setStatus(const QString &)
{
    // A countdown once a second would bury the pass logs; the status line has no place here.
}

void HeadlessRunner::passEnded()
{
    // Plain line ends for terminals and the journal, and one after the time stamp, so that the
    // next pass starts on a line of its own.
    QString text = logText();
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    m_output.write((text + QStringLiteral("\n\n")).toUtf8());
    m_devices.passEnded(registry(), polling());
}
