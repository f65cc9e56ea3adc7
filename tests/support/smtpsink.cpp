#include "smtpsink.h"

#include <QTcpServer>
#include <QTcpSocket>

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
        QObject::connect(
            socket, &QTcpSocket::readyRead, socket,
            [this, socket, buffer = QByteArray(), mail = Mail(), inData = false]() mutable {
                buffer += socket->readAll();
                qsizetype end = 0;
                while ((end = buffer.indexOf(inData ? "\r\n.\r\n" : "\r\n")) >= 0) {
                    QByteArray line = buffer.left(end);
                    buffer.remove(0, end + (inData ? 5 : 2));
                    if (!answer(socket, line, mail, inData)) {
                        return;
                    }
                }
            });
    }
}

bool SmtpSink::answer(QTcpSocket *socket, QByteArray &line, Mail &mail, bool &inData)
{
    const QByteArray address = line.mid(line.indexOf('<') + 1).chopped(1);
    if (inData) {
        inData = false;
        mail.data = line.replace("\r\n..", "\r\n.") + "\r\n";
        if (m_mode == Mode::Silent) {
            return false;
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
        return true;
    } else if (line.startsWith("QUIT")) {
        socket->write("221 Auf Wiedersehen\r\n");
        socket->disconnectFromHost();
        return false;
    }
    socket->write("250 OK\r\n");
    return true;
}
