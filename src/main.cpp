#include "options.h"
#include "launch.h"
#include "windowmain.h"

#include <QStringList>

#include <cstdio>

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    const ParsedCommandLine command = parseCommandLine(arguments);
    if (!command.run) {
        std::fputs(command.output.toLocal8Bit().constData(), stdout);
        std::fputs(command.error.toLocal8Bit().constData(), stderr);
        return command.exitCode;
    }
    return command.run->headless ? runHeadless(argc, argv, *command.run)
                                 : runWindow(argc, argv, *command.run);
}
