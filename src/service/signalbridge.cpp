#include "signalbridge.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_sockets[2] = {-1, -1};
volatile std::sig_atomic_t g_received = 0;

void onSignal(int number)
{
    if (g_received) {
        std::signal(number, SIG_DFL);
        std::raise(number);
        return;
    }
    g_received = 1;
    const char byte = 1;
    // Only async-signal-safe calls here; the event loop does the rest.
    [[maybe_unused]] const ssize_t written = ::write(g_sockets[0], &byte, 1);
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

SignalBridge::~SignalBridge()
{
    install(SIGTERM, SIG_DFL);
    install(SIGINT, SIG_DFL);
    delete m_notifier;
    for (int &socket : g_sockets) {
        if (socket >= 0) {
            ::close(socket);
            socket = -1;
        }
    }
}

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
