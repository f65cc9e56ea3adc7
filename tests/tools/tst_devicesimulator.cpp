#include "devicesim/devicesimulator.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <memory>

namespace {

struct Answer
{
    int status = 0;
    QByteArray body;
};

// What the logger does with a body: look for the marker after the first character of its
// first 4096 bytes.
bool acceptedByLogger(const QByteArray &body)
{
    return body.left(4096).indexOf("<ntpsync>") >= 1;
}

// A plain client: one request, then everything until the connection ends.
Answer fetch(quint16 port)
{
    QByteArray raw;
    QTcpSocket socket;
    QObject::connect(&socket, &QTcpSocket::connected, [&] {
        socket.write("GET /xml HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    });
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { raw += socket.readAll(); });
    QSignalSpy ended(&socket, &QAbstractSocket::errorOccurred);
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (ended.isEmpty()) {
        ended.wait(10000);
    }
    raw += socket.readAll();
    const qsizetype split = raw.indexOf("\r\n\r\n");
    return {raw.mid(9, 3).toInt(), split < 0 ? QByteArray() : raw.mid(split + 4)};
}

} // namespace

class tst_DeviceSimulator : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void executable();
};

void tst_DeviceSimulator::executable()
{
    const QString program = qEnvironmentVariable("PELVARO_DEVICESIM");
    QVERIFY2(!program.isEmpty(), "PELVARO_DEVICESIM is not set");
    QProcess process;
    // Later entries win, so the first device is normal and the second one is not.
    process.start(
        program,
        QStringLiteral("--count 2 --lifetime 5 --behaviour marker-case,1=normal").split(u' '));
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).contains("bereit\n"), 5000);
    const QByteArrayList lines = out.trimmed().split('\n');
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(2), QByteArray("bereit"));
    const QRegularExpression address(QStringLiteral("^127\\.0\\.0\\.1:(\\d+)$"));
    QVERIFY2(address.match(QString::fromLatin1(lines.at(0))).hasMatch(), lines.at(0).constData());
    QVERIFY2(address.match(QString::fromLatin1(lines.at(1))).hasMatch(), lines.at(1).constData());
    QVERIFY(lines.at(0) != lines.at(1));

    // The first as the logger fetches it; QNetworkAccessManager is pickier than the plain client.
    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy::NoProxy);
    const QUrl url(QStringLiteral("http://") + QString::fromLatin1(lines.at(0))
                   + QStringLiteral("/xml"));
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(url)));
    QSignalSpy replied(reply.get(), &QNetworkReply::finished);
    QVERIFY(replied.wait(10000));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QVERIFY(acceptedByLogger(reply->readAll()));
    const Answer second = fetch(lines.at(1).mid(lines.at(1).indexOf(':') + 1).toUShort());
    QCOMPARE(second.status, 200);
    QVERIFY(second.body.contains("<NTPSYNC>"));

    QSignalSpy finished(&process, &QProcess::finished);
    process.terminate();
    QVERIFY(finished.wait(5000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_DeviceSimulator)
#include "tst_devicesimulator.moc"
