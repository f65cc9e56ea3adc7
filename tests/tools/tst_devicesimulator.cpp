#include "devicesim/devicesimulator.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

namespace {

// One request as a plain client sends it, then everything until the connection ends.
QByteArray fetch(const QByteArray &address)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, address.mid(address.indexOf(':') + 1).toUShort());
    if (!socket.waitForConnected(5000)) {
        return QByteArray();
    }
    socket.write("GET /xml HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(5000)) {
        answer += socket.readAll();
    }
    return answer + socket.readAll();
}

} // namespace

// The executable as run.sh and the benchmark start it: one address per device, then "bereit".
class tst_DeviceSimulator : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void executable();
};

void tst_DeviceSimulator::executable()
{
    QProcess process;
    // Later entries win, so the first device answers and the second refuses.
    process.start(qEnvironmentVariable("PELVARO_DEVICESIM"),
                  QStringLiteral("--count 2 --sensors 3 --lifetime 10 --behaviour refused,1=normal")
                      .split(u' '));
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += process.readAllStandardOutput()).contains("bereit\n"), 5000);
    const QByteArrayList lines = out.trimmed().split('\n');
    QCOMPARE(lines.size(), 3);
    const QRegularExpression address(QStringLiteral("^127\\.0\\.0\\.1:\\d+$"));
    QVERIFY2(address.match(QString::fromLatin1(lines.at(0))).hasMatch(), lines.at(0).constData());
    QVERIFY2(address.match(QString::fromLatin1(lines.at(1))).hasMatch(), lines.at(1).constData());

    const QByteArray page = fetch(lines.at(0));
    QVERIFY2(page.startsWith("HTTP/1.1 200 OK\r\n"), page.constData());
    QVERIFY(page.indexOf("<ntpsync>") > page.indexOf("\r\n\r\n"));
    QVERIFY(page.contains("<t3>") && !page.contains("<t4>"));
    QCOMPARE(fetch(lines.at(1)), QByteArray());
    process.kill();
    process.waitForFinished();
}

QTEST_GUILESS_MAIN(tst_DeviceSimulator)
#include "tst_devicesimulator.moc"
