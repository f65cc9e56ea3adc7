#include "devicesim/devicesimulator.h"
#include "support/programprocess.h"
#include "support/sqlfixture.h"
#include "support/tempdatabase.h"

#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// More passes than the seconds a silent client is given, at one pass a second.
constexpr int kPassesWhileHeld = 10;

QByteArray get(const QByteArray &target, const QByteArray &headers = {})
{
    return "GET " + target + " HTTP/1.0\r\n" + headers + "\r\n";
}

} // namespace

// The status page of the real executable while it polls simulated devices, over real sockets:
// every endpoint with its escaping, bad parameters, methods and limits; clients that misbehave;
// the metrics as promtool reads them; the page as Debian's chromium shows it.
class tst_StatusPage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void answers_data();
    void answers();
    void metricsPassPromtool();
    void pageInBrowser_data();
    void pageInBrowser();
    void chartOfRangeInAddress_data();
    void chartOfRangeInAddress();
    void misbehavingClientsDoNotHoldUpPasses_data();
    void misbehavingClientsDoNotHoldUpPasses();
    void startUpFailures_data();
    void startUpFailures();

private:
    // The whole answer to a request, read until the server closes the connection.
    QByteArray exchange(const QByteArray &request);
    // Pass logs on the program's stdout so far.
    int passes();

    DeviceSimulator m_heizung;
    DeviceSimulator m_keller;
    DeviceSimulator m_dach;
    TempDatabase m_database;
    QProcess m_program;
    QByteArray m_out;
    quint16 m_port = 0;
    QString m_page;
};

void tst_StatusPage::initTestCase()
{
    QVERIFY(m_heizung.listen());
    QVERIFY(m_keller.listen());
    QVERIFY(m_dach.listen());
    m_heizung.setFixedReadings({21.5, -3.25});
    m_keller.setBehaviour(DeviceSimulator::Behaviour::Refused);
    m_dach.setBehaviour(DeviceSimulator::Behaviour::NotFound);
    // No store during the test: Werte holds only the rows put here.
    m_database.exec(loggerSetup(
        1000000,
        QStringLiteral("(10, '%1', 'Heizung'), (20, '%2', 'Keller \"Süd\" \\ 1'), "
                       "(30, '%3', 'Dach')")
            .arg(m_heizung.address(), m_keller.address(), m_dach.address()),
        QStringLiteral("(7, 1, 1, 'Vorlauf'), (8, 1, 2, '<img src=x onerror=alert(1)>'), "
                       "(9, 2, 1, '=HYPERLINK(\"x\")')")));
    m_database.exec(QStringLiteral(
        "INSERT INTO Werte VALUES (7, '2026-01-10 00:00:00', 1), (7, '2026-01-10 00:10:00', 2), "
        "(7, '2026-01-10 00:20:00', 3), (7, '2026-01-10 00:30:00', 4), "
        "(7, '2026-01-10 00:40:00', 5), (7, '2026-01-10 00:50:00', 6), "
        "(9, '2026-01-10 00:00:00', 2.5);"
        "INSERT INTO Werte SELECT 8, datetime('now', 'localtime', '-' || (value * 60) || "
        "' seconds'), value FROM json_each('[5, 10, 20, 40, 80]');"
        // An export far larger than socket buffers, for a client that does not read it.
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 299999) "
        "INSERT INTO Werte SELECT 7, datetime('2025-01-01', '+' || (i * 100) || ' seconds'), i "
        "FROM n"));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    m_program.setProcessEnvironment(environment);
    m_program.setChildProcessModifier([] { ::signal(SIGPIPE, SIG_DFL); });
    m_program.start(pelvaroExecutable(),
                    {QStringLiteral("--headless"), QStringLiteral("--database"), m_database.path(),
                     QStringLiteral("--status"), QStringLiteral("127.0.0.1:0")});
    QVERIFY(m_program.waitForStarted());
    QByteArray err;
    const QRegularExpression listening(
        QStringLiteral("Statusseite: http://127\\.0\\.0\\.1:(\\d+)/"));
    QTRY_VERIFY_WITH_TIMEOUT((err += m_program.readAllStandardError(),
                              listening.match(QString::fromUtf8(err)).hasMatch()),
                             15000);
    m_port = listening.match(QString::fromUtf8(err)).captured(1).toUShort();
    QTRY_VERIFY_WITH_TIMEOUT(passes() >= 1, 15000);
    // What the page reads of Werte at start is there once it knows the index and the size.
    QTRY_VERIFY_WITH_TIMEOUT(!exchange(get("/api/status")).contains("\"zustand\":\"unbekannt\""),
                             15000);
    QTRY_VERIFY_WITH_TIMEOUT(!exchange(get("/api/status")).contains("\"zeilen\":null"), 15000);

    m_page = pageInChromium(QStringLiteral("http://127.0.0.1:%1/").arg(m_port));
    QVERIFY2(!m_page.isEmpty(), "chromium (Debian package chromium) is missing or hangs");
}

void tst_StatusPage::cleanupTestCase()
{
    QCOMPARE(stopPelvaro(m_program), 0);
}

int tst_StatusPage::passes()
{
    m_out += m_program.readAllStandardOutput();
    static const QRegularExpression stamp(
        QStringLiteral("\\d\\d:\\d\\d:\\d\\d \\d\\d\\.\\d\\d\\.\\d{4}"));
    int count = 0;
    for (auto it = stamp.globalMatch(QString::fromUtf8(m_out)); it.hasNext(); it.next()) {
        ++count;
    }
    return count;
}

QByteArray tst_StatusPage::exchange(const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_port);
    if (!QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000)) {
        return {};
    }
    socket.write(request);
    QByteArray answer;
    const bool closed = QTest::qWaitFor(
        [&] {
            answer += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        10000);
    return closed ? answer + socket.readAll() : QByteArray();
}

void tst_StatusPage::answers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("absent");
    const auto row = [](const char *name, const QByteArray &request, int status,
                        const QStringList &present, const QStringList &absent = {}) {
        QTest::newRow(name) << request << status << present << absent;
    };
    const QString series = QStringLiteral("/api/werte?sensor=7&von=2026-01-10T00:00&bis=");
    row("page with strict headers", get("/"), 200,
        {"Content-Type: text/html", "script-src 'self'; style-src 'self'", "frame-ancestors 'none'",
         "X-Content-Type-Options: nosniff", "X-Frame-Options: DENY",
         "<script type=\"module\" src=\"app.js\">"});
    row("HEAD: the head alone", "HEAD /api/status HTTP/1.0\r\n\r\n", 200,
        {"Content-Type: application/json"}, {"geraete"});
    row("a module, compressed", get("/chart.js", "Accept-Encoding: gzip, deflate\r\n"), 200,
        {"Content-Type: text/javascript", "Content-Encoding: deflate"});
    row("uPlot from the program itself", get("/uPlot.iife.min.js"), 200,
        {"Content-Type: text/javascript", "leeoniya/uPlot (v"});
    row("status: names as JSON text", get("/api/status"), 200,
        {"\"bezeichnung\":\"<img src=x onerror=alert(1)>\"",
         "\"bezeichnung\":\"Keller \\\"Süd\\\" \\\\ 1\"",
         "\"gespeichert\":{\"wert\":6,\"zeit\":\"2026-01-10T00:50:00\"}",
         "\"zustand\":\"vorhanden\"", "\"antwortet\":false"});
    row("status: the database's size, rows and oldest row; no store yet", get("/api/status"), 200,
        {"\"datenbankStand\":{\"aeltesteZeit\":\"2025-01-01T00:00:00\",\"groesse\":",
         "\"schreibrate\":\"unbekannt\",\"zeilen\":300012,\"zeilenGeschaetzt\":true}"});
    row("series in buckets", get((series + "2026-01-10T00:59:59&punkte=2").toLatin1()), 200,
        {"\"zeit\":[\"2026-01-10T00:00:00\",\"2026-01-10T00:30:00\"]", "\"minimum\":[1,4]",
         "\"mittel\":[2,5]", "\"maximum\":[3,6]", "\"anzahl\":[3,3]", "\"sekundenJePunkt\":1800",
         "\"bezeichnung\":\"Vorlauf\""});
    row("ten years of a series in months",
        get("/api/werte?sensor=7&von=2016-01-01T00:00&bis=2026-01-10T23:59&punkte=500"), 200,
        {"\"raster\":\"monate\"", "\"zeit\":[\"2025-01-01T00:00:00\",\"2025-02-01T00:00:00\","});
    row("series without sensor", get("/api/werte"), 400, {"\"fehler\":\"Genau ein Parameter"});
    row("series of no number", get("/api/werte?sensor=sieben"), 400, {"keine Sensornummer"});
    row("series ending before it begins", get((series + "2026-01-09T00:00").toLatin1()), 400,
        {"'von' muss vor 'bis' liegen"});
    row("series at no time", get("/api/werte?sensor=7&von=gestern"), 400,
        {"'gestern' ist keine Zeit"});
    row("series of no points", get("/api/werte?sensor=7&punkte=0"), 400,
        {"'punkte' muss eine ganze Zahl von 1 bis 10000 sein"});
    row("series with an unknown parameter", get("/api/werte?sensor=7&bis=1&x=1"), 400,
        {"Unbekannter Parameter 'x'"});
    row("csv", get("/werte.csv?sensor=7&von=2026-01-10T00:00&bis=2026-01-10T00:10"), 200,
        {"Content-Type: text/csv; charset=utf-8",
         "\xEF\xBB\xBFSensorNummer,Sensor,Gerät,Zeit,MessWert\r\n"
         "7,Vorlauf,Heizung,2026-01-10 00:00:00,1\r\n7,Vorlauf,Heizung,2026-01-10 00:10:00,2\r\n"},
        {"00:20:00"});
    row("csv for German spreadsheets, no formula",
        get("/werte.csv?sensor=9&format=de&von=2026-01-10T00:00"), 200,
        {"\r\n9;\"'=HYPERLINK(\"\"x\"\")\";\"Keller \"\"Süd\"\" \\ 1\";2026-01-10 "
         "00:00:00;2,5\r\n"});
    row("csv in an unknown format", get("/werte.csv?format=xls"), 400, {"'xls' gibt es nicht"});
    row("metrics with escaped labels", get("/metrics"), 200,
        {"Content-Type: text/plain; version=0.0.4",
         "pelvaro_device_up{position=\"2\",device=\"Keller \\\"Süd\\\" \\\\ 1\",address=",
         "pelvaro_sensor_reading{sensor=\"8\",name=\"<img src=x onerror=alert(1)>\","
         "device=\"Heizung\"} -3.25\n",
         "pelvaro_device_failures_total{position=\"2\",device=\"Keller \\\"Süd\\\" \\\\ 1\","
         "reason=\"refused\"} "},
        {"pelvaro_device_failures_total{position=\"2\",device=\"Keller \\\"Süd\\\" \\\\ 1\","
         "reason=\"refused\"} 0\n",
         "pelvaro_device_failures_total{position=\"3\",device=\"Dach\",reason=\"no_marker\"} 0\n"});
    row("healthy", get("/healthz"), 200, {"\r\n\r\nok\n"});
    row("no such page", get("/nirgends"), 404, {});
    row("nothing outside the page's files", get("/../statuspage.cpp"), 404, {});
    row("POST", "POST /api/status HTTP/1.0\r\nContent-Length: 3\r\n\r\na=1", 405,
        {"Allow: GET, HEAD"});
    row("DELETE", "DELETE /werte.csv HTTP/1.0\r\n\r\n", 405, {"Allow: GET, HEAD"});
    row("request line too long", get("/" + QByteArray(20000, 'a')), 414, {});
    row("headers too large", get("/healthz", "X-Viel: " + QByteArray(20000, 'b') + "\r\n"), 431,
        {});
}

void tst_StatusPage::answers()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QStringList, present);
    QFETCH(QStringList, absent);
    const QString answer = QString::fromUtf8(exchange(request));
    QCOMPARE(answer.section(QLatin1Char(' '), 1, 1).toInt(), status);
    for (const QString &text : present) {
        QVERIFY2(answer.contains(text),
                 qPrintable(text + QStringLiteral("\n---\n") + answer.left(2000)));
    }
    for (const QString &text : absent) {
        QVERIFY2(!answer.contains(text), qPrintable(text));
    }
}

void tst_StatusPage::metricsPassPromtool()
{
    const QByteArray answer = exchange(get("/metrics"));
    QProcess promtool;
    promtool.start(QStringLiteral("promtool"),
                   {QStringLiteral("check"), QStringLiteral("metrics")});
    QVERIFY2(promtool.waitForStarted(), "promtool (Debian package prometheus) is missing");
    promtool.write(answer.mid(answer.indexOf("\r\n\r\n") + 4));
    promtool.closeWriteChannel();
    QVERIFY(promtool.waitForFinished());
    QCOMPARE(promtool.readAll(), QByteArray());
    QCOMPARE(promtool.exitCode(), 0);
}

void tst_StatusPage::pageInBrowser_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<bool>("found");
    QTest::newRow("a reading") << "<td class=\"zahl messwert\"[^>]*>21\\.5</td>" << true;
    QTest::newRow("the reading of a name with markup")
        << "<td class=\"zahl messwert\"[^>]*>-3\\.25</td>" << true;
    QTest::newRow("markup in a name shown as text")
        << "<td[^>]*>&lt;img src=x onerror=alert\\(1\\)&gt;</td>" << true;
    QTest::newRow("no element made from a name") << "<img" << false;
    QTest::newRow("the device that does not answer, and why")
        << "seit <time[^>]*>[^<]+</time> keine Antwort \\(Verbindung abgelehnt oder Gerät nicht "
           "erreichbar\\)<small>"
        << true;
    QTest::newRow("the device whose page has no readings")
        << "keine Antwort \\(Seite ohne Messwerte \\(HTTP 404\\)\\)" << true;
    QTest::newRow("a chart of the stored averages") << "data-gezeichnet=\"[1-9]" << true;
    QTest::newRow("the database in one line")
        << "stand\">[0-9,]+ MB · etwa 300\\.012 Zeilen in Werte · die älteste von [^·]*2025[^·]* · "
           "Schreibrate unbekannt<"
        << true;
}

void tst_StatusPage::pageInBrowser()
{
    QFETCH(QString, pattern);
    QFETCH(bool, found);
    QVERIFY2(QRegularExpression(pattern).match(m_page).hasMatch() == found, qPrintable(m_page));
}

void tst_StatusPage::chartOfRangeInAddress_data()
{
    QTest::addColumn<QString>("fragment");
    // The points the chart was drawn with: sensor 7's six rows of the hour, one a bucket.
    QTest::addColumn<QString>("pattern");
    QTest::newRow("an hour") << "#von=2026-01-10T00:00&bis=2026-01-10T01:00"
                             << "data-gezeichnet=\"6\"";
    QTest::newRow("ten years") << "#von=2016-01-01T00:00&bis=2026-01-10T23:59"
                               << "data-gezeichnet=\"[1-9][0-9]*\"";
}

void tst_StatusPage::chartOfRangeInAddress()
{
    QFETCH(QString, fragment);
    QFETCH(QString, pattern);
    const QString page =
        pageInChromium(QStringLiteral("http://127.0.0.1:%1/%2").arg(m_port).arg(fragment));
    QVERIFY2(QRegularExpression(pattern).match(page).hasMatch(), qPrintable(page));
}

void tst_StatusPage::misbehavingClientsDoNotHoldUpPasses_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("head never finished") << QByteArray("GET /healthz HTTP/1.1\r\nHost: x\r\n");
    QTest::newRow("nothing sent") << QByteArray();
    QTest::newRow("answer never read")
        << get("/werte.csv?sensor=7&von=2025-01-01T00:00&bis=2025-12-31T00:00");
}

void tst_StatusPage::misbehavingClientsDoNotHoldUpPasses()
{
    QFETCH(QByteArray, sent);
    // A plain socket that does only what it is told, with a small receive buffer from the start
    // (Qt's socket would read on its own).
    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    const auto closeClient = qScopeGuard([client] { ::close(client); });
    const int buffer = 4096;
    ::setsockopt(client, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(m_port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(client, reinterpret_cast<sockaddr *>(&server), sizeof server), 0);
    QCOMPARE(::send(client, sent.constData(), size_t(sent.size()), MSG_NOSIGNAL), sent.size());
    const int before = passes();
    QTRY_VERIFY_WITH_TIMEOUT(passes() >= before + kPassesWhileHeld, 60000);
    QByteArray answer;
    const auto closedByServer = [&] {
        char chunk[65536];
        for (;;) {
            const ssize_t count = ::recv(client, chunk, sizeof chunk, MSG_DONTWAIT);
            if (count <= 0) {
                return count == 0;
            }
            answer.append(chunk, count);
        }
    };
    QTRY_VERIFY_WITH_TIMEOUT(closedByServer(), 15000);
    // The export was cut off where its client stopped reading, not sent to its end.
    QVERIFY(!answer.contains(",299999\r\n"));
}

void tst_StatusPage::startUpFailures_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("port taken") << QStringLiteral("127.0.0.1:%1") << 1
                                << QStringLiteral(
                                       "Laufzeitfehler 10048: Die Statusseite kann "
                                       "nicht auf 127.0.0.1:%1 lauschen (libmicrohttpd: ");
    QTest::newRow("address of another machine")
        << QStringLiteral("192.0.2.1:8080") << 1
        << QStringLiteral("Laufzeitfehler 10049: Die Statusseite kann nicht auf 192.0.2.1:8080");
    QTest::newRow("no address") << QStringLiteral("irgendwo") << 2
                                << QStringLiteral("'irgendwo' ist keine Adresse für '--status'");
    QTest::newRow("no address in Einstellungen")
        << QString() << 1 << QStringLiteral("'irgendwo' ist keine Adresse für die Statusseite");
}

void tst_StatusPage::startUpFailures()
{
    QFETCH(QString, address);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    TempDatabase database;
    database.exec(QStringLiteral("INSERT INTO Geraete VALUES (1, '127.0.0.1:9', 'G'); INSERT INTO "
                                 "Sensoren VALUES (1, 1, 1, 'S'); INSERT INTO Einstellungen "
                                 "VALUES ('StatusAdresse', 'irgendwo')"));
    QStringList arguments{QStringLiteral("--headless"), QStringLiteral("--database"),
                          database.path()};
    if (!address.isEmpty()) {
        arguments << QStringLiteral("--status")
                  << address.replace(QStringLiteral("%1"), QString::number(m_port));
    }
    const ProcessResult result = runPelvaro(arguments);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(QString::fromLocal8Bit(result.err)
                 .contains(message.replace(QStringLiteral("%1"), QString::number(m_port))),
             result.err.constData());
}

QTEST_MAIN(tst_StatusPage)
#include "tst_statuspage.moc"
