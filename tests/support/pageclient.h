#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

class QNetworkAccessManager;
class QProcess;

// The status page of a program the test started, as a script reaches it.

// pelvarod on database with its page on a free port of loopback, and more options; the port, or
// 0 when it did not come up within 15 s.
quint16 startWithPage(QProcess &program, const QString &database, const QStringList &more);

struct PageAnswer
{
    // 0 when no answer came (the reason is printed).
    int status = 0;
    QByteArray body;
    // The body, when it is a JSON object.
    QJsonObject json;
};

// One request to http://127.0.0.1:port/path, body as JSON unless the method is GET, waited for
// at most 30 s while this thread's events are served (simulated devices answer the program
// meanwhile).
PageAnswer pageRequest(QNetworkAccessManager &network, quint16 port, const QByteArray &method,
                       const QString &path, const QJsonObject &body = {},
                       const QList<QPair<QByteArray, QByteArray>> &headers = {});
