#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

// The executable as run.sh and the benchmark start it: one address per device, then "bereit";
// each address serves a page the way its behaviour says.
class tst_DeviceSimulator : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void executable_data();
    void executable();
};

void tst_DeviceSimulator::executable_data()
{
    QTest::addColumn<QString>("behaviour");
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<bool>("marker");
    QTest::newRow("normal") << "normal" << QByteArray("HTTP/1.1 200 OK\r\n") << true;
    QTest::newRow("page without the marker")
        << "nomarker" << QByteArray("HTTP/1.1 200 OK\r\n") << false;
    QTest::newRow("error page") << "notfound" << QByteArray("HTTP/1.1 404 Not Found\r\n") << false;
    QTest::newRow("error status on a good page")
        << "servererror" << QByteArray("HTTP/1.1 500 Internal Server Error\r\n") << true;
}

void tst_DeviceSimulator::executable()
{
    QFETCH(QString, behaviour);
    QFETCH(QByteArray, statusLine);
    QFETCH(bool, marker);
    QProcess process;
    process.start(qEnvironmentVariable("PELVARO_DEVICESIM"),
                  {QStringLiteral("--count"), QStringLiteral("2"), QStringLiteral("--behaviour"),
                   QStringLiteral("1=") + behaviour, QStringLiteral("--lifetime"),
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
    QVERIFY2(page.startsWith(statusLine), page.constData());
    QVERIFY2(page.contains("<ntpsync>1</ntpsync>") == marker, page.constData());
    process.kill();
    process.waitForFinished();
}

QTEST_GUILESS_MAIN(tst_DeviceSimulator)
#include "tst_devicesimulator.moc"
