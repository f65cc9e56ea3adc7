#include "chromiumdriver.h"

#include "programprocess.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTest>
#include <QWebSocket>

ChromiumDriver::ChromiumDriver() = default;

ChromiumDriver::~ChromiumDriver()
{
    if (m_socket) {
        m_socket->close();
    }
    m_chromium.terminate();
    if (!m_chromium.waitForFinished(5000)) {
        m_chromium.kill();
        m_chromium.waitForFinished();
    }
    // Chromium leaves files in its profile that only it may write.
    QProcess::execute(QStringLiteral("chmod"),
                      {QStringLiteral("-R"), QStringLiteral("u+w"), m_profile.path()});
}

bool ChromiumDriver::start(const QByteArray &authorization)
{
    m_chromium.start(QStringLiteral("chromium"),
                     chromiumArguments(m_profile.path())
                         << QStringLiteral("--remote-debugging-address=127.0.0.1")
                         << QStringLiteral("--remote-debugging-port=0")
                         << QStringLiteral("about:blank"));
    if (!m_chromium.waitForStarted()) {
        m_why = QStringLiteral("chromium is missing");
        return false;
    }
    // Chromium names its port in the profile once it listens.
    QFile portFile(m_profile.filePath(QStringLiteral("DevToolsActivePort")));
    if (!QTest::qWaitFor([&] { return portFile.exists() && portFile.size() > 0; }, 60000)
        || !portFile.open(QIODevice::ReadOnly)) {
        m_why = QStringLiteral("chromium opened no DevTools port");
        return false;
    }
    const int port = portFile.readLine().trimmed().toInt();
    QNetworkAccessManager network;
    QJsonArray targets;
    // The page opens a moment after the port.
    const bool listed = QTest::qWaitFor(
        [&] {
            QNetworkReply *reply = network.get(
                QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/json/list").arg(port))));
            QEventLoop loop;
            QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
            loop.exec();
            targets = QJsonDocument::fromJson(reply->readAll()).array();
            reply->deleteLater();
            return !targets.isEmpty();
        },
        20000);
    Q_UNUSED(listed)
    QString page;
    for (const QJsonValue &target : targets) {
        if (target[QStringLiteral("type")] == QLatin1String("page")) {
            page = target[QStringLiteral("webSocketDebuggerUrl")].toString();
        }
    }
    if (page.isEmpty()) {
        m_why = QStringLiteral("chromium shows no page");
        return false;
    }
    m_socket = std::make_unique<QWebSocket>();
    QObject::connect(m_socket.get(), &QWebSocket::textMessageReceived, [this](const QString &text) {
        m_received << QJsonDocument::fromJson(text.toUtf8()).object();
    });
    m_socket->open(QUrl(page));
    if (!QTest::qWaitFor([&] { return m_socket->state() == QAbstractSocket::ConnectedState; },
                         20000)) {
        m_why = QStringLiteral("no DevTools connection: ") + m_socket->errorString();
        return false;
    }
    call(QStringLiteral("Page.enable"));
    call(QStringLiteral("Network.enable"));
    if (!authorization.isEmpty()) {
        call(QStringLiteral("Network.setExtraHTTPHeaders"),
             {{QStringLiteral("headers"), QJsonObject{{QStringLiteral("Authorization"),
                                                       QString::fromLatin1(authorization)}}}});
    }
    return m_why.isEmpty();
}

QJsonObject ChromiumDriver::call(const QString &method, const QJsonObject &params, int timeoutMs)
{
    const int id = ++m_nextId;
    m_socket->sendTextMessage(
        QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("id"), id},
                                                    {QStringLiteral("method"), method},
                                                    {QStringLiteral("params"), params}})
                              .toJson(QJsonDocument::Compact)));
    QJsonObject answer;
    // Without an answer in time, answer stays empty and why() says so.
    const bool answered = QTest::qWaitFor(
        [&] {
            for (qsizetype i = 0; i < m_received.size(); ++i) {
                if (m_received[i][QStringLiteral("id")].toInt() == id) {
                    answer = m_received.takeAt(i);
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    Q_UNUSED(answered)
    if (answer.contains(QStringLiteral("error")) || answer.isEmpty()) {
        m_why = method + QStringLiteral(": ")
                + QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact));
    }
    return answer[QStringLiteral("result")].toObject();
}

bool ChromiumDriver::open(const QString &url)
{
    m_received.clear();
    call(QStringLiteral("Page.navigate"), {{QStringLiteral("url"), url}});
    return QTest::qWaitFor(
        [&] {
            for (const QJsonObject &event : std::as_const(m_received)) {
                if (event[QStringLiteral("method")] == QLatin1String("Page.loadEventFired")) {
                    return true;
                }
            }
            return false;
        },
        30000);
}

QJsonValue ChromiumDriver::evaluate(const QString &expression)
{
    const QJsonObject result =
        call(QStringLiteral("Runtime.evaluate"), {{QStringLiteral("expression"), expression},
                                                  {QStringLiteral("awaitPromise"), true},
                                                  {QStringLiteral("returnByValue"), true}});
    if (result.contains(QStringLiteral("exceptionDetails"))) {
        m_why =
            QString::fromUtf8(QJsonDocument(result[QStringLiteral("exceptionDetails")].toObject())
                                  .toJson(QJsonDocument::Compact));
        return QJsonValue(QJsonValue::Undefined);
    }
    return result[QStringLiteral("result")][QStringLiteral("value")];
}

bool ChromiumDriver::waitFor(const QString &expression, int timeoutMs)
{
    return QTest::qWaitFor([&] { return evaluate(expression).toBool(); }, timeoutMs);
}
