#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

// The executable as run.sh and the benchmark start it: one address per device, then "bereit";
// each address serves a page.
class tst_DeviceSimulator : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void executable();
};

void tst_DeviceSimulator::executable()
{
    QProcess process;
    process.start(qEnvironmentVariable("PELVARO_DEVICESIM"),
                  {QStringLiteral("--count"), QStringLiteral("2"), QStringLiteral("--lifetime"),
                   QStringLiteral("10")});
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).contains("bereit\n"), 5000);
    const QRegularExpression lines(
        QStringLiteral("^127\\.0\\.0\\.1:(\\d+)\n127\\.0\\.0\\.1:\\d+\nbereit\n$"));
    const QRegularExpressionMatch match = lines.match(QString::fromLatin1(out));
    QVERIFY2(match.hasMatch(), out.constData());

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, match.captured(1).toUShort());
    QVERIFY(socket.waitForConnected(5000));
    socket.write("GET /xml HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray page;
    while (socket.waitForReadyRead(5000)) {
        page += socket.readAll();
    }
    QVERIFY2(page.startsWith("HTTP/1.1 200 OK\r\n") && page.contains("<ntpsync>1</ntpsync>"),
             page.constData());
    process.kill();
    process.waitForFinished();
}

QTEST_GUILESS_MAIN(tst_DeviceSimulator)
#include "tst_devicesimulator.moc"
