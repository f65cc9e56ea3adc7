#include "processsignals.h"

#include "runtimeerror.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

// Lock-free, so a signal handler may set it; atomic, so other threads may read it.
std::atomic<int> g_ending{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

int g_sockets[2] = {-1, -1};
volatile std::sig_atomic_t g_stopReceived = 0;
// When the first stop came, in whole milliseconds of the monotonic clock.
volatile std::sig_atomic_t g_firstStopMs = 0;
// Only a stop that comes this long after the first counts as a second request.
constexpr long kRepeatAfterMs = 1000;
// nowMs() counts milliseconds modulo this, so that it fits a sig_atomic_t.
constexpr long kClockWrapMs = 1000000L * 1000;
// What the handlers write into the channel.
constexpr char kStop = 's';
constexpr char kReload = 'r';

long nowMs()
{
    timespec now = {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec % (kClockWrapMs / 1000)) * 1000 + now.tv_nsec / 1000000;
}

void tell(char what)
{
    [[maybe_unused]] const ssize_t written = ::write(g_sockets[0], &what, 1);
}

void onStop(int number)
{
    // Only async-signal-safe calls here; the event loop does the rest.
    const int savedErrno = errno;
    if (!g_stopReceived) {
        g_stopReceived = 1;
        markEnding();
        g_firstStopMs = static_cast<std::sig_atomic_t>(nowMs());
        tell(kStop);
    } else if ((nowMs() - g_firstStopMs + kClockWrapMs) % kClockWrapMs >= kRepeatAfterMs) {
        std::signal(number, SIG_DFL);
        std::raise(number);
    }
    errno = savedErrno;
}

void onReload(int)
{
    const int savedErrno = errno;
    tell(kReload);
    errno = savedErrno;
}

void install(int number, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(number, &action, nullptr);
}

} // namespace

void markEnding()
{
    g_ending.store(1, std::memory_order_relaxed);
}

bool isEnding()
{
    return g_ending.load(std::memory_order_relaxed) != 0;
}

void leaveSignalsToMainThread()
{
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
}

ProcessSignals::ProcessSignals(QObject *parent) : QObject(parent), m_notifier(nullptr)
{
    // Non-blocking on the handlers' side: a burst of signals must never block a handler.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_sockets) != 0) {
        throw RuntimeError(ErrorNumber::NotSupported,
                           QStringLiteral("Die Signale SIGTERM und SIGINT können nicht empfangen "
                                          "werden (socketpair: %1); ohne sie ließe sich das "
                                          "Programm nicht ordentlich beenden.")
                               .arg(QString::fromLocal8Bit(std::strerror(errno))));
    }
    m_notifier = new QSocketNotifier(g_sockets[1], QSocketNotifier::Read, this);
    m_notifier->setEnabled(false);
    connect(m_notifier, &QSocketNotifier::activated, this, &ProcessSignals::readSignals);
    g_stopReceived = 0;
    install(SIGTERM, onStop);
    install(SIGINT, onStop);
    // A reader of the pass logs that goes away (a closed pipe, a restarted journal) must not
    // kill the logger with its unsaved readings; the write merely fails.
    install(SIGPIPE, SIG_IGN);
}

// The handlers and the socket pair stay until the process ends: a stop that is delivered twice
// must not meet the default action while the program is still closing down.
ProcessSignals::~ProcessSignals() = default;

void ProcessSignals::enable()
{
    m_notifier->setEnabled(true);
}

void ProcessSignals::enableReload()
{
    install(SIGHUP, onReload);
}

void ProcessSignals::readSignals()
{
    char what[64];
    ssize_t got = 0;
    bool stop = false;
    bool reload = false;
    while ((got = ::read(g_sockets[1], what, sizeof what)) > 0) {
        stop = stop || std::memchr(what, kStop, std::size_t(got)) != nullptr;
        reload = reload || std::memchr(what, kReload, std::size_t(got)) != nullptr;
    }
    if (reload) {
        Q_EMIT reloadRequested();
    }
    if (stop) {
        Q_EMIT stopRequested();
    }
}
