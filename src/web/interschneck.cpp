#include "interschneck.h"

#include "runtime/version.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {

// Bounds what Qt buffers for a reply between two reads; the reply is drained on every readyRead.
constexpr qint64 kReadBufferBytes = 64 * 1024;

// A body is kept when the transfer ended normally or with an HTTP error status (the page is then
// the device's own answer); not when the connection broke off or the protocol failed. Qt may
// report a connection that broke off before the announced length as a normal end, so the length
// is checked as well.
bool keepsBody(const QNetworkReply &reply, qint64 received)
{
    const QVariant announced = reply.header(QNetworkRequest::ContentLengthHeader);
    if (announced.isValid() && received < announced.toLongLong()) {
        return false;
    }
    const QNetworkReply::NetworkError error = reply.error();
    if (error == QNetworkReply::NoError) {
        return true;
    }
    const bool statusError =
        (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError)
        || (error >= QNetworkReply::InternalServerError
            && error <= QNetworkReply::UnknownServerError);
    return statusError && reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
}

} // namespace

Interschneck::Interschneck(QObject *parent)
    : QObject(parent), m_manager(new QNetworkAccessManager(this))
{
    setObjectName(QStringLiteral("Interschneck"));
    // Devices sit in the local network; a proxy configured for the web at large would only stand
    // between the program and them.
    m_manager->setProxy(QNetworkProxy::NoProxy);
}

Interschneck::~Interschneck()
{
    dropReply();
}

void Interschneck::Cancel()
{
    dropReply();
    m_body.clear();
    m_received = 0;
}

void Interschneck::Execute(const QString &url, const QString &operation)
{
    Cancel();
    const QUrl target(url);
    if (operation != QLatin1String("GET") || !target.isValid()
        || target.scheme() != QLatin1String("http") || target.host().isEmpty()) {
        return;
    }
    QNetworkRequest request(target);
    request.setTransferTimeout(kRequestTimeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QStringLiteral("Pelvaro/") + QString::fromLatin1(pelvaroVersion));
    // Small device web servers often serve one connection at a time; an idle kept-alive
    // connection of ours would lock out everyone else until it times out.
    request.setRawHeader("Connection", "close");
    // Uncompressed, so that the bytes counted are the bytes the device announced.
    request.setRawHeader("Accept-Encoding", "identity");

    m_reply = m_manager->get(request);
    m_reply->setReadBufferSize(kReadBufferBytes);
    connect(m_reply, &QNetworkReply::readyRead, this, &Interschneck::readAvailable);
    connect(m_reply, &QNetworkReply::finished, this, &Interschneck::onFinished);
}

bool Interschneck::StillExecuting() const
{
    return m_reply != nullptr && m_reply->isRunning();
}

QString Interschneck::GetChunk(qint64 size)
{
    const QByteArray chunk = m_body.left(size);
    m_body.remove(0, chunk.size());
    return QString::fromLatin1(chunk);
}

void Interschneck::readAvailable()
{
    while (m_reply->bytesAvailable() > 0) {
        qint64 taken = 0;
        if (m_body.size() < kKeptBytes) {
            const QByteArray part = m_reply->read(kKeptBytes - m_body.size());
            m_body += part;
            taken = part.size();
        } else {
            taken = m_reply->skip(m_reply->bytesAvailable());
        }
        if (taken <= 0) {
            break;
        }
        m_received += taken;
    }
}

void Interschneck::onFinished()
{
    readAvailable();
    if (!keepsBody(*m_reply, m_received)) {
        m_body.clear();
    }
    Q_EMIT finished();
}

void Interschneck::dropReply()
{
    if (m_reply == nullptr) {
        return;
    }
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    reply->disconnect(this);
    reply->abort();
    delete reply;
}
