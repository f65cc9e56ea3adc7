#include "httpserver.h"

#include "httprequest.h"
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

// What the page itself needs and nothing more: its own scripts, styles and requests; no frames,
// no plug-ins, no inline code (everything from the database enters the page as text anyway).
const HttpHeaders kSecurityHeaders{
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
     "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "no-referrer"},
};

// A run that took at least kBusyRunMs is followed by a rest kRestFactor times as long, so that
// the server takes at most a quarter of its thread however many requests flood in, and the
// thread's other work (the passes, on the program's thread) goes on at its pace.
constexpr qint64 kBusyRunMs = 1;
constexpr qint64 kRestFactor = 3;

// How much of a stream the library asks for at a time.
constexpr size_t kStreamBlock = 16 * 1024;

bool allowedMethod(const char *method)
{
    return std::strcmp(method, MHD_HTTP_METHOD_GET) == 0
           || std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
}

} // namespace

struct HttpServer::Exchange
{
    Exchange(quint64 id, MHD_Connection *connection) : id(id), connection(connection) {}

    quint64 id;
    MHD_Connection *connection;
    std::optional<HttpResponse> answer;
    bool queued = false;
    bool suspended = false;
    StreamState *stream = nullptr;
};

// Owned by the library's response, which may outlive the exchange by a little.
struct HttpServer::StreamState
{
    StreamState(HttpServer *server, Exchange *exchange, std::shared_ptr<HttpStream> stream)
        : server(server), exchange(exchange), stream(std::move(stream))
    {
    }

    HttpServer *server;
    Exchange *exchange;
    std::shared_ptr<HttpStream> stream;
    QByteArray chunk;
    qsizetype offset = 0;
};

// libmicrohttpd's C callbacks; they all run inside MHD_run, on the server's thread.
class HttpServerCallbacks
{
public:
    static MHD_Result access(void *cls, MHD_Connection *connection, const char *url,
                             const char *method, const char *, const char *, size_t *uploadSize,
                             void **context)
    {
        auto *server = static_cast<HttpServer *>(cls);
        auto *exchange = static_cast<HttpServer::Exchange *>(*context);
        if (server->m_stopping) {
            return MHD_NO;
        }
        if (exchange == nullptr) {
            server->m_connections.headerArrived(connection);
            exchange = new HttpServer::Exchange{++server->m_lastId, connection};
            *context = exchange;
            server->m_exchanges.insert(exchange->id, exchange);
            begin(*server, *exchange, url, method);
            // Answered at the next call, once the request has been read to its end: an answer
            // queued before would make the library close the connection after it.
            if (allowedMethod(method)) {
                return MHD_YES;
            }
        }
        // A body is never read: every answer is queued before one would be.
        *uploadSize = 0;
        if (exchange->answer) {
            HttpResponse answer = std::move(*exchange->answer);
            exchange->answer.reset();
            return queue(*server, *exchange, answer);
        }
        if (!exchange->queued) {
            exchange->suspended = true;
            MHD_suspend_connection(connection);
        }
        return MHD_YES;
    }

    static void completed(void *cls, MHD_Connection *connection, void **context,
                          MHD_RequestTerminationCode)
    {
        auto *server = static_cast<HttpServer *>(cls);
        auto *exchange = static_cast<HttpServer::Exchange *>(*context);
        server->m_connections.answered(connection);
        if (exchange == nullptr) {
            return;
        }
        if (exchange->stream != nullptr) {
            exchange->stream->exchange = nullptr;
        }
        server->m_exchanges.remove(exchange->id);
        delete exchange;
        *context = nullptr;
    }

    static void connection(void *cls, MHD_Connection *connection, void **,
                           MHD_ConnectionNotificationCode code)
    {
        auto &connections = static_cast<HttpServer *>(cls)->m_connections;
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            connections.opened(connection);
        } else {
            connections.closed(connection);
        }
    }

    static ssize_t read(void *cls, uint64_t, char *buffer, size_t max)
    {
        auto *state = static_cast<HttpServer::StreamState *>(cls);
        if (state->exchange == nullptr || state->server->m_stopping) {
            return MHD_CONTENT_READER_END_WITH_ERROR;
        }
        while (state->offset >= state->chunk.size()) {
            state->chunk.clear();
            state->offset = 0;
            switch (state->stream->pull(state->chunk)) {
            case HttpStream::Pull::Data:
                break;
            case HttpStream::Pull::Wait:
                // Allowed from within this callback; the library asks again once resumed.
                state->exchange->suspended = true;
                MHD_suspend_connection(state->exchange->connection);
                return 0;
            case HttpStream::Pull::End:
                return MHD_CONTENT_READER_END_OF_STREAM;
            case HttpStream::Pull::Fail:
                return MHD_CONTENT_READER_END_WITH_ERROR;
            }
        }
        const size_t count = std::min(max, size_t(state->chunk.size() - state->offset));
        std::memcpy(buffer, state->chunk.constData() + state->offset, count);
        state->offset += qsizetype(count);
        return ssize_t(count);
    }

    static void freeStream(void *cls) { delete static_cast<HttpServer::StreamState *>(cls); }

    static void log(void *cls, const char *format, va_list arguments)
    {
        auto *server = static_cast<HttpServer *>(cls);
        if (!server->m_starting) {
            // Clients that go away or send garbage are no news for the journal.
            return;
        }
        char text[512];
        std::vsnprintf(text, sizeof text, format, arguments);
        server->m_startLog += QString::fromLocal8Bit(text).trimmed() + QLatin1Char(' ');
    }

private:
    static void begin(HttpServer &server, HttpServer::Exchange &exchange, const char *url,
                      const char *method)
    {
        if (!allowedMethod(method)) {
            exchange.answer = HttpResponse{405,
                                           "text/plain; charset=utf-8",
                                           "Nur GET und HEAD sind erlaubt.\n",
                                           {{"Allow", "GET, HEAD"}}};
            return;
        }
        const HttpServer::Request request =
            readRequest(exchange.connection, exchange.id, method, url);
        server.m_inHandler = &exchange;
        try {
            server.m_handler(request);
        } catch (const std::exception &error) {
            exchange.answer = HttpResponse{500, "text/plain; charset=utf-8",
                                           QStringLiteral("Interner Fehler: %1\n")
                                               .arg(QString::fromLocal8Bit(error.what()))
                                               .toUtf8()};
        }
        server.m_inHandler = nullptr;
    }

    static MHD_Result queue(HttpServer &server, HttpServer::Exchange &exchange,
                            HttpResponse &answer)
    {
        MHD_Response *response = nullptr;
        if (answer.stream) {
            auto *state = new HttpServer::StreamState{&server, &exchange, std::move(answer.stream)};
            response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlock, &read,
                                                         state, &freeStream);
            if (response == nullptr) {
                delete state;
                return MHD_NO;
            }
            exchange.stream = state;
        } else {
            response = MHD_create_response_from_buffer(size_t(answer.body.size()),
                                                       answer.body.data(), MHD_RESPMEM_MUST_COPY);
            if (response == nullptr) {
                return MHD_NO;
            }
        }
        bool cacheControl = false;
        MHD_add_response_header(response, "Content-Type", answer.contentType.constData());
        for (const auto &header : kSecurityHeaders + answer.headers) {
            MHD_add_response_header(response, header.first.constData(), header.second.constData());
            cacheControl = cacheControl || header.first == "Cache-Control";
        }
        if (!cacheControl) {
            MHD_add_response_header(response, "Cache-Control", "no-store");
        }
        const MHD_Result queued =
            MHD_queue_response(exchange.connection, unsigned(answer.status), response);
        MHD_destroy_response(response);
        exchange.queued = true;
        return queued;
    }
};

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
