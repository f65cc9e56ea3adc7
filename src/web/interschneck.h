#pragma once

#include <QByteArray>
#include <QObject>

class QNetworkAccessManager;
class QNetworkReply;

// The transfer component through which the device pages are fetched: one HTTP GET at a time,
// started by Execute and followed by polling StillExecuting, as the fetch loop needs it.
//
// Only the first 4096 bytes of an answer body are kept while it streams in; the rest is read and
// discarded, so memory stays bounded whatever a device sends, an endless body included. The HTTP
// status is not looked at: an error page's body is kept like any other. A transfer that breaks
// off (connection reset, protocol error, fewer bytes than announced) keeps no body at all, so a
// half-sent page does not pass for a whole one. A page without a length that ends early looks
// like a whole one and cannot be told apart.
class Interschneck : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 kKeptBytes = 4096;
    static constexpr int kRequestTimeoutMs = 60000;

    explicit Interschneck(QObject *parent = nullptr);
    ~Interschneck() override;

    // Ends any running request and forgets its answer; harmless when idle.
    void Cancel();
    // Starts an HTTP GET of url and returns at once. An address that makes no valid http URL
    // starts nothing: the request counts as ended without an answer.
    void Execute(const QString &url, const QString &operation = QStringLiteral("GET"));
    // True while the started request runs; false once it has ended, with or without an answer.
    bool StillExecuting() const;
    // Up to size bytes of what was received and not yet taken, one character per byte (Latin-1);
    // the empty text when nothing was received.
    QString GetChunk(qint64 size);

Q_SIGNALS:
    // The running request has ended, with or without an answer.
    void finished();

private:
    void readAvailable();
    void onFinished();
    void dropReply();

    QNetworkAccessManager *m_manager;
    QNetworkReply *m_reply = nullptr;
    QByteArray m_body;
    // Body bytes received so far, kept or not.
    qint64 m_received = 0;
};
