#include "programprocess.h"

#include <QProcessEnvironment>

QString pelvaroExecutable()
{
    return qEnvironmentVariable("PELVARO_EXE");
}

QString simulatorExecutable()
{
    return qEnvironmentVariable("PELVARO_DEVICESIM");
}

ProcessResult runPelvaro(const QStringList &arguments, int timeoutMs, const QString &executable)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    process.start(executable, arguments);
    ProcessResult result;
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished();
    }
    result.exitCode = process.exitCode();
    result.exitStatus = process.exitStatus();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}
