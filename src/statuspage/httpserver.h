#pragma once

#include "httpconnections.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QSocketNotifier;
class QTimer;
struct ListenAddress;
struct MHD_Connection;
struct MHD_Daemon;

using HttpHeaders = QList<QPair<QByteArray, QByteArray>>;

// A body produced piece by piece (a CSV export page by page, the page's live updates). pull() runs
// on the server's thread whenever the connection can take more.
class HttpStream
{
public:
    enum class Pull {
        // chunk holds the next bytes.
        Data,
        // Nothing yet: the connection rests, using no time, until HttpServer::wake().
        Wait,
        // The body is complete.
        End,
        // Something failed after the head went out: the connection is cut, so that the client
        // sees an incomplete answer rather than a short one.
        Fail
    };
    virtual ~HttpStream() = default;
    virtual Pull pull(QByteArray &chunk) = 0;
};

struct HttpResponse
{
    HttpResponse(int status, QByteArray contentType, QByteArray body = {}, HttpHeaders headers = {},
                 std::shared_ptr<HttpStream> stream = {})
        : status(status), contentType(std::move(contentType)), body(std::move(body)),
          headers(std::move(headers)), stream(std::move(stream))
    {
    }

    int status;
    QByteArray contentType;
    QByteArray body;
    HttpHeaders headers;
    // When set, the body comes from here instead.
    std::shared_ptr<HttpStream> stream;
};

// An HTTP/1.1 server on libmicrohttpd, run by the event loop of the thread it lives in: the
// library's epoll descriptor is watched by one socket notifier, its time-outs by one timer, and it
// never starts a thread. So every request is handled on this thread between two events, and
// nothing a client does can block it or silence it for others: sockets are non-blocking; at most
// Bounds::kPageConnections are open, Bounds::kPageConnectionsPerAddress of them from one address
// (the library closes the others as it accepts them); a request whose header has not arrived
// whole within Bounds::kPageHeaderSeconds is cut (HttpConnections), and a connection without
// progress for Bounds::kPageIdleSeconds is dropped. However many requests flood in, the server
// takes about a quarter of the thread at most: a busy run is followed by a rest.
//
// GET and HEAD reach the handler, and POST to the paths that take one (setPostPaths) once its
// body has arrived whole, within the header's deadline; anything else gets 405. HEAD gets the head
// of the GET answer. Every answer carries the security headers of the page (kSecurityHeaders).
class HttpServer : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        // Identifies the exchange for respond() and wake(); never reused in one run.
        quint64 id = 0;
        QByteArray method;
        // Decoded, without the query.
        QByteArray path;
        // Decoded, in order, repeated keys kept; a key without '=' has a null value.
        QList<QPair<QString, QString>> query;
        // Names in lower case.
        QHash<QByteArray, QByteArray> headers;
        // The client's address as text ("127.0.0.1", "::1").
        QByteArray address;
        // A POST's, whole.
        QByteArray body;
    };
    using Handler = std::function<void(const Request &)>;

    explicit HttpServer(Handler handler, QObject *parent = nullptr);
    // Ends every connection and releases the port.
    ~HttpServer() override;

    // Throws RuntimeError, naming the address and carrying the library's text, when it cannot
    // listen there (the port is taken, the address is not one of this machine).
    // With tls, HTTPS with the certificate PageCertificate has in use.
    void listen(const ListenAddress &address, bool tls = false);
    // The port listened on; the real one when the address said 0.
    quint16 port() const { return m_port; }
    // The paths whose POST reaches the handler.
    void setPostPaths(QList<QByteArray> paths) { m_postPaths = std::move(paths); }

    // The answer to request id: at once from within the handler, or later (the handler returned
    // without one, and the connection waits, using no time). Ignored when the client is gone.
    void respond(quint64 id, HttpResponse response);
    // A stream of request id that said Wait has more.
    void wake(quint64 id);
    bool isOpen(quint64 id) const { return m_exchanges.contains(id); }

private:
    friend class HttpServerCallbacks;
    struct Exchange;
    struct StreamState;

    void runSoon();
    void run();
    void queue(Exchange &exchange, HttpResponse &response);
    void resume(Exchange &exchange);
    void stop();

    Handler m_handler;
    MHD_Daemon *m_daemon = nullptr;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_timer;
    // Until when the server rests after a busy run.
    QDeadlineTimer m_rest;
    quint16 m_port = 0;
    quint64 m_lastId = 0;
    QHash<quint64, Exchange *> m_exchanges;
    QList<QByteArray> m_postPaths;
    // Of the bodies being received, the bytes they announced.
    qint64 m_bodiesBytes = 0;
    HttpConnections m_connections;
    // The exchange whose handler runs right now: its answer is queued when the handler returns.
    Exchange *m_inHandler = nullptr;
    bool m_stopping = false;
    // What the library said while starting, for the message when it cannot listen.
    QString m_startLog;
    bool m_starting = false;
};
