#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>

#include <functional>

// The real executables, started as users start them: the window program pelvaro-access and the
// service pelvarod.
inline QString pelvaroExecutable()
{
    return qEnvironmentVariable("PELVARO_EXE");
}
inline QString pelvarodExecutable()
{
    return qEnvironmentVariable("PELVARO_DAEMON");
}

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

// Starts the service pelvarod on database, in the process's environment without any display, as
// a service manager starts it: SIGPIPE at its default (Qt's network code in a test ignores it,
// and the child would inherit that), then childSetup in the child. False if it did not start.
bool startPelvaro(QProcess &process, const QString &database,
                  const std::function<void()> &childSetup = {});
// SIGTERM, while this event loop serves the devices; the exit code, or -1 when the program had
// already ended, crashed or did not end within 10 s.
int stopPelvaro(QProcess &process);

// How the tests start Debian's chromium: headless, resolving no host name at all, so that it
// reaches the program on loopback and nothing else, and taking a certificate of the test's own.
QStringList chromiumArguments(const QString &profile);

// The page at url as Debian's chromium shows it after five seconds of its own time (--dump-dom),
// headless and resolving no host name at all, so that it reaches the program on loopback and
// nothing else; a certificate of the test's own is taken. This thread's events are served
// meanwhile. Empty when chromium is missing or does not end within 60 s.
QString pageInChromium(const QString &url);
