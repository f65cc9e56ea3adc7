#include "devicesim/devicesimulator.h"
#include "storage/registry.h"
#include "support/recordingview.h"
#include "web/curldriver.h"
#include "web/geraeteabfragen.h"
#include "web/interschneck.h"
#include "web/pollingstate.h"
#include "web/tagwert.h"

#include <QDateTime>
#include <QTest>

#include <memory>
#include <vector>

using Behaviour = DeviceSimulator::Behaviour;

class tst_GeraeteAbfragen : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void tagWert_data();
    void tagWert();
    void passOverSeveralDevices();
    void failureReasons_data();
    void failureReasons();

private:
    DeviceSimulator &addDevice(const QString &name, Behaviour behaviour, const QByteArray &body);

    std::vector<std::unique_ptr<DeviceSimulator>> m_devices;
    std::unique_ptr<Registry> m_registry = std::make_unique<Registry>();
    RecordingView m_view;
    CurlDriver m_curl;
    Interschneck m_transfer{m_curl};
};

DeviceSimulator &tst_GeraeteAbfragen::addDevice(const QString &name, Behaviour behaviour,
                                                const QByteArray &body)
{
    m_devices.push_back(std::make_unique<DeviceSimulator>());
    DeviceSimulator &device = *m_devices.back();
    device.listen();
    device.setBehaviour(behaviour);
    device.setBody(body);
    const qint32 k = ++m_registry->AnzahlGeraete;
    m_registry->GeraetID[k] = 100 - k;
    m_registry->GeraetIP[k] = device.address();
    m_registry->GeraetName[k] = name;
    return device;
}

// The element of a page that one reading comes from.
void tst_GeraeteAbfragen::tagWert_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("tag");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, const char *text, const char *tag, const char *expected) {
        QTest::newRow(name) << QString::fromUtf8(text) << QString::fromUtf8(tag)
                            << QString::fromUtf8(expected);
    };
    row("upper-case tag name", "<x><t1>21.5</t1></x>", "T1", "21.5");
    row("content keeps its case", "<t1>AbC</t1>", "t1", "AbC");
    row("empty content", "<t1></t1>", "t1", "");
    row("no closing tag", "<t1>21.5", "t1", "");
    row("t10 before t1", "<t10>5</t10><t1>7</t1>", "t1", "7");
    row("first of two", "<t1>1</t1><t1>2</t1>", "t1", "1");
    row("content kept as it stands", "<t1> <v>3</v> </t1>", "t1", " <v>3</v> ");
    row("attributes do not match", "<t1 unit=\"C\">4</t1>", "t1", "");
    row("closing before opening", "</t1>x<t1>5</t1>", "t1", "");
    // U+0130 lowers to two characters with QString::toLower; positions must not shift.
    row("length-changing letter before", "\u0130\u0130<t1>9</t1>", "t1", "9");
}

void tst_GeraeteAbfragen::tagWert()
{
    QFETCH(QString, text);
    QFETCH(QString, tag);
    QFETCH(QString, expected);
    QCOMPARE(TagWert(text, tag), expected);
}

// Ends the program at the pump right after the first reading line, as a click on "Ende" would.
class EndAtFirstLine : public RecordingView
{
public:
    void pump() override
    {
        RecordingView::pump();
        if (log.contains(QLatin1String("\r\n"))) {
            throw ProgramEnd();
        }
    }
};

// Two passes, the first sequential and the second parallel, which must log and count alike; then
// one that the program's end cuts short.
void tst_GeraeteAbfragen::passOverSeveralDevices()
{
    addDevice(QStringLiteral("Heizung"), Behaviour::Normal,
              "<?xml version=\"1.0\"?><s><ntpsync>1</ntpsync><t1>21.5</t1><T2>-3</T2><t4>21,5</t4>"
              "<t5>-9999</t5><t6>-9999.5</t6><t7>1e999</t7><t8>\r\n 7 \r\n</t8>"
              "<t9>1.5e308</t9></s>");
    addDevice(QStringLiteral("Aus <b>"), Behaviour::Refused, {});
    addDevice(QStringLiteral("Anfang"), Behaviour::Normal, "<ntpsync>1</ntpsync><t1>5</t1>");
    addDevice(QStringLiteral("Gross"), Behaviour::Normal, "<?xml?><NTPSYNC>1</NTPSYNC><t1>1</t1>");
    addDevice(QStringLiteral("Fehlerseite"), Behaviour::Normal, " <ntpsync>1</ntpsync><t1>4</t1>")
        .setStatusCode(500);
    // t3 stands beyond the 4096 bytes that are read.
    addDevice(QStringLiteral("Lang"), Behaviour::Normal,
              "<s><ntpsync>1</ntpsync><t1>12.25</t1><t2>13</t2>" + QByteArray(8192, ' ')
                  + "<t3>14</t3></s>");
    addDevice(QStringLiteral("Rauschen"), Behaviour::Normal,
              QByteArray("\0\xff<t1>\x80", 8).repeated(256));
    // Each fetch may take 2 s, the parallel pass 3 s for all: the first trickling device is done
    // well within both, the second within neither.
    addDevice(QStringLiteral("Still"), Behaviour::Silent, {});
    const QByteArray slowPage = " <ntpsync>1</ntpsync><t1>3</t1>";
    addDevice(QStringLiteral("Langsam"), Behaviour::Trickle, slowPage).setTrickleInterval(2);
    addDevice(QStringLiteral("Zu langsam"), Behaviour::Trickle, slowPage).setTrickleInterval(40);
    const qint32 twin = ++m_registry->AnzahlGeraete;
    m_registry->GeraetIP[twin] = m_registry->GeraetIP[1];
    m_registry->GeraetName[twin] = QStringLiteral("Zwilling");
    // Sensors as device:port:name, with ids from 101 on.
    const QString sensors = QStringLiteral(
        "1:1:Keller 1:2:Garage 1:3:Fehlt 1:1:Keller2 1:4:Komma 1:5:Grenze 1:6:Keine 1:7:Riesig "
        "1:8:Zeilen 99:1:Niemand 0:1:Null 2:1:AusSensor 5:1:Fehlerseite1 6:1:Lang1 6:3:Lang3 "
        "1:9:Spitze 9:1:Langsam1 10:1:Zu1 11:2:Zwilling2");
    for (const QString &sensor : sensors.split(QLatin1Char(' '))) {
        const QStringList fields = sensor.split(QLatin1Char(':'));
        const qint32 k = ++m_registry->AnzahlSensoren;
        m_registry->SensorID[k] = 100 + k;
        m_registry->SensorGeraet[k] = fields.at(0).toInt();
        m_registry->SensorAnschluss[k] = fields.at(1).toInt();
        m_registry->SensorName[k] = fields.at(2);
    }

    QString expected = QStringLiteral(
        "Keller:  21.5\r\nGarage: -3\r\nFehlt:  0\r\nKeller2:  21.5\r\nKomma:  21\r\n"
        "Grenze: -9999\r\nZeilen:  7\r\nSpitze:  1.5E+308\r\n"
        "Datenholung von Aus <b> war erfolglos.\r\n"
        "Datenholung von Anfang war erfolglos.\r\n"
        "Datenholung von Gross war erfolglos.\r\n"
        "Fehlerseite1:  4\r\nLang1:  12.25\r\nLang3:  0\r\n"
        "Datenholung von Rauschen war erfolglos.\r\n"
        "Datenholung von Still war erfolglos.\r\nLangsam1:  3\r\n"
        "Datenholung von Zu langsam war erfolglos.\r\nZwilling2: -3\r\n");
    QStringList statuses;
    for (const char *name : {"Heizung", "Aus <b>", "Anfang", "Gross", "Fehlerseite", "Lang",
                             "Rauschen", "Still", "Langsam", "Zu langsam", "Zwilling"}) {
        statuses << QStringLiteral("Datenübertragung (%1)...").arg(QLatin1String(name));
    }
    statuses << QString();
    for (const qint32 parallel : {0, 3}) {
        m_view = RecordingView();
        const QDateTime before = QDateTime::currentDateTime();
        GeraeteAbfragen(*m_registry, m_view, m_transfer, PassOptions{parallel, 2});
        // The pass ends with its time stamp on a line of its own.
        const QString &log = m_view.log;
        const QDateTime when =
            QDateTime::fromString(log.right(19), QStringLiteral("HH:mm:ss dd.MM.yyyy"));
        QVERIFY2(when >= before.addMSecs(-before.time().msec())
                     && when <= QDateTime::currentDateTime(),
                 qPrintable(log));
        QCOMPARE(log.chopped(19), expected + QStringLiteral("\r\n"));
        QCOMPARE(m_view.statuses, statuses);
        // Its sum would overflow now: no reading.
        expected.remove(QStringLiteral("Spitze:  1.5E+308\r\n"));
    }
    QCOMPARE(m_devices.at(0)->requestCount(), 4);
    const QList<double> counts = {2, 2, 2, 2, 2, 2, 0, 0, 2, 0, 0, 0, 2, 2, 2, 1, 2, 0, 2};
    const QList<double> sums = {43, -6, 0, 43,   42, -19998,  0, 0, 14, 0,
                                0,  0,  8, 24.5, 0,  1.5e308, 6, 0, -6};
    for (qint32 j = 1; j <= m_registry->AnzahlSensoren; ++j) {
        QCOMPARE(m_registry->SensorZaehler[j], counts.at(j - 1));
        QCOMPARE(m_registry->SensorSumme[j], sums.at(j - 1));
    }
    // Nothing after the pump runs: the reading shown is not counted, no other device is asked.
    EndAtFirstLine ending;
    QVERIFY_THROWS_EXCEPTION(ProgramEnd,
                             GeraeteAbfragen(*m_registry, ending, m_transfer, PassOptions{0, 2}));
    QCOMPARE(ending.log, QStringLiteral("Keller:  21.5\r\n"));
    QCOMPARE(m_registry->SensorZaehler[1], 2.0);
    QCOMPARE(m_devices.at(2)->requestCount(), 2);
}

// One device failing in one way per row, in a sequential pass or a parallel one (ParallelAbfrage
// > 0): the pass names the reason, its log stays the plain failure line, and what counts as a
// failure is what always counted. The sequential pass of the real service meets each way in
// tst_devicefailures.
void tst_GeraeteAbfragen::failureReasons_data()
{
    QTest::addColumn<Behaviour>("behaviour");
    // A null body leaves the behaviour's own page; an empty one serves an empty body.
    QTest::addColumn<QByteArray>("body");
    // 0: the behaviour's own status.
    QTest::addColumn<int>("status");
    // Empty: the simulated device's address.
    QTest::addColumn<QString>("address");
    QTest::addColumn<qint32>("parallelSeconds");
    QTest::addColumn<qint32>("timeoutSeconds");
    QTest::addColumn<QString>("keyword");
    QTest::addColumn<QString>("text");
    const auto row = [](const char *name, Behaviour behaviour, qint32 parallel, const char *keyword,
                        const char *text, qint32 timeout = 1, const QByteArray &body = {},
                        int status = 0, const char *address = "") {
        QTest::newRow(name) << behaviour << body << status << QString::fromUtf8(address) << parallel
                            << timeout << QString::fromUtf8(keyword) << QString::fromUtf8(text);
    };
    using B = Behaviour;
    const char *refused = "Verbindung abgelehnt oder Gerät nicht erreichbar";
    const char *noHost = "Adresse nicht auflösbar";
    const char *noMarker = "Seite ohne Messwerte";
    const char *notFound = "Seite ohne Messwerte (HTTP 404)";
    // clang-format off
    row("refused, parallel", B::Refused, 3, "refused", refused);
    row("no host in the address, parallel", B::Normal, 3, "unresolvable", noHost, 1, {}, 0, "kein Gerät");
    row("silent, parallel, within its limit", B::Silent, 3, "timeout", "Zeitüberschreitung nach 1 s");
    row("silent, parallel, beyond its limit", B::Silent, 1, "deadline", "Zeitgrenze der parallelen Abfrage (1 s) erreicht", 3);
    row("reset halfway, parallel", B::Reset, 3, "broken_off", "Antwort abgebrochen");
    row("page without the marker, parallel", B::NoMarker, 3, "no_marker", noMarker);
    row("404 page, parallel", B::NotFound, 3, "no_marker", notFound);
    row("page that begins with the marker", B::Normal, 0, "no_marker", noMarker, 1, "<ntpsync>1</ntpsync><t1>5</t1>");
    row("empty 401 page", B::Normal, 0, "no_marker", "Seite ohne Messwerte (HTTP 401)", 1, "", 401);
    row("500 page with the marker: good", B::ServerError, 0, "", "");
    row("500 page with the marker, parallel: good", B::ServerError, 3, "", "");
    // clang-format on
}

void tst_GeraeteAbfragen::failureReasons()
{
    QFETCH(Behaviour, behaviour);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, address);
    QFETCH(qint32, parallelSeconds);
    QFETCH(qint32, timeoutSeconds);
    QFETCH(QString, keyword);
    QFETCH(QString, text);
    DeviceSimulator device;
    QVERIFY(device.listen());
    device.setBehaviour(behaviour);
    device.setFixedReadings({21.5});
    if (!body.isNull()) {
        device.setBody(body);
    }
    device.setStatusCode(status);
    const auto registry = std::make_unique<Registry>();
    registry->AnzahlGeraete = 1;
    registry->GeraetIP[1] = address.isEmpty() ? device.address() : address;
    registry->GeraetName[1] = QStringLiteral("Kessel");
    registry->AnzahlSensoren = 1;
    registry->SensorGeraet[1] = 1;
    registry->SensorAnschluss[1] = 1;
    registry->SensorName[1] = QStringLiteral("Vorlauf");

    RecordingView view;
    PassOutcome outcome;
    GeraeteAbfragen(*registry, view, m_transfer, PassOptions{parallelSeconds, timeoutSeconds},
                    &outcome);
    QCOMPARE(view.log.chopped(19),
             keyword.isEmpty() ? QStringLiteral("Vorlauf:  21.5\r\n\r\n")
                               : QStringLiteral("Datenholung von Kessel war erfolglos.\r\n\r\n"));
    QCOMPARE(outcome.failures.at(1).keyword(), keyword);
    QCOMPARE(outcome.failures.at(1).text(), text);
}

QTEST_GUILESS_MAIN(tst_GeraeteAbfragen)
#include "tst_geraeteabfragen.moc"
