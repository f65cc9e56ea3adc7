#pragma once

#include "httpserver.h"

#include <microhttpd.h>

#include <optional>

// What HttpServer keeps of each request, and the library's C callbacks, which all run inside
// MHD_run on the server's thread.

struct HttpServer::Exchange
{
    Exchange(quint64 id, MHD_Connection *connection) : id(id), connection(connection) {}

    quint64 id;
    MHD_Connection *connection;
    std::optional<HttpResponse> answer;
    // A POST's body while it arrives, with the length it announced.
    QByteArray url;
    QByteArray body;
    qint64 announced = 0;
    bool receiving = false;
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

class HttpServerCallbacks
{
public:
    static MHD_Result access(void *cls, MHD_Connection *connection, const char *url,
                             const char *method, const char *version, const char *uploadData,
                             size_t *uploadSize, void **context);
    static void completed(void *cls, MHD_Connection *connection, void **context,
                          MHD_RequestTerminationCode code);
    static void connection(void *cls, MHD_Connection *connection, void **socketContext,
                           MHD_ConnectionNotificationCode code);
    static ssize_t read(void *cls, uint64_t position, char *buffer, size_t max);
    static void freeStream(void *cls);
    static void log(void *cls, const char *format, va_list arguments);

private:
    // A POST to a path that takes one: true while its body is to be read, which it is before the
    // handler sees the request; false with a refusal as its answer when it announced no length,
    // too long a one, or more than the bodies being received leave room for.
    static bool awaitBody(HttpServer &server, HttpServer::Exchange &exchange, const char *url,
                          const char *method);
    static void bodyDone(HttpServer &server, HttpServer::Exchange &exchange);
    static void begin(HttpServer &server, HttpServer::Exchange &exchange, const char *url,
                      const char *method);
    static MHD_Result queue(HttpServer &server, HttpServer::Exchange &exchange,
                            HttpResponse &answer);
};
