#include "httpserver.h"

#include "httpservercallbacks.h"
#include "listenaddress.h"
#include "pagecertificate.h"
#include "runtime/bounds.h"
#include "runtime/runtimeerror.h"

#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <microhttpd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <sys/socket.h>

namespace {

// A run that took at least kBusyRunMs is followed by a rest kRestFactor times as long, so that
// the server takes at most a quarter of its thread however many requests flood in, and the
// thread's other work (the passes, on the program's thread) goes on at its pace.
constexpr qint64 kBusyRunMs = 1;
constexpr qint64 kRestFactor = 3;

} // namespace

HttpServer::HttpServer(Handler handler, QObject *parent)
    : QObject(parent), m_handler(std::move(handler)), m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &HttpServer::run);
}

HttpServer::~HttpServer()
{
    stop();
}

void HttpServer::listen(const ListenAddress &address, bool tls)
{
    sockaddr_storage socketAddress{};
    address.toSocketAddress(socketAddress);
    if (tls && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
        throw RuntimeError(ErrorNumber::NotSupported,
                           QStringLiteral("Die Statusseite kann kein TLS: libmicrohttpd ist "
                                          "ohne GnuTLS gebaut."));
    }
    const unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG
                           | (address.ipv6 ? MHD_USE_IPv6 : 0) | (tls ? MHD_USE_TLS : 0);
    // Every handshake asks PageCertificate for the certificate in use, so that a renewed one is
    // taken without a new listening socket. TLS 1.2 and 1.3 only, GnuTLS's usual choice within.
    MHD_OptionItem tlsOptions[] = {
        {MHD_OPTION_HTTPS_CERT_CALLBACK, 0, PageCertificate::retrieveFunction()},
        {MHD_OPTION_HTTPS_PRIORITIES, 0,
         const_cast<char *>("NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2")},
        {MHD_OPTION_END, 0, nullptr},
    };
    if (!tls) {
        tlsOptions[0] = {MHD_OPTION_END, 0, nullptr};
    }
    m_starting = true;
    m_startLog.clear();
    errno = 0;
    m_daemon = MHD_start_daemon(
        flags, address.port, nullptr, nullptr, &HttpServerCallbacks::access, this,
        MHD_OPTION_EXTERNAL_LOGGER, &HttpServerCallbacks::log, this, MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<const sockaddr *>(&socketAddress), MHD_OPTION_CONNECTION_LIMIT,
        unsigned(Bounds::kPageConnections), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        unsigned(Bounds::kPageConnectionsPerAddress), MHD_OPTION_CONNECTION_TIMEOUT,
        unsigned(Bounds::kPageIdleSeconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        size_t(Bounds::kPageConnectionMemory), MHD_OPTION_NOTIFY_CONNECTION,
        &HttpServerCallbacks::connection, this, MHD_OPTION_NOTIFY_COMPLETED,
        &HttpServerCallbacks::completed, this, MHD_OPTION_STRICT_FOR_CLIENT, 1, MHD_OPTION_ARRAY,
        tlsOptions, MHD_OPTION_END);
    const int error = errno;
    m_starting = false;
    if (m_daemon == nullptr) {
        QString reason = m_startLog.trimmed();
        if (reason.isEmpty()) {
            reason = QString::fromLocal8Bit(std::strerror(error));
        }
        throw RuntimeError(error == EADDRINUSE ? ErrorNumber::AddressInUse
                                               : ErrorNumber::AddressNotAvailable,
                           QStringLiteral("Die Statusseite kann nicht auf %1 lauschen "
                                          "(libmicrohttpd: %2).")
                               .arg(address.authority(address.port), reason));
    }
    m_port = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT)->port;
    const int epoll = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_EPOLL_FD)->epoll_fd;
    m_notifier = new QSocketNotifier(epoll, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &HttpServer::run);
    run();
}

void HttpServer::respond(quint64 id, HttpResponse response)
{
    Exchange *exchange = m_exchanges.value(id);
    if (exchange == nullptr || exchange->queued || exchange->answer) {
        return;
    }
    exchange->answer = std::move(response);
    if (exchange != m_inHandler) {
        resume(*exchange);
    }
}

void HttpServer::wake(quint64 id)
{
    if (Exchange *exchange = m_exchanges.value(id); exchange && exchange->stream) {
        resume(*exchange);
    }
}

void HttpServer::resume(Exchange &exchange)
{
    if (!exchange.suspended) {
        return;
    }
    exchange.suspended = false;
    MHD_resume_connection(exchange.connection);
    runSoon();
}

void HttpServer::runSoon()
{
    // Never MHD_run from inside one of its callbacks: the timer runs it from the event loop.
    m_timer->start(0);
}

void HttpServer::run()
{
    if (m_daemon == nullptr) {
        return;
    }
    if (!m_rest.hasExpired()) {
        m_timer->start(int(m_rest.remainingTime()));
        return;
    }
    m_notifier->setEnabled(true);
    const quint64 closes = m_connections.closes();
    QElapsedTimer spent;
    spent.start();
    MHD_run(m_daemon);
    const qint64 spentMs = spent.elapsed();
    // At the connection limit the library takes its listening socket out of its epoll set and
    // puts it back only at the start of a later run. When connections closed in this one, that
    // run comes at once: with none of them left there would be no event and no time-out to bring
    // it, and the page would never accept a connection again.
    qint64 waitMs = m_connections.closes() != closes ? 0 : -1;
    // -1: no need to run.
    const auto sooner = [&waitMs](qint64 ms) {
        waitMs = ms < 0 || waitMs < 0 ? std::max(waitMs, ms) : std::min(waitMs, ms);
    };
    sooner(m_connections.cutLate());
    MHD_UNSIGNED_LONG_LONG timeoutMs = 0;
    if (MHD_get_timeout(m_daemon, &timeoutMs) == MHD_YES) {
        sooner(qint64(std::min<MHD_UNSIGNED_LONG_LONG>(timeoutMs, INT_MAX)));
    }
    if (spentMs >= kBusyRunMs) {
        // Resting: the notifier would call again at once while requests wait; the run at the
        // rest's end turns it on again, and does what was due before.
        m_notifier->setEnabled(false);
        m_rest = QDeadlineTimer(spentMs * kRestFactor);
        waitMs = spentMs * kRestFactor;
    }
    if (waitMs >= 0) {
        m_timer->start(int(waitMs));
    } else {
        m_timer->stop();
    }
}

void HttpServer::stop()
{
    if (m_daemon == nullptr) {
        return;
    }
    // The library must not be stopped with a connection suspended; resumed, each is closed
    // without being asked for anything more.
    m_stopping = true;
    for (Exchange *exchange : std::as_const(m_exchanges)) {
        if (exchange->suspended) {
            exchange->suspended = false;
            MHD_resume_connection(exchange->connection);
        }
    }
    delete m_notifier;
    m_notifier = nullptr;
    m_timer->stop();
    MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
}
