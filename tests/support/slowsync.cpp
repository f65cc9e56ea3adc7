// Preloaded into the program (LD_PRELOAD) to make it run on storage as slow as an SD card: every
// fsync and fdatasync first waits PELVARO_SLOW_SYNC_MS milliseconds, then does its real work. With
// PELVARO_SYNC_LOG set, each sync also adds a line to that file (the monotonic clock's milliseconds
// as it begins), so that a benchmark can count them.
#include <dlfcn.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

void waitAsTheDiskWould()
{
    static const long ms = [] {
        const char *text = std::getenv("PELVARO_SLOW_SYNC_MS");
        return text ? std::strtol(text, nullptr, 10) : 0L;
    }();
    static const char *log = std::getenv("PELVARO_SYNC_LOG");
    if (log) {
        const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0) {
            timespec now = {};
            clock_gettime(CLOCK_MONOTONIC, &now);
            char line[32];
            const int length =
                snprintf(line, sizeof line, "%lld\n",
                         static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
            [[maybe_unused]] const ssize_t written = write(fd, line, std::size_t(length));
            close(fd);
        }
    }
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
