#include "windowmain.h"

#include "pelvaro_main.h"
#include "runtime/version.h"
#include "service/launch.h"
#include "service/options.h"
#include "service/windowloader.h"

#include <QApplication>

#include <type_traits>

static_assert(std::is_same_v<decltype(&pelvaroRunWindow), WindowEntry>,
              "the loader calls the entry through WindowEntry");

int pelvaroRunWindow(int &argc, char **argv, const Options &options)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("pelvaro-access"));
    QApplication::setApplicationVersion(QString::fromLatin1(pelvaroVersion));
    Pelvaro_Main window(databasePathFor(options));
    window.setStatusAddress(options.statusAddress);
    return runProgram(window, [&window] { window.show(); });
}
