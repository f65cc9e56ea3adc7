#include "smtpsink.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

namespace {

QByteArray between(const QByteArray &line, char open, char close)
{
    const qsizetype from = line.indexOf(open) + 1;
    return line.mid(from, line.indexOf(close, from) - from);
}

} // namespace

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
        if (inData) {
            const qsizetype end = buffer.indexOf("\r\n.\r\n");
            if (end < 0) {
                return;
            }
            mail.data = buffer.left(end + 2).replace("\r\n..", "\r\n.");
            buffer.remove(0, end + 5);
            inData = false;
            if (m_mode == Mode::Silent) {
                return;
            }
            m_mutex.lock();
            m_mails << mail;
            m_mutex.unlock();
            socket->write("250 angenommen\r\n");
            continue;
        }
        const qsizetype end = buffer.indexOf("\r\n");
        if (end < 0) {
            return;
        }
        const QByteArray line = buffer.left(end);
        buffer.remove(0, end + 2);
        const QByteArray command = line.left(4).toUpper();
        if (command == "EHLO" || command == "HELO") {
            socket->write("250 127.0.0.1\r\n");
        } else if (command == "MAIL") {
            mail = Mail{between(line, '<', '>'), {}, {}};
            socket->write("250 OK\r\n");
        } else if (command == "RCPT") {
            mail.to << between(line, '<', '>');
            socket->write("250 OK\r\n");
        } else if (command == "DATA") {
            inData = true;
            socket->write("354 weiter\r\n");
        } else if (command == "QUIT") {
            socket->write("221 Auf Wiedersehen\r\n");
            socket->disconnectFromHost();
            return;
        } else if (command == "RSET" || command == "NOOP") {
            socket->write("250 OK\r\n");
        } else {
            socket->write("502 unbekannt\r\n");
        }
    }
}
