#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>

class QTcpServer;

// An HTTP server on 127.0.0.1 for webhooks: it reads a request with a Content-Length body and
// answers it with the status set, then closes. It keeps each body it answered with 2xx.
class WebhookReceiver : public QObject
{
public:
    WebhookReceiver();

    bool listen();
    // "http://127.0.0.1:PORT/hook".
    QString url() const;
    // 0: never answers, and keeps the connection until the client goes.
    void setStatus(int status) { m_status = status; }
    const QList<QByteArray> &bodies() const { return m_bodies; }
    int requestCount() const { return m_requests; }

private:
    QTcpServer *m_server;
    int m_status = 200;
    QList<QByteArray> m_bodies;
    int m_requests = 0;
};
