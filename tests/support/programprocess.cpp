#include "programprocess.h"

#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

QProcessEnvironment withoutDisplay(QProcessEnvironment environment)
{
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        environment.remove(QString::fromLatin1(name));
    }
    return environment;
}

} // namespace

ProcessResult runPelvaro(const QStringList &arguments, bool display, const QString &executable)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(display ? environment : withoutDisplay(environment));
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

bool startPelvaro(QProcess &process, const QString &database,
                  const std::function<void()> &childSetup)
{
    const QProcessEnvironment environment = process.processEnvironment();
    process.setProcessEnvironment(withoutDisplay(
        environment.isEmpty() ? QProcessEnvironment::systemEnvironment() : environment));
    process.setChildProcessModifier([childSetup] {
        ::signal(SIGPIPE, SIG_DFL);
        if (childSetup) {
            childSetup();
        }
    });
    process.start(pelvarodExecutable(), {QStringLiteral("--database"), database});
    return process.waitForStarted();
}

int stopPelvaro(QProcess &process)
{
    // A program that has already ended has no process id left; kill(0) would hit this test.
    if (process.state() == QProcess::NotRunning) {
        return -1;
    }
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 10000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QStringList chromiumArguments(const QString &profile)
{
    return {QStringLiteral("--headless"),
            QStringLiteral("--no-sandbox"),
            QStringLiteral("--disable-gpu"),
            QStringLiteral("--disable-quic"),
            QStringLiteral("--no-first-run"),
            QStringLiteral("--disable-background-networking"),
            QStringLiteral("--disable-component-update"),
            QStringLiteral("--disable-sync"),
            QStringLiteral("--ignore-certificate-errors"),
            QStringLiteral("--host-resolver-rules=MAP * ~NOTFOUND , EXCLUDE 127.0.0.1"),
            QStringLiteral("--user-data-dir=") + profile};
}

QString pageInChromium(const QString &url)
{
    QTemporaryDir profile;
    QProcess chromium;
    chromium.start(QStringLiteral("chromium"), chromiumArguments(profile.path())
                                                   << QStringLiteral("--virtual-time-budget=5000")
                                                   << QStringLiteral("--dump-dom") << url);
    if (!chromium.waitForStarted()
        || !QTest::qWaitFor([&] { return chromium.state() == QProcess::NotRunning; }, 60000)) {
        chromium.kill();
        chromium.waitForFinished();
        return {};
    }
    return QString::fromUtf8(chromium.readAllStandardOutput());
}
