#include "httpservercallbacks.h"

#include "httprequest.h"
#include "runtime/bounds.h"

#include <QString>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

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

// How much of a stream the library asks for at a time.
constexpr size_t kStreamBlock = 16 * 1024;

bool allowedMethod(const char *method)
{
    return std::strcmp(method, MHD_HTTP_METHOD_GET) == 0
           || std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
}

} // namespace

MHD_Result HttpServerCallbacks::access(void *cls, MHD_Connection *connection, const char *url,
                                       const char *method, const char *, const char *uploadData,
                                       size_t *uploadSize, void **context)
{
    auto *server = static_cast<HttpServer *>(cls);
    auto *exchange = static_cast<HttpServer::Exchange *>(*context);
    if (server->m_stopping) {
        return MHD_NO;
    }
    if (exchange == nullptr) {
        exchange = new HttpServer::Exchange{++server->m_lastId, connection};
        *context = exchange;
        server->m_exchanges.insert(exchange->id, exchange);
        if (awaitBody(*server, *exchange, url, method)) {
            return MHD_YES;
        }
        server->m_connections.headerArrived(connection);
        if (!exchange->answer) {
            begin(*server, *exchange, url, method);
        }
        // Answered at the next call, once the request has been read to its end: an answer
        // queued before would make the library close the connection after it.
        if (allowedMethod(method)) {
            return MHD_YES;
        }
    } else if (exchange->receiving) {
        if (*uploadSize > 0) {
            const qint64 room = exchange->announced - exchange->body.size();
            exchange->body.append(uploadData, qsizetype(std::min(qint64(*uploadSize), room)));
            *uploadSize = 0;
            return MHD_YES;
        }
        bodyDone(*server, *exchange);
        server->m_connections.headerArrived(connection);
        begin(*server, *exchange, exchange->url.constData(), MHD_HTTP_METHOD_POST);
    }
    // Any other body is never read: its answer is queued before it would be.
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

void HttpServerCallbacks::completed(void *cls, MHD_Connection *connection, void **context,
                                    MHD_RequestTerminationCode)
{
    auto *server = static_cast<HttpServer *>(cls);
    auto *exchange = static_cast<HttpServer::Exchange *>(*context);
    server->m_connections.answered(connection);
    if (exchange == nullptr) {
        return;
    }
    if (exchange->receiving) {
        bodyDone(*server, *exchange);
    }
    if (exchange->stream != nullptr) {
        exchange->stream->exchange = nullptr;
    }
    server->m_exchanges.remove(exchange->id);
    delete exchange;
    *context = nullptr;
}

void HttpServerCallbacks::connection(void *cls, MHD_Connection *connection, void **,
                                     MHD_ConnectionNotificationCode code)
{
    auto &connections = static_cast<HttpServer *>(cls)->m_connections;
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        connections.opened(connection);
    } else {
        connections.closed(connection);
    }
}

ssize_t HttpServerCallbacks::read(void *cls, uint64_t, char *buffer, size_t max)
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

void HttpServerCallbacks::freeStream(void *cls)
{
    delete static_cast<HttpServer::StreamState *>(cls);
}

void HttpServerCallbacks::log(void *cls, const char *format, va_list arguments)
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

bool HttpServerCallbacks::awaitBody(HttpServer &server, HttpServer::Exchange &exchange,
                                    const char *url, const char *method)
{
    if (std::strcmp(method, MHD_HTTP_METHOD_POST) != 0
        || !server.m_postPaths.contains(QByteArray(url))) {
        return false;
    }
    const char *length =
        MHD_lookup_connection_value(exchange.connection, MHD_HEADER_KIND, "Content-Length");
    bool number = false;
    const qint64 announced = length != nullptr ? QByteArray(length).toLongLong(&number) : -1;
    if (!number || announced < 0) {
        exchange.answer =
            HttpResponse{411, "text/plain; charset=utf-8", "Die Anfrage muss ihre Länge nennen.\n"};
    } else if (announced > Bounds::kPageBodyBytes) {
        exchange.answer =
            HttpResponse{413, "text/plain; charset=utf-8", "Die Anfrage ist zu groß.\n"};
    } else if (server.m_bodiesBytes + announced > Bounds::kPageBodiesBytes) {
        exchange.answer = HttpResponse{503,
                                       "text/plain; charset=utf-8",
                                       "Zu viele Anfragen auf einmal; bitte gleich noch "
                                       "einmal.\n",
                                       {{"Retry-After", "1"}}};
    } else {
        exchange.receiving = true;
        exchange.announced = announced;
        exchange.url = url;
        server.m_bodiesBytes += announced;
        return true;
    }
    return false;
}

void HttpServerCallbacks::bodyDone(HttpServer &server, HttpServer::Exchange &exchange)
{
    exchange.receiving = false;
    server.m_bodiesBytes -= exchange.announced;
}

void HttpServerCallbacks::begin(HttpServer &server, HttpServer::Exchange &exchange, const char *url,
                                const char *method)
{
    const bool takesPost = server.m_postPaths.contains(QByteArray(url));
    if (!allowedMethod(method) && !(takesPost && std::strcmp(method, MHD_HTTP_METHOD_POST) == 0)) {
        exchange.answer = HttpResponse{405,
                                       "text/plain; charset=utf-8",
                                       takesPost ? "Nur GET, HEAD und POST sind erlaubt.\n"
                                                 : "Nur GET und HEAD sind erlaubt.\n",
                                       {{"Allow", takesPost ? "GET, HEAD, POST" : "GET, HEAD"}}};
        return;
    }
    HttpServer::Request request = readRequest(exchange.connection, exchange.id, method, url);
    request.body = std::move(exchange.body);
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

MHD_Result HttpServerCallbacks::queue(HttpServer &server, HttpServer::Exchange &exchange,
                                      HttpResponse &answer)
{
    MHD_Response *response = nullptr;
    if (answer.stream) {
        auto *state = new HttpServer::StreamState{&server, &exchange, std::move(answer.stream)};
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlock, &read, state,
                                                     &freeStream);
        if (response == nullptr) {
            delete state;
            return MHD_NO;
        }
        exchange.stream = state;
    } else {
        response = MHD_create_response_from_buffer(size_t(answer.body.size()), answer.body.data(),
                                                   MHD_RESPMEM_MUST_COPY);
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
