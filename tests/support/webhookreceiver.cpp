#include "webhookreceiver.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

WebhookReceiver::WebhookReceiver() : m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            auto request = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, request] {
                *request += socket->readAll();
                const qsizetype headEnd = request->indexOf("\r\n\r\n");
                static const QRegularExpression lengthField(
                    QStringLiteral("\r\ncontent-length: *(\\d+)"),
                    QRegularExpression::CaseInsensitiveOption);
                const QRegularExpressionMatch length =
                    lengthField.match(QString::fromLatin1(request->left(headEnd)));
                if (headEnd < 0 || !length.hasMatch()
                    || request->size() < headEnd + 4 + length.captured(1).toLongLong()) {
                    return;
                }
                ++m_requests;
                if (m_status == 0) {
                    return;
                }
                if (m_status / 100 == 2) {
                    m_bodies << request->mid(headEnd + 4);
                }
                socket->write("HTTP/1.1 " + QByteArray::number(m_status)
                              + " X\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
                socket->disconnectFromHost();
                request->clear();
            });
        }
    });
}

bool WebhookReceiver::listen()
{
    return m_server->listen(QHostAddress::LocalHost, 0);
}

QString WebhookReceiver::url() const
{
    return QStringLiteral("http://127.0.0.1:%1/hook").arg(m_server->serverPort());
}
