#include "windowloader.h"

#include <QtGlobal>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

// The window module, a shared object embedded by windowmodule.S.
extern "C" const unsigned char pelvaroWindowModule[];
extern "C" const unsigned long long pelvaroWindowModuleSize;

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

int fail(const std::string &what)
{
    std::fprintf(stderr, "pelvaro-access: %s\n", what.c_str());
    return 1;
}

std::string systemError()
{
    return std::strerror(errno);
}

bool writeAll(int fd, const unsigned char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// The module as a file that exists only in memory, so the executable needs nothing beside it.
// Loaded once and kept until the program ends.
void *loadModule()
{
    const int fd = ::memfd_create("pelvaro-window", MFD_CLOEXEC);
    if (fd < 0) {
        fail("Das Fenstermodul ließ sich nicht im Speicher anlegen (memfd_create: " + systemError()
             + ").");
        return nullptr;
    }
    if (!writeAll(fd, pelvaroWindowModule, pelvaroWindowModuleSize)) {
        fail("Das Fenstermodul ließ sich nicht in den Speicher schreiben (write: " + systemError()
             + ").");
        ::close(fd);
        return nullptr;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    void *module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char *reason = ::dlerror();
        fail(std::string("Das Fenstermodul ließ sich nicht laden (dlopen: ")
             + (reason ? reason : "unbekannter Fehler") + ").");
    }
    ::close(fd);
    return module;
}

} // namespace

int runWindow(int &argc, char **argv, const Options &options)
{
    // Qt would abort with a core dump when it finds no display; say what to do instead.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && !hasPlatformOption(argc, argv)) {
        return fail("Kein Bildschirm gefunden (DISPLAY ist nicht gesetzt). Ohne Fenster läuft das "
                    "Programm mit --headless.");
    }
    void *module = loadModule();
    if (!module) {
        return 1;
    }
    const auto entry = reinterpret_cast<WindowEntry>(::dlsym(module, kWindowEntryName));
    if (!entry) {
        const char *reason = ::dlerror();
        return fail(std::string("Das Fenstermodul hat keinen Einstieg ") + kWindowEntryName
                    + " (dlsym: " + (reason ? reason : "unbekannter Fehler") + ").");
    }
    return entry(argc, argv, options);
}
