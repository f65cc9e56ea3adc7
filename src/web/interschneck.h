#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSocketNotifier>

class QTimer;

// The transfer component through which the device pages are fetched: one HTTP GET at a time,
// started by Execute and followed by polling StillExecuting, as the fetch loop needs it. It runs
// on libcurl's multi interface, driven by the event loop of the thread it lives in: no thread of
// its own, so a device however misbehaved cannot hold up the event loop or the next request.
//
// Only the first 4096 bytes of an answer body are kept while it streams in; the rest is read and
// discarded, so memory stays bounded whatever a device sends, an endless body included. Status
// line and headers together are held to kHeaderBytes; a device that sends more loses its answer.
// The HTTP status is not looked at: an error page's body is kept like any other. A transfer that
// breaks off (connection reset, protocol error, fewer bytes than announced) keeps no body at
// all, so a half-sent page does not pass for a whole one. A page without a length that ends
// early looks like a whole one and cannot be told apart. No redirect is followed, no proxy used,
// no connection kept for the next request; the body is taken as sent (no decompression).
class Interschneck : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 kKeptBytes = 4096;
    static constexpr qint64 kHeaderBytes = 16 * 1024;
    static constexpr int kRequestTimeoutMs = 60000;

    explicit Interschneck(QObject *parent = nullptr);
    ~Interschneck() override;

    // Ends any running request and forgets its answer; harmless when idle. Safe to call from a
    // slot connected to finished() and from any event handler while a request runs.
    void Cancel();
    // Starts an HTTP GET of url and returns at once. An address that makes no valid http URL
    // starts nothing: the request counts as ended without an answer. Throws RuntimeError when
    // libcurl cannot set up the request (out of memory).
    void Execute(const QString &url, const QString &operation = QStringLiteral("GET"));
    // True while the started request runs; false once it has ended, with or without an answer.
    bool StillExecuting() const;
    // Up to size bytes of what was received and not yet taken, one character per byte (Latin-1);
    // the empty text when nothing was received.
    QString GetChunk(qint64 size);

Q_SIGNALS:
    // The running request has ended, with or without an answer. Emitted from the event loop,
    // never from inside libcurl.
    void finished();

private:
    friend class InterschneckCallbacks;

    // The notifiers of one socket that libcurl asked to have watched.
    struct SocketWatch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    void setUpHandles(const QString &url);
    void watchSocket(int socket, int what);
    QSocketNotifier *notifierFor(int socket, QSocketNotifier::Type type);
    void forgetSocket(int socket);
    void act(int socket, int events);
    void dropTransfer();

    // libcurl's multi and easy handles (CURLM *, CURL *), which libcurl declares as void *.
    void *m_multi = nullptr;
    void *m_easy = nullptr;
    // The request headers (a struct curl_slist *).
    void *m_headers = nullptr;
    QTimer *m_timer;
    QHash<int, SocketWatch> m_sockets;
    // Disabled notifiers for reading [0] and writing [1], to be given the next sockets.
    QList<QSocketNotifier *> m_spareNotifiers[2];
    // The easy handle is in the multi handle: a request runs.
    bool m_running = false;
    QByteArray m_body;
    qint64 m_headerBytesSeen = 0;
};
