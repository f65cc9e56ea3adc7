#include "smtpsink.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

SmtpSink::SmtpSink() : m_context(new QObject)
{
    m_context->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_context, &QObject::deleteLater);
    m_thread.start();
}

SmtpSink::~SmtpSink()
{
    m_thread.quit();
    m_thread.wait();
}

bool SmtpSink::listen()
{
    QMetaObject::invokeMethod(
        m_context,
        [this] {
            auto *server = new QTcpServer(m_context);
            QObject::connect(server, &QTcpServer::newConnection, m_context,
                             [this, server] { accept(server); });
            if (server->listen(QHostAddress::LocalHost, 0)) {
                m_port = server->serverPort();
            }
        },
        Qt::BlockingQueuedConnection);
    return m_port != 0;
}

QString SmtpSink::url() const
{
    return QStringLiteral("smtp://127.0.0.1:%1").arg(m_port);
}

QList<SmtpSink::Mail> SmtpSink::mails() const
{
    const QMutexLocker lock(&m_mutex);
    return m_mails;
}

void SmtpSink::accept(QTcpServer *server)
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        ++m_connections;
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        if (m_mode == Mode::Down) {
            socket->write("421 nicht in Betrieb\r\n");
            socket->disconnectFromHost();
            continue;
        }
        socket->write("220 127.0.0.1 ESMTP\r\n");
        struct State
        {
            QByteArray buffer;
            Mail mail;
            bool inData = false;
        };
        auto state = std::make_shared<State>();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, state] {
            state->buffer += socket->readAll();
            serve(socket, state->buffer, state->mail, state->inData);
        });
    }
}

void SmtpSink::serve(QTcpSocket *socket, QByteArray &buffer, Mail &mail, bool &inData)
{
    for (;;) {
        const qsizetype end = buffer.indexOf(inData ? "\r\n.\r\n" : "\r\n");
        if (end < 0) {
            return;
        }
        QByteArray line = buffer.left(end);
        buffer.remove(0, end + (inData ? 5 : 2));
        const QByteArray address = line.mid(line.indexOf('<') + 1).chopped(1);
        if (inData) {
            inData = false;
            mail.data = line.replace("\r\n..", "\r\n.") + "\r\n";
            if (m_mode == Mode::Silent) {
                return;
            }
            const QMutexLocker lock(&m_mutex);
            m_mails << mail;
        } else if (line.startsWith("MAIL")) {
            mail = Mail{address, {}, {}};
        } else if (line.startsWith("RCPT")) {
            mail.to << address;
        } else if (line.startsWith("DATA")) {
            inData = true;
            socket->write("354 weiter\r\n");
            continue;
        } else if (line.startsWith("QUIT")) {
            socket->write("221 Auf Wiedersehen\r\n");
            socket->disconnectFromHost();
            return;
        }
        socket->write("250 OK\r\n");
    }
}
