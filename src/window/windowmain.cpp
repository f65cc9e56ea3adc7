#include "windowmain.h"

#include "pelvaro_main.h"
#include "runtime/journal.h"
#include "runtime/version.h"
#include "service/launch.h"
#include "service/options.h"

#include <QApplication>

#include <cstring>

namespace {

bool hasPlatformOption(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

int runWindow(int &argc, char **argv, const Options &options)
{
    // Qt would abort with a core dump when it finds no display; say what to do instead.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && !hasPlatformOption(argc, argv)) {
        Journal::write(Journal::Priority::Error,
                       QStringLiteral("Kein Bildschirm gefunden (DISPLAY ist nicht gesetzt). Ohne "
                                      "Fenster läuft das Programm mit --headless, als Dienst als "
                                      "pelvarod."));
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(programName(Program::Window));
    QApplication::setApplicationVersion(QString::fromLatin1(pelvaroVersion));
    Pelvaro_Main window(databasePathFor(options));
    window.setStatusAddress(options.statusAddress);
    window.setStatusFiles(options.statusFiles);
    return runProgram(window, [&window] { window.show(); });
}
