#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>

// The real executable, started as users start it.
QString pelvaroExecutable();
QString simulatorExecutable();

struct ProcessResult
{
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    bool finished = false;
    QByteArray out;
    QByteArray err;
};

// Runs the program to its end (at most timeoutMs) with the offscreen platform.
ProcessResult runPelvaro(const QStringList &arguments, int timeoutMs = 30000,
                         const QString &executable = pelvaroExecutable());
