// Preloaded into the program (LD_PRELOAD) to make it run on storage as slow as an SD card: every
// fsync and fdatasync first waits PELVARO_SLOW_SYNC_MS milliseconds, then does its real work.
#include <dlfcn.h>
#include <time.h>

#include <cstdlib>

namespace {

void waitAsTheDiskWould()
{
    static const long ms = [] {
        const char *text = std::getenv("PELVARO_SLOW_SYNC_MS");
        return text ? std::strtol(text, nullptr, 10) : 0L;
    }();
    timespec left = {ms / 1000, (ms % 1000) * 1000000};
    while (ms > 0 && nanosleep(&left, &left) != 0) {
    }
}

template <typename Function> Function real(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int fsync(int fd)
{
    static const auto next = real<int (*)(int)>("fsync");
    waitAsTheDiskWould();
    return next(fd);
}

extern "C" int fdatasync(int fd)
{
    static const auto next = real<int (*)(int)>("fdatasync");
    waitAsTheDiskWould();
    return next(fd);
}
