#include "service/launch.h"
#include "service/options.h"
#include "service/windowloader.h"

#include <QStringList>

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char *argv[])
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
    const ParsedCommandLine command = parseCommandLine(arguments);
    if (!command.run) {
        std::fputs(command.output.toLocal8Bit().constData(), stdout);
        std::fputs(command.error.toLocal8Bit().constData(), stderr);
        // --help or --version whose text could not be written has not done its job.
        return std::fflush(stdout) != 0 || std::ferror(stdout) ? 1 : command.exitCode;
    }
    return command.run->headless ? runHeadless(argc, argv, *command.run)
                                 : runWindow(argc, argv, *command.run);
}
