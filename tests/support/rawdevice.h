#pragma once

#include <QByteArray>
#include <QObject>

class QTcpServer;
class QTcpSocket;

// A device on 127.0.0.1 for devices that break HTTP in ways the simulator does not: once a
// request head is in, it sends head, filler repeated up to fillerBytes (or without end), tail, and
// closes. Filler is queued only while little waits in the socket, so a gigabyte or an endless
// stream costs this process no memory.
class RawDevice : public QObject
{
public:
    static constexpr qint64 kEndless = -1;

    struct Answer
    {
        // Empty: the device never answers and keeps the connection until the client goes.
        QByteArray head;
        QByteArray filler;
        qint64 fillerBytes = 0;
        QByteArray tail;
        // Above 0: only the head, one byte per interval.
        int byteIntervalMs = 0;
    };

    explicit RawDevice(const Answer &answer);

    bool listen();
    // "127.0.0.1:PORT", the form the logger is configured with.
    QString address() const;
    int connectionCount() const { return m_connections; }
    int openConnectionCount() const { return m_open; }
    // Answer bytes queued so far, on all connections.
    qint64 bytesSent() const { return m_sent; }

private:
    void serve(QTcpSocket *socket);

    QTcpServer *m_server;
    Answer m_answer;
    int m_connections = 0;
    int m_open = 0;
    qint64 m_sent = 0;
};
