#include "launch.h"

#include "headlessrunner.h"
#include "options.h"
#include "runtime/version.h"
#include "signalbridge.h"
#include "storage/datenbankverbindung.h"

#include <QCoreApplication>

int runProgram(ProgramHost &host, const std::function<void()> &show)
{
    SignalBridge signalBridge;
    QObject::connect(&signalBridge, &SignalBridge::endRequested, [&host] { host.endSequence(); });
    if (!host.start()) {
        return host.exitCode();
    }
    signalBridge.enable();
    show();
    return QCoreApplication::exec();
}

QString databasePathFor(const Options &options)
{
    return options.databasePath.isEmpty() ? defaultDatabasePath() : options.databasePath;
}

int runHeadless(int &argc, char **argv, const Options &options)
{
    // Qt's own event dispatcher costs the service less CPU than the glib one, which it would pick
    // by default; a user who sets QT_NO_GLIB keeps the choice.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) {
        qputenv("QT_NO_GLIB", "1");
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pelvaro-access"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(pelvaroVersion));
    HeadlessRunner runner(databasePathFor(options));
    runner.setStatusAddress(options.statusAddress);
    return runProgram(runner, [] {});
}
