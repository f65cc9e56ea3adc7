#include "deviceconnection.h"

#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace {

// A request head longer than this is not from the logger; it is refused rather than buffered.
constexpr int kMaxRequestHead = 16 * 1024;

// The position of the blank line ending a request head, or -1. Bare line feeds are accepted too,
// as some hand-made clients send them.
qsizetype findHeadEnd(const QByteArray &data)
{
    const qsizetype crlf = data.indexOf("\r\n\r\n");
    const qsizetype lf = data.indexOf("\n\n");
    if (lf >= 0 && (crlf < 0 || lf < crlf))
        return lf;
    return crlf;
}

} // namespace

DeviceConnection::DeviceConnection(QTcpSocket *socket, QObject *parent)
    : QObject(parent), m_socket(socket)
{
    m_socket->setParent(this);
    connect(m_socket, &QTcpSocket::readyRead, this, &DeviceConnection::readInput);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &DeviceConnection::topUpStream);
    connect(m_socket, &QTcpSocket::disconnected, this, &DeviceConnection::finish);
    // Input may have come with the connection, before anyone listened for readyRead.
    if (m_socket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &DeviceConnection::readInput);
}

DeviceConnection::~DeviceConnection()
{
    // Nothing of the socket's own closing may reach this half-destroyed object.
    QObject::disconnect(m_socket, nullptr, this, nullptr);
}

void DeviceConnection::sendAndClose(const QByteArray &data)
{
    write(data);
    // Closes once everything queued is written.
    m_socket->disconnectFromHost();
}

void DeviceConnection::trickle(const QByteArray &data, int intervalMs)
{
    m_trickle = data;
    m_trickleAt = 0;
    // Without this the kernel would gather the single bytes into larger segments.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_timer = new QTimer(this);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, &DeviceConnection::writeNextByte);
    m_timer->start(intervalMs);
}

void DeviceConnection::sendThenReset(const QByteArray &data, int delayMs)
{
    write(data);
    QTimer::singleShot(delayMs, this, &DeviceConnection::reset);
}

void DeviceConnection::reset()
{
    if (m_finished)
        return;
    // A zero linger time makes closing send RST and drop unsent data, which is what the client
    // of a device that crashes or loses power sees.
    const qintptr descriptor = m_socket->socketDescriptor();
    if (descriptor >= 0) {
        const linger immediate{1, 0};
        ::setsockopt(int(descriptor), SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
    }
    m_socket->abort();
    finish();
}

void DeviceConnection::stream(const QByteArray &start, const QByteArray &chunk, qint64 highWater)
{
    m_chunk = chunk;
    m_highWater = highWater;
    write(start);
    topUpStream();
}

void DeviceConnection::readInput()
{
    // Read even what is not wanted: unread input when the socket closes would make the kernel
    // reset the connection instead of ending it cleanly.
    const QByteArray data = m_socket->readAll();
    if (m_headRead)
        return;
    m_request += data;
    const qsizetype headEnd = findHeadEnd(m_request);
    if (headEnd < 0) {
        if (m_request.size() > kMaxRequestHead) {
            m_headRead = true;
            sendAndClose("HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\n"
                         "Connection: close\r\n\r\n");
        }
        return;
    }
    m_headRead = true;
    const QByteArray head = m_request.left(headEnd);
    m_request.clear();
    Q_EMIT requestRead(head);
}

void DeviceConnection::write(const QByteArray &data)
{
    m_socket->write(data);
    Q_EMIT queued(data.size());
}

void DeviceConnection::writeNextByte()
{
    if (m_finished || m_trickleAt >= m_trickle.size()) {
        m_timer->stop();
        return;
    }
    write(m_trickle.mid(m_trickleAt++, 1));
    if (m_trickleAt == m_trickle.size()) {
        m_timer->stop();
        m_socket->disconnectFromHost();
    }
}

void DeviceConnection::topUpStream()
{
    // Driven by bytesWritten only, so a client that stops reading stops the stream here instead
    // of letting the write buffer grow.
    if (m_chunk.isEmpty())
        return;
    while (!m_finished && m_socket->state() == QAbstractSocket::ConnectedState
           && m_socket->bytesToWrite() < m_highWater)
        write(m_chunk);
}

void DeviceConnection::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    if (m_timer)
        m_timer->stop();
    Q_EMIT closed();
}
