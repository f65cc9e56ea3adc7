#include "signalbridge.h"

#include "runtime/endrequest.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

int g_sockets[2] = {-1, -1};
volatile std::sig_atomic_t g_received = 0;
// When the first signal came, in whole milliseconds of the monotonic clock.
volatile std::sig_atomic_t g_firstMs = 0;
// Some senders deliver one stop twice in a row (timeout(1) signals the process and its group);
// only a signal that comes this long after the first counts as a second request.
constexpr long kRepeatAfterMs = 1000;
// nowMs() counts milliseconds modulo this, so that it fits a sig_atomic_t.
constexpr long kClockWrapMs = 1000000L * 1000;

long nowMs()
{
    timespec now = {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long>(now.tv_sec % (kClockWrapMs / 1000)) * 1000 + now.tv_nsec / 1000000;
}

void onSignal(int number)
{
    // Only async-signal-safe calls here; the event loop does the rest.
    const int savedErrno = errno;
    if (!g_received) {
        g_received = 1;
        markEndRequested();
        g_firstMs = static_cast<std::sig_atomic_t>(nowMs());
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(g_sockets[0], &byte, 1);
    } else if ((nowMs() - g_firstMs + kClockWrapMs) % kClockWrapMs >= kRepeatAfterMs) {
        std::signal(number, SIG_DFL);
        std::raise(number);
    }
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

SignalBridge::SignalBridge(QObject *parent) : QObject(parent), m_notifier(nullptr)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_sockets) != 0) {
        return;
    }
    m_notifier = new QSocketNotifier(g_sockets[1], QSocketNotifier::Read, this);
    m_notifier->setEnabled(false);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalBridge::readSignal);
    g_received = 0;
    install(SIGTERM, onSignal);
    install(SIGINT, onSignal);
    // A reader of the pass logs that goes away (a closed pipe, a restarted journal) must not
    // kill the logger with its unsaved readings; the write merely fails.
    install(SIGPIPE, SIG_IGN);
}

// The handlers and the socket pair stay until the process ends: a stop that is delivered twice
// must not meet the default action while the program is still closing down.
SignalBridge::~SignalBridge() = default;

void SignalBridge::enable()
{
    if (m_notifier != nullptr) {
        m_notifier->setEnabled(true);
    }
}

void SignalBridge::readSignal()
{
    char byte = 0;
    [[maybe_unused]] const ssize_t got = ::read(g_sockets[1], &byte, 1);
    Q_EMIT endRequested();
}
