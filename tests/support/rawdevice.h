#pragma once

#include <QByteArray>
#include <QObject>

class QTcpServer;
class QTcpSocket;

// A device on 127.0.0.1 that answers every request with scripted raw bytes, for devices that
// break HTTP in ways the simulator does not: it reads a request head up to the blank line, then
// sends head, filler repeated up to fillerBytes (or without end), tail, and closes. Nothing is
// held whole: filler is queued only while little waits in the socket, so a gigabyte or an endless
// stream costs this process no memory.
class RawDevice : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 kEndless = -1;

    struct Answer
    {
        QByteArray head;
        QByteArray filler;
        // How many filler bytes in all (the last piece cut short), or kEndless.
        qint64 fillerBytes = 0;
        QByteArray tail;
        // Above 0: the whole answer one byte per interval, a small one only.
        int byteIntervalMs = 0;
        // Reads the request and never answers; the connection stays until the client goes.
        bool silent = false;
    };

    explicit RawDevice(QObject *parent = nullptr);

    bool listen();
    // "127.0.0.1:PORT", the form the logger is configured with.
    QString address() const;
    // For connections accepted from now on.
    void setAnswer(const Answer &answer);

    int connectionCount() const { return m_connections; }
    int openConnectionCount() const { return m_open; }
    // Answer bytes queued so far, on all connections.
    qint64 bytesSent() const { return m_sent; }

private:
    void accept();
    void serve(QTcpSocket *socket);

    QTcpServer *m_server;
    Answer m_answer;
    int m_connections = 0;
    int m_open = 0;
    qint64 m_sent = 0;
};
