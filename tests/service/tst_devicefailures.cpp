#include "devicesim/devicesimulator.h"
#include "support/programprocess.h"
#include "support/tempdatabase.h"

#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

#include <memory>

using Behaviour = DeviceSimulator::Behaviour;

// The real service with its status page on, beside a device that fails in one way per row: the
// journal says once that it fails and why, and once that it answers again; /api/status and
// /metrics name the reason; the pass log on stdout keeps its plain failure line.
class tst_DeviceFailures : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void reasonShown_data();
    void reasonShown();

private:
    // Waits until the program's stderr (or stdout) holds text; the output is kept in m_err and
    // m_out.
    bool waitForOutput(const QString &text, bool onStderr, int timeoutMs = 15000);

    DeviceSimulator m_heizung;
    std::unique_ptr<QProcess> m_process;
    QString m_out;
    QString m_err;
};

namespace {

// The body of the status page's answer to path, read until the page closes the connection.
QString pageText(quint16 port, const QByteArray &path)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000)) {
        return {};
    }
    socket.write("GET " + path + " HTTP/1.0\r\n\r\n");
    QByteArray answer;
    const bool closed = QTest::qWaitFor(
        [&] {
            answer += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState;
        },
        10000);
    answer += socket.readAll();
    return closed ? QString::fromUtf8(answer.mid(answer.indexOf("\r\n\r\n") + 4)) : QString();
}

} // namespace

void tst_DeviceFailures::initTestCase()
{
    QVERIFY(m_heizung.listen());
    m_heizung.setFixedReadings({21.5});
}

bool tst_DeviceFailures::waitForOutput(const QString &text, bool onStderr, int timeoutMs)
{
    return QTest::qWaitFor(
        [&] {
            m_out += QString::fromUtf8(m_process->readAllStandardOutput());
            m_err += QString::fromUtf8(m_process->readAllStandardError());
            return (onStderr ? m_err : m_out).contains(text);
        },
        timeoutMs);
}

void tst_DeviceFailures::reasonShown_data()
{
    QTest::addColumn<Behaviour>("behaviour");
    // Empty: the simulated device's address.
    QTest::addColumn<QString>("address");
    // The Einstellungen row ParallelAbfrage; 0 leaves the sequential pass.
    QTest::addColumn<int>("parallel");
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<QString>("text");
    // Whether the device is made to answer again; a time-out costs 15 s each way.
    QTest::addColumn<bool>("recovers");
    const auto row = [](const char *name, Behaviour behaviour, const char *keyword,
                        const char *text, bool recovers = true, int parallel = 0,
                        const char *address = "") {
        QTest::newRow(name) << behaviour << QString::fromUtf8(address) << parallel
                            << QString::fromUtf8(keyword) << QString::fromUtf8(text) << recovers;
    };
    using B = Behaviour;
    row("refused", B::Refused, "refused", "Verbindung abgelehnt oder Gerät nicht erreichbar");
    row("no host in the address", B::Normal, "unresolvable", "Adresse nicht auflösbar", false, 0,
        "kein Gerät");
    row("silent", B::Silent, "timeout", "Zeitüberschreitung nach 15 s", false);
    row("silent in a parallel pass of 2 s", B::Silent, "deadline",
        "Zeitgrenze der parallelen Abfrage (2 s) erreicht", true, 2);
    row("reset halfway", B::Reset, "broken_off", "Antwort abgebrochen");
    row("page without the marker", B::NoMarker, "no_marker", "Seite ohne Messwerte");
    row("404 page", B::NotFound, "no_marker", "Seite ohne Messwerte (HTTP 404)");
}

void tst_DeviceFailures::reasonShown()
{
    QFETCH(Behaviour, behaviour);
    QFETCH(QString, address);
    QFETCH(int, parallel);
    QFETCH(QString, keyword);
    QFETCH(QString, text);
    QFETCH(bool, recovers);
    DeviceSimulator device;
    QVERIFY(device.listen());
    device.setBehaviour(behaviour);
    device.setFixedReadings({4.5});
    const QString ip = address.isEmpty() ? device.address() : address;
    TempDatabase database;
    database.exec(loggerSetup(
        1000000,
        QStringLiteral("(10, '%1', 'Heizung'), (20, '%2', 'Aus')").arg(m_heizung.address(), ip),
        QStringLiteral("(7, 1, 1, 'Vorlauf'), (9, 2, 1, 'Keller')")));
    database.exec(QStringLiteral("INSERT INTO Einstellungen VALUES ('StatusAdresse', "
                                 "'127.0.0.1:0'), ('ParallelAbfrage', %1)")
                      .arg(parallel));
    m_process = std::make_unique<QProcess>();
    m_out.clear();
    m_err.clear();
    QVERIFY(startPelvaro(*m_process, database.path()));
    QVERIFY(waitForOutput(QStringLiteral("/\n"), true));
    const quint16 port = m_err.section(QStringLiteral("Statusseite: http://127.0.0.1:"), 1)
                             .section(QLatin1Char('/'), 0, 0)
                             .toUShort();
    const QString which = QStringLiteral("pelvarod: Gerät 'Aus' (Nr. 20, %1) antwortet ").arg(ip);
    QVERIFY(waitForOutput(which + QStringLiteral("nicht: %1.\n").arg(text), true, 25000));

    const QString status = pageText(port, "/api/status");
    for (const QString &field :
         {QStringLiteral("\"bezeichnung\":\"Aus\",\"fehlerGrund\":\"%1\"").arg(keyword),
          QStringLiteral("\"fehlerText\":\"%1\",\"id\":20").arg(text),
          QStringLiteral("\"bezeichnung\":\"Heizung\",\"fehlerGrund\":null")}) {
        QVERIFY2(status.contains(field), qPrintable(field + QLatin1Char('\n') + status));
    }
    // The failing device's count of its own reason is above 0, of every other at 0.
    const QString metrics = pageText(port, "/metrics");
    for (const char *reason :
         {"unresolvable", "refused", "timeout", "broken_off", "no_marker", "deadline"}) {
        const QString zero = QStringLiteral("pelvaro_device_failures_total{position=\"2\","
                                            "device=\"Aus\",reason=\"%1\"} 0\n")
                                 .arg(QLatin1String(reason));
        QVERIFY2(metrics.contains(zero) == (keyword != QLatin1String(reason)),
                 qPrintable(zero + metrics));
    }

    if (recovers) {
        device.setBehaviour(Behaviour::Normal);
        QVERIFY(waitForOutput(which + QStringLiteral("wieder (erfolglos seit "), true));
        QVERIFY(waitForOutput(QStringLiteral("Keller:  4.5\n"), false));
    }
    QCOMPARE(stopPelvaro(*m_process), 0);
    m_out += QString::fromUtf8(m_process->readAllStandardOutput());
    m_err += QString::fromUtf8(m_process->readAllStandardError());
    QCOMPARE(m_err.count(QStringLiteral("antwortet nicht")), 1);
    QCOMPARE(m_err.count(QStringLiteral("antwortet wieder")), recovers ? 1 : 0);
    static const QRegularExpression plainLogs(QStringLiteral(
        "^(Vorlauf:  21\\.5\n(Datenholung von Aus war erfolglos\\.|Keller:  4\\.5)\n\n"
        "\\d\\d:\\d\\d:\\d\\d \\d\\d\\.\\d\\d\\.\\d{4}\n\n)+$"));
    QVERIFY2(plainLogs.match(m_out).hasMatch(), qPrintable(m_out));
}

QTEST_GUILESS_MAIN(tst_DeviceFailures)
#include "tst_devicefailures.moc"
