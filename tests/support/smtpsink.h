#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QThread>

#include <atomic>

class QTcpServer;
class QTcpSocket;

// An SMTP server on 127.0.0.1 that speaks just enough for libcurl: a greeting, then 250 to
// everything (no STARTTLS, no AUTH) but DATA and QUIT. It keeps each message it confirmed,
// dot-stuffing undone. It runs in a thread of its own: libcurl waits for the reply to the end of a
// message without returning to the event loop, so a server on the test's own thread could never
// give it.
class SmtpSink
{
public:
    enum class Mode {
        Answering,
        // Greets with 421 and closes, as a server out of service does.
        Down,
        // Takes a message but never confirms it.
        Silent,
    };
    struct Mail
    {
        QByteArray from;
        QList<QByteArray> to;
        QByteArray data;
    };

    SmtpSink();
    ~SmtpSink();

    bool listen();
    // "smtp://127.0.0.1:PORT".
    QString url() const;
    void setMode(Mode mode) { m_mode = mode; }
    QList<Mail> mails() const;
    int connectionCount() const { return m_connections; }

private:
    void accept(QTcpServer *server);
    // One command line (or a whole message); false when the connection is to read no more.
    bool answer(QTcpSocket *socket, QByteArray &line, Mail &mail, bool &inData);

    QThread m_thread;
    // Lives in m_thread, and the server and its connections with it.
    QObject *m_context;
    quint16 m_port = 0;
    std::atomic<Mode> m_mode{Mode::Answering};
    std::atomic<int> m_connections{0};
    mutable QMutex m_mutex;
    QList<Mail> m_mails;
};
