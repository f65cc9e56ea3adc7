#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>

// The real executable, started as users start it.
QString pelvaroExecutable();

struct ProcessResult
{
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    bool finished = false;
    QByteArray out;
    QByteArray err;
};

// Runs the program to its end (at most 30 s) with the offscreen platform, or with no display at
// all.
ProcessResult runPelvaro(const QStringList &arguments, bool display = true,
                         const QString &executable = pelvaroExecutable());
