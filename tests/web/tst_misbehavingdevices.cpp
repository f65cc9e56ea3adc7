#include "devicesim/devicesimulator.h"
#include "support/programprocess.h"
#include "support/recordingview.h"
#include "support/sqlfixture.h"
#include "support/tempdatabase.h"
#include "web/curldriver.h"
#include "web/holeurl.h"
#include "web/interschneck.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

#include <unistd.h>

namespace {

// A device on 127.0.0.1 for devices that break HTTP in ways the simulator does not: once a
// request head is in, it sends head, filler repeated up to fillerBytes (or without end), tail, and
// closes. Filler is queued only while little waits in the socket, so a gigabyte or an endless
// stream costs this process no memory.
class RawDevice : public QObject
{
public:
    static constexpr qint64 kEndless = -1;
    struct Answer
    {
        // Empty: the device never answers and keeps the connection until the client goes.
        QByteArray head;
        QByteArray filler;
        qint64 fillerBytes = 0;
        QByteArray tail;
        // Above 0: only the head, one byte per interval.
        int byteIntervalMs = 0;
    };

    explicit RawDevice(const Answer &answer) : m_answer(answer)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                ++m_connections;
                ++m_open;
                connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                    --m_open;
                    socket->deleteLater();
                });
                connect(socket, &QTcpSocket::readyRead, this,
                        [this, socket, request = QByteArray()]() mutable {
                            const bool answered = request.contains("\r\n\r\n");
                            request += socket->readAll();
                            if (!answered && request.contains("\r\n\r\n")
                                && !m_answer.head.isEmpty()) {
                                serve(socket);
                            }
                        });
            }
        });
    }
    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    // "127.0.0.1:PORT", the form the logger is configured with.
    QString address() const { return QStringLiteral("127.0.0.1:%1").arg(m_server.serverPort()); }
    int connectionCount() const { return m_connections; }
    int openConnectionCount() const { return m_open; }
    // Answer bytes queued so far, on all connections.
    qint64 bytesSent() const { return m_sent; }

private:
    // More is queued only while fewer bytes than this wait in the socket.
    static constexpr qint64 kHighWater = 256 * 1024;

    void serve(QTcpSocket *socket)
    {
        if (m_answer.byteIntervalMs > 0) {
            auto *timer = new QTimer(socket);
            connect(timer, &QTimer::timeout, socket, [this, socket, sent = 0]() mutable {
                if (sent < m_answer.head.size()) {
                    m_sent += socket->write(m_answer.head.mid(sent++, 1));
                } else {
                    socket->disconnectFromHost();
                }
            });
            timer->start(m_answer.byteIntervalMs);
            return;
        }
        m_sent += socket->write(m_answer.head);
        // Shared by the call below and the connection's copy.
        const auto left = std::make_shared<qint64>(m_answer.fillerBytes);
        const auto more = [this, socket, left] {
            const QByteArray &filler = m_answer.filler;
            while ((*left > 0 || *left == kEndless) && socket->bytesToWrite() < kHighWater) {
                const qint64 size =
                    *left == kEndless ? filler.size() : std::min<qint64>(*left, filler.size());
                m_sent += socket->write(filler.left(size));
                *left -= *left == kEndless ? 0 : size;
            }
            if (*left == 0) {
                // The tail has gone.
                *left = -2;
                m_sent += socket->write(m_answer.tail);
                socket->disconnectFromHost();
            }
        };
        connect(socket, &QTcpSocket::bytesWritten, socket, more);
        more();
    }

    QTcpServer m_server;
    Answer m_answer;
    int m_connections = 0;
    int m_open = 0;
    qint64 m_sent = 0;
};

using Answer = RawDevice::Answer;

// What a fetch with a time-out of 1 s must come to. BrokenOff: given up before the time-out, no
// body, the answer broken off. Kept: ends in time with the expected body (at most 4096 bytes) and
// its status. TimedOut: after all of its 1 + 50 waiting passes. KeptOrTimedOut: too big to be sure
// of either within 1 s.
enum class Outcome { BrokenOff, Kept, TimedOut, KeptOrTimedOut };

constexpr qint64 kGrowthBoundKiB = 8 * 1024;
#ifdef __SANITIZE_ADDRESS__
// AddressSanitizer keeps freed memory in quarantine, which makes the peak meaningless.
constexpr bool kPeakShows = false;
#else
constexpr bool kPeakShows = true;
#endif
constexpr qint64 kEndless = RawDevice::kEndless;

QByteArray head(const QByteArray &statusAndHeaders)
{
    return "HTTP/1.1 " + statusAndHeaders + "\r\n\r\n";
}

// 64 KiB of text whose every 4096-byte stretch is different, so a cut in the wrong place shows.
QByteArray filler()
{
    QByteArray text;
    for (int i = 0; text.size() < 64 * 1024; ++i) {
        text += QByteArray::number(i) + ' ';
    }
    return text.left(64 * 1024);
}

// 16 MiB of zeros as a gzip member (check sum left at zero: an inflating client has done all the
// damage before it gets there). qCompress: 4 bytes of length, 2 of zlib header, deflate, Adler-32.
QByteArray gzipBomb()
{
    const QByteArray zlib = qCompress(QByteArray(16 * 1024 * 1024, '\0'), 9);
    return QByteArray("\x1f\x8b\x08\0\0\0\0\0\x02\x03", 10) + zlib.mid(6, zlib.size() - 10)
           + QByteArray("\0\0\0\0\0\0\0\x01", 8);
}

Answer raw(const QByteArray &head, const QByteArray &filler = {}, qint64 fillerBytes = 0,
           const QByteArray &tail = {}, int byteIntervalMs = 0)
{
    return Answer{head, filler, fillerBytes, tail, byteIntervalMs};
}

// The peak (VmHWM) of a process in KiB; reset first sets it back to what the process holds now.
qint64 peakKiB(qint64 pid, bool reset = false)
{
    QFile clear(QStringLiteral("/proc/%1/clear_refs").arg(pid));
    if (reset && clear.open(QIODevice::WriteOnly)) {
        clear.write("5");
        clear.close();
    }
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    return text.mid(text.indexOf("VmHWM:") + 6).trimmed().split(' ').constFirst().toLongLong();
}

} // namespace

// Devices that break HTTP in every way we could think of, each beside a healthy one. The healthy
// one's pages, with and without the marker, are fetched in tst_geraeteabfragen.
class tst_MisbehavingDevices : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void fetchStaysBounded_data();
    void fetchStaysBounded();
    void programStaysBoundedAndEnds();

private:
    FetchResult fetch(const QString &address, qint32 timeout)
    {
        return fetchDevicePage(m_view, m_transfer, "http://" + address + "/xml", timeout);
    }

    RecordingView m_view;
    CurlDriver m_curl;
    Interschneck m_transfer{m_curl};
    DeviceSimulator m_healthy;
};

void tst_MisbehavingDevices::initTestCase()
{
    QVERIFY(m_healthy.listen());
    m_healthy.setFixedReadings({21.5});
}

void tst_MisbehavingDevices::fetchStaysBounded_data()
{
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QByteArray>("kept");
    // Much more arrives within the second than the memory bound, so holding it would show.
    QTest::addColumn<bool>("floods");
    // The HTTP status of a kept body.
    QTest::addColumn<int>("status");
    const QByteArray text = filler();
    const QByteArray text4k = text.left(4096);
    const QByteArray chunked = head("200 OK\r\nTransfer-Encoding: chunked");
    const QByteArray page = "<s><ntpsync>1</ntpsync><t1>5</t1></s>";
    const QByteArray pageChunk = QByteArray::number(page.size(), 16) + "\r\n" + page + "\r\n";
    const QByteArray bomb = gzipBomb();
    const auto row = [](const char *name, const Answer &answer, Outcome outcome,
                        const QByteArray &kept = {}, bool floods = false, int status = 200) {
        QTest::newRow(name) << answer << outcome << kept << floods << status;
    };
    using O = Outcome;
    // clang-format off
    row("endless status line", raw("HTTP/1.1 200 OK", text, kEndless), O::BrokenOff);
    row("endless header block", raw("HTTP/1.1 200 OK\r\n", "X-Pad: " + QByteArray(55, 'a') + "\r\n", kEndless), O::BrokenOff);
    row("401, endless body", raw(head("401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"x\""), text, kEndless), O::TimedOut, {}, true);
    row("407, endless body", raw(head("407 Proxy Authentication Required\r\nProxy-Authenticate: Basic"), text, kEndless), O::TimedOut, {}, true);
    row("chunk size 7FFFFFFFFFFFFFFF then data", raw(chunked + "7FFFFFFFFFFFFFFF\r\n", text, kEndless), O::TimedOut, {}, true);
    row("one 1 GB chunk", raw(chunked + "40000000\r\n", text, qint64(1) << 30, "\r\n0\r\n\r\n"), O::KeptOrTimedOut, text4k, true);
    row("endless chunks", raw(chunked, "1000\r\n" + text4k + "\r\n", kEndless), O::TimedOut, {}, true);
    row("100 MB Content-Length", raw(head("200 OK\r\nContent-Length: 104857600"), text, 100 << 20), O::KeptOrTimedOut, text4k, true);
    row("one byte per second", raw(head("200 OK") + page, {}, 0, {}, 1000), O::TimedOut);
    row("accepts and never answers", raw({}), O::TimedOut);
    row("raw bytes without headers", raw(page + QByteArray("\0\xff\x80<", 4)), O::BrokenOff);
    row("closes before its Content-Length", raw(head("200 OK\r\nContent-Length: 1000") + page), O::BrokenOff);
    row("chunk size not hexadecimal", raw(chunked + pageChunk + "zz\r\n" + text), O::BrokenOff);
    row("chunk size beyond 64 bits", raw(chunked + pageChunk + "1FFFFFFFFFFFFFFFF\r\n" + text), O::BrokenOff);
    row("redirect to the healthy device", raw(head("302 Found\r\nLocation: http://HEALTHY/xml\r\nContent-Length: 5") + "moved"), O::Kept, "moved", false, 302);
    row("gzip bomb", raw(head("200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " + QByteArray::number(bomb.size())) + bomb), O::Kept, bomb.left(4096));
    // clang-format on
}

void tst_MisbehavingDevices::fetchStaysBounded()
{
    QFETCH(Answer, answer);
    QFETCH(Outcome, outcome);
    QFETCH(QByteArray, kept);
    QFETCH(bool, floods);
    QFETCH(int, status);
    answer.head.replace("HEALTHY", m_healthy.address().toLatin1());
    RawDevice device(answer);
    QVERIFY(device.listen());
    const int healthyRequests = m_healthy.requestCount();

    const qint64 before = peakKiB(::getpid(), true);
    const FetchResult bad = fetch(device.address(), 1);
    const qint64 grown = peakKiB(::getpid()) - before;
    QVERIFY2(!kPeakShows || grown < kGrowthBoundKiB, qPrintable(QString::number(grown)));
    const bool timedOut = outcome == Outcome::TimedOut
                          || (outcome == Outcome::KeptOrTimedOut && bad.failure.failed());
    QCOMPARE(bad.failure.keyword(), QLatin1String(timedOut                        ? "timeout"
                                                  : outcome == Outcome::BrokenOff ? "broken_off"
                                                                                  : ""));
    if (!timedOut && outcome != Outcome::BrokenOff) {
        QCOMPARE(bad.failure.httpStatus, status);
    }
    QVERIFY2(timedOut ? bad.passes == 51 : bad.passes <= 51,
             qPrintable(QString::number(bad.passes)));
    QCOMPARE(bad.text, QString::fromLatin1(timedOut || outcome == Outcome::BrokenOff ? "" : kept));
    QCOMPARE(device.connectionCount(), 1);
    QVERIFY(!floods || device.bytesSent() > 2 * kGrowthBoundKiB * 1024);

    // Nothing of the bad device stands in the way of the next one, and nothing was followed.
    QCOMPARE(m_healthy.requestCount(), healthyRequests);
    const FetchResult healthy = fetch(m_healthy.address(), 15);
    QVERIFY2(healthy.text.contains(QLatin1String("<t1>21.5</t1>")), qPrintable(healthy.text));
    QTRY_COMPARE(device.openConnectionCount(), 0);
}

// The real program against the worst of them: an endless chunk it must neither hold nor wait for
// beyond SIGTERM.
void tst_MisbehavingDevices::programStaysBoundedAndEnds()
{
    const QByteArray chunked = head("200 OK\r\nTransfer-Encoding: chunked");
    RawDevice bad(raw(chunked + "7FFFFFFFFFFFFFFF\r\n", filler(), kEndless));
    QVERIFY(bad.listen());
    TempDatabase database;
    database.exec(loggerSetup(2,
                              QStringLiteral("(1, '%1', 'Gut'), (2, '%2', 'Schlecht')")
                                  .arg(m_healthy.address(), bad.address()),
                              QStringLiteral("(7, 1, 1, 'Vorlauf'), (9, 2, 1, 'Keller')")));
    const int healthyRequests = m_healthy.requestCount();

    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // A proxy in the environment must not be used for the devices.
    environment.insert(QStringLiteral("http_proxy"), QStringLiteral("http://127.0.0.1:9"));
    program.setProcessEnvironment(environment);
    QVERIFY(startPelvaro(program, database.path()));
    const qint64 pid = program.processId();
    QTRY_COMPARE_WITH_TIMEOUT(bad.openConnectionCount(), 1, 20000);
    QCOMPARE(m_healthy.requestCount(), healthyRequests + 1);
    const QByteArray request = m_healthy.lastRequestHead();
    QVERIFY2(request.startsWith("GET /xml HTTP/1.1\r\n")
                 && request.contains("\r\nConnection: close")
                 && request.contains("\r\nUser-Agent: Pelvaro/1.00")
                 && request.contains("\r\nAccept-Encoding: identity"),
             request.constData());
    const qint64 resting = peakKiB(pid, true);
    QTRY_VERIFY_WITH_TIMEOUT(bad.bytesSent() > 4 * kGrowthBoundKiB * 1024, 20000);
    const qint64 grown = peakKiB(pid) - resting;
    QVERIFY2(!kPeakShows || grown < kGrowthBoundKiB, qPrintable(QString::number(grown)));

    QCOMPARE(stopPelvaro(program), 0);
    QTRY_COMPARE(bad.openConnectionCount(), 0);
    QVERIFY(!program.readAllStandardError().contains("Laufzeitfehler"));
}

QTEST_GUILESS_MAIN(tst_MisbehavingDevices)
#include "tst_misbehavingdevices.moc"
