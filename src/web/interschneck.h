#pragma once

#include "fetchfailure.h"

#include <QByteArray>
#include <QObject>

class CurlDriver;

// The transfer component through which the device pages are fetched: one HTTP GET at a time,
// started by Execute and followed by polling StillExecuting, as the fetch loop needs it. It runs
// through the program's CurlDriver, on the event loop of the thread it lives in: no thread of its
// own, so a device however misbehaved cannot hold up the event loop or the next request.
//
// Only the first Bounds::kKeptBytes (4096) bytes of an answer body are kept while it streams in;
// the rest is read and discarded, so memory stays bounded whatever a device sends, an endless body
// included. Status line and headers together are held to Bounds::kHeaderBytes; a device that sends
// more loses its answer. The HTTP status is not looked at: an error page's body is kept like any
// other. A transfer that breaks off (connection reset, protocol error, fewer bytes than announced)
// keeps no body at all, so a half-sent page does not pass for a whole one. A page without a length
// that ends early looks like a whole one and cannot be told apart. No redirect is followed, no
// proxy used, no connection kept for the next request; the body is taken as sent (no
// decompression).
class Interschneck : public QObject
{
    Q_OBJECT

public:
    // driver runs the transfers and must outlive the component.
    explicit Interschneck(CurlDriver &driver, QObject *parent = nullptr);
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

    // How the last request ended, once StillExecuting is false: None for an answer, whatever its
    // status, else Unresolvable, Refused or BrokenOff (Timeout only after libcurl's own 60 s);
    // with the HTTP status of the answer, 0 when none came. The caller's time-out is its own to
    // tell; a cancelled request keeps None.
    FetchFailure failure() const;

    // The driver that runs this component's transfers, for others of the same pass.
    CurlDriver &driver() const { return m_driver; }

Q_SIGNALS:
    // The running request has ended, with or without an answer. Emitted from the event loop,
    // never from inside libcurl.
    void finished();

private:
    friend class InterschneckCallbacks;

    void setUpHandle(const QString &url);
    void ended(int result);

    CurlDriver &m_driver;
    // libcurl's easy handle (a CURL *), set up once and used for every request.
    void *m_easy = nullptr;
    // The request headers (a struct curl_slist *).
    void *m_headers = nullptr;
    QByteArray m_body;
    qint64 m_headerBytesSeen = 0;
    FetchFailure::Reason m_failure = FetchFailure::Reason::None;
    int m_httpStatus = 0;
};
