#include "windowmain.h"

#include "launch.h"
#include "options.h"
#include "pelvaro_main.h"
#include "version.h"

#include <QApplication>

int runWindow(int &argc, char **argv, const Options &options)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("pelvaro-access"));
    QApplication::setApplicationVersion(QString::fromLatin1(pelvaroVersion));
    Pelvaro_Main window(databasePathFor(options));
    return runProgram(window, [&window] { window.show(); });
}
