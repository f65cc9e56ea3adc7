#pragma once

#include "statuspage/statussettings.h"

#include <QString>
#include <QStringList>

#include <optional>

struct Options
{
    // Empty: Messwerte.mdb in the executable's folder.
    QString databasePath;
    bool headless = false;
    // --status: where the status page listens (checked); empty when not given.
    QString statusAddress;
    // --status-users, --status-cert, --status-key, as absolute paths; each empty when not given.
    StatusFiles statusFiles;
    // --hash-password NAME: print a users file's line for NAME instead of running.
    std::optional<QString> hashPasswordFor;
    // --export-config FILE, --import-config FILE: the configuration as a document instead of
    // running; each empty when not given.
    QString exportConfig;
    QString importConfig;
    // --probe ADDRESS: fetch one device's page and say what a pass would make of it.
    QString probe;
};

// What the command line asks for: either a run with these options, or an immediate exit with
// exitCode after printing output (to stdout) or error (to stderr). Exit code 2 is a usage error.
struct ParsedCommandLine
{
    std::optional<Options> run;
    int exitCode = 0;
    QString output;
    QString error;
};

// Which program reads the command line: pelvaro-access, with its window unless --headless is
// given, or pelvarod, the service, which never has one.
enum class Program {
    Window,
    Service,
};

// The name the program goes by in its messages, --help and --version.
QString programName(Program program);

// arguments includes the program name first, as QCoreApplication::arguments() has it. Needs no
// application object, so that the kind of application can follow from the options.
ParsedCommandLine parseCommandLine(const QStringList &arguments, Program program);
