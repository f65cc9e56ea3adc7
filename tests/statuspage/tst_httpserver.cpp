#include "runtime/bounds.h"
#include "statuspage/httpserver.h"
#include "statuspage/listenaddress.h"

#include <QDir>
#include <QHostAddress>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <cerrno>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// What the crowd's clients do once connected.
enum class Crowd { Trickling, Silent, Abandoned, HalfClosed, NotReading, Pipelining };

constexpr int kTickMs = 200;
// Enough to fill all the server's connections, from kSources addresses beside the client's.
constexpr int kSources = 8;
// Longer than any deadline of the server, so that every row can end in time.
constexpr int kGenerousMs = (Bounds::kPageHeaderSeconds + Bounds::kPageIdleSeconds) * 3000;

const QByteArray kRequest = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";

int descriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot).size());
}

// A plain non-blocking socket from source to the server, which does only what it is told.
int openClient(const char *source, quint16 port, bool smallBuffer = false)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (smallBuffer) {
        const int size = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, source, &address.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    address.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    return fd;
}

bool sendAll(int fd, const QByteArray &bytes)
{
    return ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
}

// Reads what has come; true once the server has ended the connection.
bool endedByServer(int fd, QByteArray &received)
{
    char chunk[65536];
    for (;;) {
        const ssize_t count = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (count > 0) {
            received.append(chunk, count);
            continue;
        }
        return count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    }
}

} // namespace

// The page's server in this process, over real sockets on loopback: crowds of clients that
// trickle, stay silent, abandon or half-close their connections, never read or flood it, and
// input it must refuse. Whatever they do, another client is answered, everyone is again once they
// are gone, and the server holds no descriptor more than before.
class tst_HttpServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void othersAnsweredDespite_data();
    void othersAnsweredDespite();
    void lateHeaderCut_data();
    void lateHeaderCut();
    void badInput_data();
    void badInput();
    void postBody_data();
    void postBody();
    void bodiesBounded();

private:
    // One GET from source, answered with the handler's "ok" within timeoutMs.
    bool answered(const char *source, int timeoutMs);

    std::unique_ptr<HttpServer> m_server;
    int m_resting = 0;
};

void tst_HttpServer::init()
{
    m_server = std::make_unique<HttpServer>([this](const HttpServer::Request &request) {
        QByteArray body = request.path == "/gross" ? QByteArray(8 << 20, 'x') : "ok\n";
        if (request.method == "POST") {
            body = QByteArray::number(request.body.size()) + ':' + request.body.left(8);
        }
        m_server->respond(request.id, HttpResponse{200, "text/plain", body});
    });
    m_server->setPostPaths({"/post"});
    m_server->listen(*ListenAddress::parse(QStringLiteral("127.0.0.1:0")));
    QVERIFY(answered("127.0.0.1", 5000));
    m_resting = descriptors();
}

void tst_HttpServer::cleanup()
{
    m_server.reset();
}

bool tst_HttpServer::answered(const char *source, int timeoutMs)
{
    QTcpSocket socket;
    socket.bind(QHostAddress(QString::fromLatin1(source)));
    socket.connectToHost(QHostAddress::LocalHost, m_server->port());
    socket.write("GET / HTTP/1.0\r\n\r\n");
    QByteArray answer;
    const bool closed = QTest::qWaitFor(
        [&] {
            answer += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        timeoutMs);
    answer += socket.readAll();
    return closed && answer.contains(" 200 ") && answer.endsWith("\r\n\r\nok\n");
}

void tst_HttpServer::othersAnsweredDespite_data()
{
    QTest::addColumn<Crowd>("crowd");
    QTest::addColumn<int>("clients");
    QTest::addColumn<int>("sources");
    QTest::newRow("header lines trickling from one address") << Crowd::Trickling << 200 << 1;
    QTest::newRow("header lines trickling from many, the server full")
        << Crowd::Trickling << 200 << kSources;
    QTest::newRow("nothing sent") << Crowd::Silent << 300 << kSources;
    QTest::newRow("connections abandoned") << Crowd::Abandoned << 300 << kSources;
    QTest::newRow("half-closed after the request") << Crowd::HalfClosed << 200 << kSources;
    QTest::newRow("large answers never read") << Crowd::NotReading << 40 << 1;
    QTest::newRow("pipelined requests, answers never read") << Crowd::Pipelining << 100 << kSources;
}

void tst_HttpServer::othersAnsweredDespite()
{
    QFETCH(Crowd, crowd);
    QFETCH(int, clients);
    QFETCH(int, sources);
    struct Client
    {
        int fd;
        bool begun;
    };
    std::vector<Client> crowdClients;
    for (int i = 0; i < clients; ++i) {
        const QByteArray source = sources == 1 ? QByteArray("127.0.0.1")
                                               : "127.0.0." + QByteArray::number(10 + i % sources);
        const int fd = openClient(source.constData(), m_server->port(), crowd == Crowd::NotReading);
        if (crowd == Crowd::Abandoned) {
            // Half of them reset, the others closed in order.
            const linger reset{1, 0};
            if (i % 2 == 0) {
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            }
            ::close(fd);
            continue;
        }
        crowdClients.push_back({fd, false});
    }
    const auto closeCrowd = qScopeGuard([&] {
        for (const Client &client : crowdClients) {
            ::close(client.fd);
        }
    });
    QTimer ticks;
    connect(&ticks, &QTimer::timeout, [&] {
        for (Client &client : crowdClients) {
            // A send fails until the connection is accepted; it is tried again at the next tick.
            switch (crowd) {
            case Crowd::Trickling:
                if (client.begun) {
                    sendAll(client.fd, "X-Trickle: 1\r\n");
                } else {
                    client.begun = sendAll(client.fd, "GET / HTTP/1.1\r\nHost: x\r\n");
                }
                break;
            case Crowd::HalfClosed:
                if (!client.begun && sendAll(client.fd, kRequest)) {
                    client.begun = ::shutdown(client.fd, SHUT_WR) == 0;
                }
                break;
            case Crowd::NotReading:
                client.begun =
                    client.begun || sendAll(client.fd, "GET /gross HTTP/1.1\r\nHost: x\r\n\r\n");
                break;
            case Crowd::Pipelining:
                client.begun = client.begun || sendAll(client.fd, kRequest.repeated(100));
                break;
            case Crowd::Silent:
            case Crowd::Abandoned:
                break;
            }
        }
    });
    ticks.start(kTickMs);
    QTest::qWait(2 * kTickMs);

    QVERIFY(answered("127.0.0.2", kGenerousMs));
    ticks.stop();
    for (const Client &client : crowdClients) {
        ::close(client.fd);
    }
    crowdClients.clear();
    QTRY_VERIFY_WITH_TIMEOUT(answered("127.0.0.1", 2000), kGenerousMs);
    QTRY_COMPARE_WITH_TIMEOUT(descriptors(), m_resting, kGenerousMs);
}

void tst_HttpServer::lateHeaderCut_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("trickled");
    QTest::addColumn<int>("everyMs");
    QTest::addColumn<QByteArray>("answer");
    const QByteArray line = "GET / HTTP/1.1\r\nHost: x\r\n";
    QTest::newRow("a header line every 200 ms")
        << line << QByteArray("X-a: b\r\n") << 200 << QByteArray();
    QTest::newRow("a byte every 300 ms") << QByteArray() << QByteArray("G") << 300 << QByteArray();
    QTest::newRow("the request line, then nothing") << line << QByteArray() << 0 << QByteArray();
    QTest::newRow("nothing at all") << QByteArray() << QByteArray() << 0 << QByteArray();
    QTest::newRow("the second request on a connection trickles")
        << kRequest + line << QByteArray("X-a: b\r\n") << 200 << QByteArray("\r\n\r\nok\n");
    QTest::newRow("a POST's body a byte every 200 ms")
        << QByteArray("POST /post HTTP/1.1\r\nHost: x\r\nContent-Length: 1000\r\n\r\n")
        << QByteArray("x") << 200 << QByteArray();
}

void tst_HttpServer::lateHeaderCut()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, trickled);
    QFETCH(int, everyMs);
    QFETCH(QByteArray, answer);
    const int fd = openClient("127.0.0.1", m_server->port());
    const auto closeClient = qScopeGuard([fd] { ::close(fd); });
    // qWaitFor, as QTRY_ would send it once more when it succeeds.
    QVERIFY(QTest::qWaitFor([&] { return first.isEmpty() || sendAll(fd, first); }));
    QTimer ticks;
    connect(&ticks, &QTimer::timeout, [&] { sendAll(fd, trickled); });
    if (everyMs > 0) {
        ticks.start(everyMs);
    }
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT(endedByServer(fd, received), kGenerousMs);
    QVERIFY2(answer.isEmpty() ? received.isEmpty() : received.endsWith(answer),
             received.constData());
}

void tst_HttpServer::badInput_data()
{
    QTest::addColumn<QByteArray>("request");
    // 0: whatever comes back (a cut-off connection may lose it, and the library reads a request
    // only up to a NUL byte).
    QTest::addColumn<int>("status");
    const QByteArray head = "GET / HTTP/1.1\r\nHost: x\r\n";
    QTest::newRow("a header line of 100 kB")
        << head + "X-Lang: " + QByteArray(100000, 'a') + "\r\n\r\n"
        << 431;
    QTest::newRow("a request line of 100 kB")
        << "GET /" + QByteArray(100000, 'a') + " HTTP/1.1\r\n\r\n"
        << 414;
    QTest::newRow("a million headers") << head + QByteArray("X-a: b\r\n").repeated(1000000) << 0;
    QTest::newRow("NUL in the path")
        << QByteArray("GET /\0/x HTTP/1.1\r\nHost: x\r\n\r\n", 31) << 0;
    QTest::newRow("NUL in a header") << head + QByteArray("X-a: b\0c\r\n\r\n", 12) << 0;
    QTest::newRow("NUL bytes only, no line end") << QByteArray(65536, '\0') << 414;
}

void tst_HttpServer::badInput()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    int fd = openClient("127.0.0.1", m_server->port());
    const auto closeClient = qScopeGuard([&fd] { fd < 0 || ::close(fd); });
    qsizetype sent = 0;
    QByteArray received;
    const bool ended = QTest::qWaitFor(
        [&] {
            const ssize_t count =
                ::send(fd, request.constData() + sent, size_t(request.size() - sent), MSG_NOSIGNAL);
            sent += std::max<ssize_t>(count, 0);
            return endedByServer(fd, received);
        },
        kGenerousMs);
    QVERIFY(ended);
    if (status != 0) {
        QCOMPARE(received.split(' ').value(1).toInt(), status);
    }
    ::close(fd);
    fd = -1;
    QVERIFY(answered("127.0.0.1", 5000));
    QTRY_COMPARE_WITH_TIMEOUT(descriptors(), m_resting, kGenerousMs);
}

void tst_HttpServer::postBody_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    // The handler's answer; empty for a refusal, which the handler never sees.
    QTest::addColumn<QByteArray>("answer");
    const auto post = [](const QByteArray &path, const QByteArray &body) {
        return "POST " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: "
               + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    };
    const QByteArray largest(Bounds::kPageBodyBytes, 'b');
    QTest::newRow("a short body") << post("/post", "{\"a\":1}") << 200 << QByteArray("7:{\"a\":1}");
    QTest::newRow("an empty body") << post("/post", "") << 200 << QByteArray("0:");
    QTest::newRow("the largest body")
        << post("/post", largest) << 200 << QByteArray::number(largest.size()) + ":bbbbbbbb";
    QTest::newRow("one byte more") << post("/post", largest + 'b') << 413 << QByteArray();
    QTest::newRow("without a length")
        << QByteArray("POST /post HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
                      "3\r\nabc\r\n0\r\n\r\n")
        << 411 << QByteArray();
    QTest::newRow("to a path that takes none") << post("/", "a=1") << 405 << QByteArray();
}

void tst_HttpServer::postBody()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_server->port());
    socket.write(request);
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT(
        (received += socket.readAll(), socket.state() == QAbstractSocket::UnconnectedState),
        kGenerousMs);
    received += socket.readAll();
    QCOMPARE(received.split(' ').value(1).toInt(), status);
    QVERIFY2(answer.isEmpty() || received.endsWith("\r\n\r\n" + answer),
             received.left(300).constData());
}

void tst_HttpServer::bodiesBounded()
{
    // Clients that announce the largest body and send it slowly hold their share of the bodies'
    // memory; the next one is refused until they are done.
    const qsizetype holders = qsizetype(Bounds::kPageBodiesBytes / Bounds::kPageBodyBytes);
    const QByteArray head = "POST /post HTTP/1.1\r\nHost: x\r\nContent-Length: "
                            + QByteArray::number(Bounds::kPageBodyBytes) + "\r\n\r\n";
    QList<int> clients;
    const auto closeClients = qScopeGuard([&clients] {
        for (const int fd : clients) {
            ::close(fd);
        }
    });
    for (qsizetype i = 0; i < holders; ++i) {
        clients << openClient("127.0.0.1", m_server->port());
        QVERIFY(QTest::qWaitFor([&] { return sendAll(clients.last(), head + "a"); }));
    }
    QTest::qWait(300);
    QTcpSocket late;
    late.connectToHost(QHostAddress::LocalHost, m_server->port());
    late.write(head);
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += late.readAll(), received.contains("\r\n\r\n")),
                             kGenerousMs);
    QCOMPARE(received.split(' ').value(1).toInt(), 503);
    QVERIFY(answered("127.0.0.1", 5000));
}

QTEST_MAIN(tst_HttpServer)
#include "tst_httpserver.moc"
