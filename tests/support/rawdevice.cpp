#include "rawdevice.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

// More is queued only while fewer bytes than this wait in the socket.
constexpr qint64 kHighWater = 256 * 1024;
// The tail has gone.
constexpr qint64 kDone = -2;

} // namespace

RawDevice::RawDevice(const Answer &answer) : m_server(new QTcpServer(this)), m_answer(answer)
{
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            ++m_connections;
            ++m_open;
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                --m_open;
                socket->deleteLater();
            });
            auto request = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, request] {
                const bool answered = request->contains("\r\n\r\n");
                *request += socket->readAll();
                if (!answered && request->contains("\r\n\r\n") && !m_answer.head.isEmpty()) {
                    serve(socket);
                }
            });
        }
    });
}

bool RawDevice::listen()
{
    return m_server->listen(QHostAddress::LocalHost, 0);
}

QString RawDevice::address() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_server->serverPort());
}

void RawDevice::serve(QTcpSocket *socket)
{
    if (m_answer.byteIntervalMs > 0) {
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [this, socket, sent = 0]() mutable {
            if (sent < m_answer.head.size()) {
                m_sent += socket->write(m_answer.head.mid(sent++, 1));
            } else {
                socket->disconnectFromHost();
            }
        });
        timer->start(m_answer.byteIntervalMs);
        return;
    }
    m_sent += socket->write(m_answer.head);
    auto left = std::make_shared<qint64>(m_answer.fillerBytes);
    const auto more = [this, socket, left] {
        const QByteArray &filler = m_answer.filler;
        while ((*left > 0 || *left == kEndless) && socket->bytesToWrite() < kHighWater) {
            const qint64 size =
                *left == kEndless ? filler.size() : std::min<qint64>(*left, filler.size());
            m_sent += socket->write(filler.left(size));
            *left -= *left == kEndless ? 0 : size;
        }
        if (*left == 0) {
            *left = kDone;
            m_sent += socket->write(m_answer.tail);
            socket->disconnectFromHost();
        }
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, more);
    more();
}
