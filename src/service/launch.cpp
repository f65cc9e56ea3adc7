#include "launch.h"

#include "configcommand.h"
#include "hashpassword.h"
#include "headlessrunner.h"
#include "options.h"
#include "probecommand.h"
#include "runtime/journal.h"
#include "runtime/processsignals.h"
#include "runtime/runtimeerror.h"
#include "runtime/version.h"
#include "storage/datenbankverbindung.h"
#include "storage/storethread.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The program without a window: needs no display and creates no GUI application.
int runHeadless(int &argc, char **argv, const Options &options, const QString &name)
{
    // Qt's own event dispatcher costs the service less CPU than the glib one, which it would pick
    // by default; a user who sets QT_NO_GLIB keeps the choice.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) {
        qputenv("QT_NO_GLIB", "1");
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(name);
    QCoreApplication::setApplicationVersion(QString::fromLatin1(pelvaroVersion));
    HeadlessRunner runner(databasePathFor(options));
    runner.setStatusAddress(options.statusAddress);
    runner.setStatusFiles(options.statusFiles);
    return runProgram(runner, [] {});
}

} // namespace

int pelvaroMain(int argc, char *argv[], WindowRunner runWindow)
{
    // Started with a standard stream closed, the next file the program opens would take its
    // number, and messages meant for stderr would go there.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0) {
            ::open("/dev/null", O_RDWR);
        }
    }
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    const Program program = runWindow != nullptr ? Program::Window : Program::Service;
    Journal::setProgramName(programName(program));
    const ParsedCommandLine command = parseCommandLine(arguments, program);
    if (!command.run) {
        std::fputs(command.output.toLocal8Bit().constData(), stdout);
        Journal::writeLines(Journal::Priority::Error, command.error.toLocal8Bit());
        // --help or --version whose text could not be written has not done its job.
        return std::fflush(stdout) != 0 || std::ferror(stdout) ? 1 : command.exitCode;
    }
    if (command.run->hashPasswordFor) {
        return printPasswordLine(*command.run->hashPasswordFor);
    }
    if (!command.run->probe.isEmpty()) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(programName(program));
        return probeDevice(command.run->probe, command.run->databasePath);
    }
    if (!command.run->exportConfig.isEmpty() || !command.run->importConfig.isEmpty()) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(programName(program));
        const QString database = databasePathFor(*command.run);
        return command.run->exportConfig.isEmpty()
                   ? importConfigurationFrom(database, command.run->importConfig)
                   : exportConfigurationTo(database, command.run->exportConfig);
    }
    return command.run->headless ? runHeadless(argc, argv, *command.run, programName(program))
                                 : runWindow(argc, argv, *command.run);
}

int runProgram(ProgramHost &host, const std::function<void()> &show)
{
    std::unique_ptr<ProcessSignals> processSignals;
    try {
        processSignals = std::make_unique<ProcessSignals>();
    } catch (const RuntimeError &error) {
        host.reportError(error.message());
        return 1;
    }
    QObject::connect(processSignals.get(), &ProcessSignals::stopRequested,
                     [&host] { host.endSequence(); });
    // Heard from here on, acted on once the program runs.
    QObject::connect(processSignals.get(), &ProcessSignals::reloadRequested,
                     [&host] { host.reload(); });
    processSignals->enableReload();
    if (!host.start()) {
        return host.exitCode();
    }
    processSignals->enable();
    show();
    const int exitCode = QCoreApplication::exec();
    if (StoreThread::leftRunning()) {
        // A store given up at the end may still be inside the database library, whose clean-up
        // at exit would pull the connection from under it. What had to be kept is written.
        std::fflush(nullptr);
        std::_Exit(exitCode);
    }
    return exitCode;
}

QString databasePathFor(const Options &options)
{
    return options.databasePath.isEmpty() ? defaultDatabasePath() : options.databasePath;
}
