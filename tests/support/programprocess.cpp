#include "programprocess.h"

#include <QProcessEnvironment>

QString pelvaroExecutable()
{
    return qEnvironmentVariable("PELVARO_EXE");
}

ProcessResult runPelvaro(const QStringList &arguments, bool display, const QString &executable)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (!display) {
        for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
            environment.remove(QString::fromLatin1(name));
        }
    }
    process.setProcessEnvironment(environment);
    process.start(executable, arguments);
    ProcessResult result;
    result.finished = process.waitForFinished(30000);
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
