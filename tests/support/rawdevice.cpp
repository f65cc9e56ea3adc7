#include "rawdevice.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>
#include <optional>

namespace {

// More is queued only while fewer bytes than this wait in the socket.
constexpr qint64 kHighWater = 256 * 1024;

struct Sending
{
    RawDevice::Answer answer;
    QByteArray request;
    bool answering = false;
    bool headSent = false;
    bool tailSent = false;
    qint64 fillerLeft = 0;

    // The next piece of the answer; none once the tail has gone.
    std::optional<QByteArray> next()
    {
        if (!headSent) {
            headSent = true;
            return answer.head;
        }
        if (fillerLeft != 0 && !answer.filler.isEmpty()) {
            if (fillerLeft == RawDevice::kEndless) {
                return answer.filler;
            }
            const qint64 size = std::min<qint64>(fillerLeft, answer.filler.size());
            fillerLeft -= size;
            return answer.filler.left(size);
        }
        if (!tailSent) {
            tailSent = true;
            return answer.tail;
        }
        return std::nullopt;
    }
};

} // namespace

RawDevice::RawDevice(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &RawDevice::accept);
}

bool RawDevice::listen()
{
    return m_server->listen(QHostAddress::LocalHost, 0);
}

QString RawDevice::address() const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_server->serverPort());
}

void RawDevice::setAnswer(const Answer &answer)
{
    m_answer = answer;
}

void RawDevice::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        ++m_connections;
        ++m_open;
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            --m_open;
            socket->deleteLater();
        });
        serve(socket);
    }
}

void RawDevice::serve(QTcpSocket *socket)
{
    auto sending = std::make_shared<Sending>();
    sending->answer = m_answer;
    sending->fillerLeft = m_answer.fillerBytes;

    const auto queueMore = [this, socket, sending] {
        const bool trickling = sending->answer.byteIntervalMs > 0;
        while (sending->answering && !trickling && socket->bytesToWrite() < kHighWater) {
            const std::optional<QByteArray> piece = sending->next();
            if (!piece) {
                socket->disconnectFromHost();
                return;
            }
            m_sent += socket->write(*piece);
        }
    };
    const auto trickle = [this, socket, sending] {
        QByteArray whole;
        while (const std::optional<QByteArray> piece = sending->next()) {
            whole += *piece;
        }
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [this, socket, timer, whole, sent = 0]() mutable {
            if (sent == whole.size()) {
                timer->stop();
                socket->disconnectFromHost();
                return;
            }
            m_sent += socket->write(whole.mid(sent++, 1));
        });
        timer->start(sending->answer.byteIntervalMs);
    };

    connect(socket, &QTcpSocket::bytesWritten, socket, queueMore);
    connect(socket, &QTcpSocket::readyRead, socket, [socket, sending, queueMore, trickle] {
        const QByteArray incoming = socket->readAll();
        if (sending->answering || sending->answer.silent) {
            return;
        }
        sending->request += incoming;
        if (!sending->request.contains("\r\n\r\n")) {
            return;
        }
        sending->answering = true;
        if (sending->answer.byteIntervalMs > 0) {
            trickle();
        } else {
            queueMore();
        }
    });
}
