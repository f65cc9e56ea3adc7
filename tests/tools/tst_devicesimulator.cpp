#include "devicesimulator.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <memory>


using Behaviour = DeviceSimulator::Behaviour;

namespace {

const QList<double> fixedReadings = {21.5, -3.25, 0.001, 1234.5};

struct Answer
{
    bool ended = false;
    QAbstractSocket::SocketError error = QAbstractSocket::UnknownSocketError;
    int status = 0;
    QByteArray head;
    QByteArray body;
    qint64 contentLength = -1;
    int pieces = 0;
};

// What the logger does with a body: look for the marker after the first character of its
// first 4096 bytes.
bool acceptedByLogger(const QByteArray &body)
{
    return body.left(4096).indexOf("<ntpsync>") >= 1;
}

QByteArray header(const QByteArray &head, const QByteArray &name)
{
    for (const QByteArray &line : head.split('\n')) {
        if (line.toLower().startsWith(name.toLower() + ':'))
            return line.mid(name.size() + 1).trimmed();
    }
    return QByteArray();
}

// A plain client: one request, then everything until the connection ends.
Answer fetch(quint16 port, const QByteArray &path = "/xml", const QByteArray &connection = "close")
{
    Answer answer;
    QByteArray raw;
    QTcpSocket socket;
    QObject::connect(&socket, &QTcpSocket::connected, [&] {
        socket.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: " + connection +
                     "\r\n\r\n");
    });
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] {
        raw += socket.readAll();
        ++answer.pieces;
    });
    QSignalSpy ended(&socket, &QAbstractSocket::errorOccurred);
    socket.connectToHost(QHostAddress::LocalHost, port);
    answer.ended = !ended.isEmpty() || ended.wait(10000);
    raw += socket.readAll();
    answer.error = socket.error();
    const qsizetype split = raw.indexOf("\r\n\r\n");
    answer.head = split < 0 ? raw : raw.left(split);
    answer.body = split < 0 ? QByteArray() : raw.mid(split + 4);
    answer.status = answer.head.mid(9, 3).toInt();
    const QByteArray length = header(answer.head, "Content-Length");
    answer.contentLength = length.isEmpty() ? -1 : length.toLongLong();
    return answer;
}

} // namespace

class tst_DeviceSimulator : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pages_data();
    void pages();
    void executable();
};

void tst_DeviceSimulator::pages_data()
{
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("start");
    QTest::addColumn<QByteArrayList>("within4096");
    QTest::addColumn<QByteArrayList>("notWithin4096");
    QTest::addColumn<QByteArrayList>("beyond4096");
    QTest::addColumn<int>("size");

    const QByteArray xml("text/xml; charset=ISO-8859-1");
    const QByteArrayList all = {"<t1>21.5</t1>", "<t2>-3.25</t2>", "<t3>0.001</t3>",
                                "<t4>1234.5</t4>"};
    QTest::newRow("normal") << Behaviour::Normal << 200 << xml << true << QByteArray("<?xml ")
                            << all << QByteArrayList{"<t5>"} << QByteArrayList{} << -1;
    QTest::newRow("oversized") << Behaviour::Oversized << 200 << xml << true << QByteArray("<?xml ")
                               << all.mid(0, 2) << QByteArrayList{"<t3>", "<t4>"} << all.mid(2)
                               << 12288;
    QTest::newRow("marker at start")
        << Behaviour::MarkerAtStart << 200 << xml << false << QByteArray("<ntpsync>1</ntpsync>")
        << all << QByteArrayList{} << QByteArrayList{} << -1;
    QTest::newRow("marker in wrong case")
        << Behaviour::MarkerWrongCase << 200 << xml << false << QByteArray("<?xml ")
        << (all + QByteArrayList{"<NTPSYNC>"}) << QByteArrayList{"<ntpsync>"} << QByteArrayList{}
        << -1;
    QTest::newRow("empty body") << Behaviour::EmptyBody << 200 << xml << false << QByteArray()
                                << QByteArrayList{} << QByteArrayList{} << QByteArrayList{} << 0;
    QTest::newRow("error status") << Behaviour::ErrorStatus << 500
                                  << QByteArray("text/html; charset=ISO-8859-1") << false
                                  << QByteArray("<html>") << QByteArrayList{"500"}
                                  << QByteArrayList{"<t1>"} << QByteArrayList{} << -1;
    QTest::newRow("garbage") << Behaviour::Garbage << 200 << xml << false << QByteArray()
                             << QByteArrayList{QByteArray(1, '\0'), "<", ">"} << QByteArrayList{}
                             << QByteArrayList{} << 2048;
}

void tst_DeviceSimulator::pages()
{
    QFETCH(Behaviour, behaviour);
    QFETCH(int, status);
    QFETCH(QByteArray, type);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, start);
    QFETCH(QByteArrayList, within4096);
    QFETCH(QByteArrayList, notWithin4096);
    QFETCH(QByteArrayList, beyond4096);
    QFETCH(int, size);

    Behaviour named = Behaviour::Refused;
    QVERIFY(DeviceSimulator::behaviourFromName(DeviceSimulator::behaviourName(behaviour), &named));
    QCOMPARE(named, behaviour);
    DeviceSimulator sim;
    sim.setBehaviour(behaviour);
    sim.setFixedReadings(fixedReadings);
    QVERIFY(sim.listen());
    const Answer answer = fetch(sim.port());
    QVERIFY(answer.ended);
    QCOMPARE(answer.status, status);
    QCOMPARE(header(answer.head, "Content-Type"), type);
    QCOMPARE(header(answer.head, "Connection"), QByteArray("close"));
    QCOMPARE(answer.contentLength, answer.body.size());
    QCOMPARE(acceptedByLogger(answer.body), accepted);
    QVERIFY(answer.body.startsWith(start));
    const QByteArray first = answer.body.left(4096);
    for (const QByteArray &text : within4096)
        QVERIFY2(first.contains(text), text.constData());
    for (const QByteArray &text : notWithin4096 + beyond4096)
        QVERIFY2(!first.contains(text), text.constData());
    for (const QByteArray &text : beyond4096)
        QVERIFY2(answer.body.indexOf(text) >= 4096, text.constData());
    if (size >= 0)
        QCOMPARE(answer.body.size(), size);
    if (behaviour == Behaviour::Garbage) {
        QVERIFY(std::any_of(answer.body.cbegin(), answer.body.cend(),
                            [](char c) { return quint8(c) >= 0x80; }));
        QCOMPARE(fetch(sim.port()).body, answer.body);
    }
}

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
    const QUrl url(QStringLiteral("http://") + QString::fromLatin1(lines.at(0)) +
                   QStringLiteral("/xml"));
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
