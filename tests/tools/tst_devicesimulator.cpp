#include "devicesimulator.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <memory>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

// Connects and sends a request for the status page without waiting for the answer.
bool sendRequest(QTcpSocket *client, quint16 port)
{
    QSignalSpy connected(client, &QTcpSocket::connected);
    client->connectToHost(QHostAddress::LocalHost, port);
    if (connected.isEmpty() && !connected.wait(5000))
        return false;
    client->write("GET /xml HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    return true;
}

// Requests the status page with a plain system socket and reads to the end. Returns 0 for an
// orderly end and the error number otherwise: Qt reports a reset just like an orderly end.
int readUntilEnd(quint16 port, QByteArray *received)
{
    received->clear();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    const QByteArray request("GET /xml HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    int result = -1;
    QSocketNotifier writable(fd, QSocketNotifier::Write);
    QSocketNotifier readable(fd, QSocketNotifier::Read);
    QObject::connect(&writable, &QSocketNotifier::activated, [&] {
        writable.setEnabled(false);
        if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) < 0)
            result = errno;
    });
    QObject::connect(&readable, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got > 0)
            received->append(buffer, got);
        else if (got == 0 || errno != EAGAIN)
            result = got == 0 ? 0 : errno;
        if (result >= 0)
            readable.setEnabled(false);
    });
    const bool ended = QTest::qWaitFor([&] { return result >= 0; }, 10000);
    ::close(fd);
    return ended ? result : -1;
}

} // namespace

class TestDeviceSimulator : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pages_data();
    void pages();
    void servedExactly_data();
    void servedExactly();
    void paths_data();
    void paths();
    void readingsDrift();
    void refused();
    void reset();
    void silent();
    void endlessStaysBounded();
    void destroyedWhileAnswering_data();
    void destroyedWhileAnswering();
    void executable();
    void executableRejects_data();
    void executableRejects();
};

void TestDeviceSimulator::pages_data()
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

void TestDeviceSimulator::pages()
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

void TestDeviceSimulator::servedExactly_data()
{
    QTest::addColumn<Behaviour>("behaviour");
    QTest::addColumn<int>("statusSet");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("minPieces");

    const QByteArray page("<x><ntpsync>1</ntpsync><T1>5</T1></x>");
    QTest::newRow("page") << Behaviour::Normal << 0 << page << 200 << 1;
    QTest::newRow("status 503 with body") << Behaviour::Normal << 503 << page << 503 << 1;
    QTest::newRow("binary") << Behaviour::Normal << 0 << QByteArray("\0\xff<t1>\r\n", 8) << 200
                            << 1;
    QTest::newRow("empty") << Behaviour::Normal << 0 << QByteArray("") << 200 << 1;
    QTest::newRow("in place of error page") << Behaviour::ErrorStatus << 0 << page << 500 << 1;
    QTest::newRow("status on error page") << Behaviour::ErrorStatus << 502 << page << 502 << 1;
    QTest::newRow("trickled") << Behaviour::Trickle << 0 << page << 200 << 20;
}

void TestDeviceSimulator::servedExactly()
{
    QFETCH(Behaviour, behaviour);
    QFETCH(int, statusSet);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(int, minPieces);

    DeviceSimulator sim;
    sim.setBehaviour(behaviour);
    sim.setBody(body);
    sim.setStatusCode(statusSet);
    sim.setTrickleInterval(1);
    QVERIFY(sim.listen());
    const Answer answer = fetch(sim.port());
    QVERIFY(answer.ended);
    QCOMPARE(answer.status, status);
    QCOMPARE(answer.body, body);
    QCOMPARE(answer.contentLength, body.size());
    QVERIFY2(answer.pieces >= minPieces, QByteArray::number(answer.pieces).constData());

    sim.clearBody();
    sim.setStatusCode(0);
    sim.setBehaviour(Behaviour::Normal);
    QVERIFY(fetch(sim.port()).body.contains("<t1>"));
}

void TestDeviceSimulator::paths_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("connection");
    QTest::addColumn<int>("status");
    QTest::newRow("status page") << QByteArray("/xml") << QByteArray("close") << 200;
    QTest::newRow("keep-alive client") << QByteArray("/xml") << QByteArray("keep-alive") << 200;
    QTest::newRow("with query") << QByteArray("/xml?x=1") << QByteArray("close") << 200;
    QTest::newRow("root") << QByteArray("/") << QByteArray("close") << 404;
    QTest::newRow("upper case") << QByteArray("/XML") << QByteArray("close") << 404;
    QTest::newRow("below") << QByteArray("/xml/more") << QByteArray("keep-alive") << 404;
    QTest::newRow("other file") << QByteArray("/status.xml") << QByteArray("close") << 404;
}

void TestDeviceSimulator::paths()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, connection);
    QFETCH(int, status);
    DeviceSimulator sim;
    QVERIFY(sim.listen());
    QSignalSpy received(&sim, &DeviceSimulator::requestReceived);
    for (int request = 1; request <= 2; ++request) {
        const Answer answer = fetch(sim.port(), path, connection);
        QVERIFY(answer.ended);
        QCOMPARE(answer.status, status);
        QCOMPARE(answer.body.contains("<ntpsync>"), status == 200);
        QCOMPARE(header(answer.head, "Content-Type").startsWith("text/html"), status == 404);
        QCOMPARE(answer.body.contains("404 Not Found"), status == 404);
        QCOMPARE(sim.requestCount(), request);
        QCOMPARE(received.count(), request);
    }
    const QByteArray head = sim.lastRequestHead();
    QVERIFY2(head.startsWith("GET " + path + " HTTP/1.1\r\n"), head.constData());
    QVERIFY(head.endsWith("Connection: " + connection));
}

void TestDeviceSimulator::readingsDrift()
{
    DeviceSimulator sim;
    sim.setSensorCount(6);
    QVERIFY(sim.listen());
    const QByteArray body = fetch(sim.port()).body;
    const QRegularExpression element(QStringLiteral("<t(\\d+)>(-?\\d+\\.\\d{1,2})</t\\1>"));
    int count = 0;
    for (const auto &match : element.globalMatch(QString::fromLatin1(body))) {
        const int sensor = match.captured(1).toInt();
        QCOMPARE(sensor, ++count);
        const double value = match.captured(2).toDouble();
        QVERIFY2(value > 20 + sensor - 2 && value < 20 + sensor + 2, qPrintable(match.captured()));
    }
    QCOMPARE(count, 6);
}

void TestDeviceSimulator::refused()
{
    DeviceSimulator sim;
    sim.setBehaviour(Behaviour::Refused);
    QVERIFY(sim.listen());
    const quint16 port = sim.port();
    QVERIFY(port != 0);
    Answer answer = fetch(port);
    QVERIFY(answer.ended);
    QCOMPARE(answer.error, QAbstractSocket::ConnectionRefusedError);
    QTcpServer intruder;
    QVERIFY(!intruder.listen(QHostAddress::LocalHost, port));

    // A device that comes back and goes away again, on the same port; its closed connections
    // linger on that port, which must not keep it from refusing.
    sim.setBehaviour(Behaviour::Normal);
    QCOMPARE(sim.port(), port);
    QCOMPARE(fetch(port).status, 200);
    sim.setBehaviour(Behaviour::Refused);
    QVERIFY(sim.isListening());
    answer = fetch(port);
    QCOMPARE(answer.error, QAbstractSocket::ConnectionRefusedError);
}

void TestDeviceSimulator::reset()
{
    DeviceSimulator sim;
    sim.setBehaviour(Behaviour::Reset);
    sim.setFixedReadings(fixedReadings);
    QVERIFY(sim.listen());
    QByteArray received;
    QCOMPARE(readUntilEnd(sim.port(), &received), ECONNRESET);
    QVERIFY(received.startsWith("HTTP/1.1 200 OK\r\n"));
    const qsizetype bodyStart = received.indexOf("\r\n\r\n") + 4;
    QVERIFY(bodyStart > 4);
    QVERIFY(received.size() - bodyStart <
            header(received.left(bodyStart), "Content-Length").toInt());

    // An orderly end, for contrast, so that the check above is known to distinguish the two.
    sim.setBehaviour(Behaviour::Normal);
    QCOMPARE(readUntilEnd(sim.port(), &received), 0);
}

void TestDeviceSimulator::silent()
{
    DeviceSimulator sim;
    sim.setBehaviour(Behaviour::Silent);
    QVERIFY(sim.listen());
    QTcpSocket client;
    QVERIFY(sendRequest(&client, sim.port()));
    QTRY_COMPARE(sim.requestCount(), 1);
    QSignalSpy readable(&client, &QTcpSocket::readyRead);
    QVERIFY(!readable.wait(300));
    QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(sim.openConnectionCount(), 1);
    client.disconnectFromHost();
    QTRY_COMPARE(sim.openConnectionCount(), 0);
}

void TestDeviceSimulator::endlessStaysBounded()
{
    constexpr qint64 stallLimit = 64 * 1024 * 1024;
    const qint64 pendingLimit = DeviceSimulator::EndlessHighWater + DeviceSimulator::EndlessChunk;
    DeviceSimulator sim;
    sim.setBehaviour(Behaviour::Endless);
    QVERIFY(sim.listen());
    QSignalSpy queued(&sim, &DeviceSimulator::answerBytesQueued);

    // A client that reads almost nothing: the stream has to come to a halt.
    QTcpSocket client;
    client.setReadBufferSize(1024);
    QVERIFY(sendRequest(&client, sim.port()));
    QTRY_VERIFY(sim.bytesQueued() > 0);
    while (queued.wait(300) && sim.bytesQueued() < stallLimit)
        queued.clear();
    QVERIFY2(sim.bytesQueued() < stallLimit, "kept queueing for a client that does not read");
    QVERIFY(sim.maxPendingBytes() <= pendingLimit);

    // Reading again lets it go on.
    QByteArray start;
    qint64 received = 0;
    connect(&client, &QTcpSocket::readyRead, this, [&] {
        const QByteArray data = client.readAll();
        received += data.size();
        if (start.size() < 4096)
            start += data.left(4096);
    });
    client.setReadBufferSize(0);
    const qint64 stalledAt = sim.bytesQueued();
    QTRY_VERIFY(received > stalledAt + 1024 * 1024);
    QVERIFY(start.startsWith("HTTP/1.1 200 OK\r\n"));
    QVERIFY(!start.contains("Content-Length"));
    QVERIFY(acceptedByLogger(start.mid(start.indexOf("\r\n\r\n") + 4)));
    QVERIFY(sim.maxPendingBytes() <= pendingLimit);

    client.abort();
    QTRY_COMPARE(sim.openConnectionCount(), 0);
    queued.clear();
    QVERIFY(!queued.wait(300));
}

void TestDeviceSimulator::destroyedWhileAnswering_data()
{
    QTest::addColumn<Behaviour>("behaviour");
    QTest::newRow("silent") << Behaviour::Silent;
    QTest::newRow("trickle") << Behaviour::Trickle;
    QTest::newRow("reset") << Behaviour::Reset;
    QTest::newRow("endless") << Behaviour::Endless;
}

void TestDeviceSimulator::destroyedWhileAnswering()
{
    QFETCH(Behaviour, behaviour);
    auto *sim = new DeviceSimulator;
    sim->setBehaviour(behaviour);
    QVERIFY(sim->listen());
    QTcpSocket client;
    client.setReadBufferSize(1024);
    QSignalSpy disconnected(&client, &QTcpSocket::disconnected);
    QVERIFY(sendRequest(&client, sim->port()));
    QTRY_COMPARE(sim->requestCount(), 1);
    QCOMPARE(sim->openConnectionCount(), 1);
    delete sim;
    client.setReadBufferSize(0);
    QTRY_COMPARE(disconnected.count(), 1);
}

void TestDeviceSimulator::executable()
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

void TestDeviceSimulator::executableRejects_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("named");
    const auto args = [](const char *text) { return QString::fromLatin1(text).split(u' '); };
    QTest::newRow("unknown behaviour")
        << args("--count 2 --behaviour 1=nonsense") << 2 << QStringLiteral("nonsense");
    QTest::newRow("device beyond count")
        << args("--count 2 --behaviour normal,3=silent") << 2 << QStringLiteral("3=silent");
    QTest::newRow("count not a number") << args("--count zwei") << 2 << QStringLiteral("zwei");
    QTest::newRow("ports beyond range")
        << args("--port 65535 --count 2") << 2 << QStringLiteral("65535");
    QTest::newRow("unknown option") << args("--frobnicate") << 2 << QStringLiteral("frobnicate");
    QTest::newRow("port taken") << args("--port BUSY") << 1 << QStringLiteral("BUSY");
}

void TestDeviceSimulator::executableRejects()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, named);
    QTcpServer busy;
    QVERIFY(busy.listen(QHostAddress::LocalHost));
    const QString busyPort = QString::number(busy.serverPort());
    arguments.replaceInStrings(QStringLiteral("BUSY"), busyPort);
    named.replace(QStringLiteral("BUSY"), busyPort);

    const QString program = qEnvironmentVariable("PELVARO_DEVICESIM");
    QVERIFY2(!program.isEmpty(), "PELVARO_DEVICESIM is not set");
    QProcess process;
    QSignalSpy finished(&process, &QProcess::finished);
    process.start(program, arguments);
    QVERIFY(finished.wait(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    const QString errors = QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(errors.contains(named), qPrintable(errors));
    QVERIFY(!process.readAllStandardOutput().contains("bereit"));
}

QTEST_GUILESS_MAIN(TestDeviceSimulator)
#include "tst_devicesimulator.moc"
