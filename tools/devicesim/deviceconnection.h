#pragma once

#include <QByteArray>
#include <QObject>

class QTcpSocket;
class QTimer;

// One accepted connection of a DeviceSimulator. It reads the request head, announces it, and
// then delivers exactly one answer in the way it is told, after which the connection ends.
//
// Owns its socket. closed() is emitted once, when the connection has ended for whatever reason;
// the owner deletes the object after that (with deleteLater, as closed() may come from within a
// call on it). Destroying it earlier aborts the connection.
class DeviceConnection : public QObject
{
    Q_OBJECT
public:
    // Takes the socket over, including its parentage.
    explicit DeviceConnection(QTcpSocket *socket, QObject *parent = nullptr);
    ~DeviceConnection() override;

    // Ways of answering; one of them at most, after requestRead(). Not answering at all leaves
    // the connection open until the client goes away.

    // Queues data and closes cleanly once it is written.
    void sendAndClose(const QByteArray &data);
    // Writes data one byte every intervalMs, then closes cleanly.
    void trickle(const QByteArray &data, int intervalMs);
    // Queues data, then resets the connection after delayMs.
    void sendThenReset(const QByteArray &data, int delayMs);
    // Ends the connection with RST instead of FIN; what is not yet written is dropped.
    void reset();
    // Queues start and then chunk after chunk, for as long as the client reads: a chunk is added
    // only while fewer than highWater bytes wait in the write buffer.
    void stream(const QByteArray &start, const QByteArray &chunk, qint64 highWater);

Q_SIGNALS:
    // The request line and headers, without the blank line ending them.
    void requestRead(const QByteArray &head);
    // After bytes were handed to the socket.
    void queued(qint64 bytes);
    void closed();

private:
    void readInput();
    void write(const QByteArray &data);
    void writeNextByte();
    void topUpStream();
    void finish();

    QTcpSocket *m_socket;
    QTimer *m_timer = nullptr;
    QByteArray m_request;
    bool m_headRead = false;
    bool m_finished = false;
    QByteArray m_trickle;
    qsizetype m_trickleAt = 0;
    QByteArray m_chunk;
    qint64 m_highWater = 0;
};
