#include "pageclient.h"

#include "programprocess.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTest>

#include <csignal>

quint16 startWithPage(QProcess &program, const QString &database, const QStringList &more)
{
    program.setChildProcessModifier([] { ::signal(SIGPIPE, SIG_DFL); });
    program.start(pelvarodExecutable(),
                  QStringList{QStringLiteral("--database"), database, QStringLiteral("--status"),
                              QStringLiteral("127.0.0.1:0")}
                      + more);
    const QRegularExpression listening(
        QStringLiteral("Statusseite: https?://127\\.0\\.0\\.1:(\\d+)/"));
    QByteArray err;
    const bool listens = program.waitForStarted()
                         && QTest::qWaitFor(
                             [&] {
                                 err += program.readAllStandardError();
                                 return listening.match(QString::fromUtf8(err)).hasMatch();
                             },
                             15000);
    return listens ? listening.match(QString::fromUtf8(err)).captured(1).toUShort() : 0;
}

PageAnswer pageRequest(QNetworkAccessManager &network, quint16 port, const QByteArray &method,
                       const QString &path, const QJsonObject &body,
                       const QList<QPair<QByteArray, QByteArray>> &headers)
{
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path)));
    for (const auto &[name, value] : headers) {
        request.setRawHeader(name, value);
    }
    QNetworkReply *reply =
        method == "GET" ? network.get(request)
                        : network.sendCustomRequest(request, method, QJsonDocument(body).toJson());
    if (!QTest::qWaitFor([reply] { return reply->isFinished(); }, 30000)) {
        reply->abort();
    }
    PageAnswer answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (answer.status == 0) {
        qWarning() << method << path << reply->errorString();
    }
    answer.body = reply->readAll();
    answer.json = QJsonDocument::fromJson(answer.body).object();
    reply->deleteLater();
    return answer;
}
