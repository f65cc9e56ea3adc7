#include "statuspage/einrichtungform.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

namespace {

QJsonObject json(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

// What the database holds: two devices, three sensors (two share a number), a users file.
const char *const kCurrent =
    R"({"format": "pelvaro-konfiguration", "version": 1,
        "Einstellungen": [{"Parameter": "MessIntervall", "Wert": 2},
                          {"Parameter": "StatusBenutzer", "Wert": "benutzer"}],
        "Geraete": [{"ID": 1, "IP": "127.0.0.1:18081", "Bezeichnung": "Heizung"},
                    {"ID": 2, "IP": "127.0.0.1:18082", "Bezeichnung": "Keller"}],
        "Sensoren": [{"ID": 7, "Geraet": 1, "Anschluss": 1, "Bezeichnung": "Vorlauf"},
                     {"ID": 7, "Geraet": 2, "Anschluss": 1, "Bezeichnung": "Kopie"},
                     {"ID": 9, "Geraet": 2, "Anschluss": 2, "Bezeichnung": "Luft"}]})";

// The same as the page sends it, devices keyed a and b; name, value and key replace one field.
QJsonObject form()
{
    return json(R"({"Einstellungen": [{"Parameter": "MessIntervall", "Wert": 2},
                                      {"Parameter": "StatusBenutzer", "Wert": "benutzer"}],
        "Geraete": [{"schluessel": "a", "ID": 1, "IP": "127.0.0.1:18081", "Bezeichnung": "Heizung"},
                    {"schluessel": "b", "ID": 2, "IP": "127.0.0.1:18082", "Bezeichnung": "Keller"}],
        "Sensoren": [{"ID": 7, "Geraet": "a", "Anschluss": 1, "Bezeichnung": "Vorlauf"},
                     {"ID": 7, "Geraet": "b", "Anschluss": 1, "Bezeichnung": "Kopie"},
                     {"ID": 9, "Geraet": "b", "Anschluss": 2, "Bezeichnung": "Luft"}]})");
}

void set(QJsonObject &object, const QString &table, int row, const QString &column,
         const QJsonValue &value)
{
    QJsonArray rows = object.value(table).toArray();
    if (row >= rows.size()) {
        rows.append(QJsonObject{});
    }
    QJsonObject changed = rows[row].toObject();
    changed.insert(column, value);
    rows[row] = changed;
    object.insert(table, rows);
}

} // namespace

// The setup form's checks and its turning into a configuration document, without a database:
// every fault is named with its field, and the positions follow the devices' order as sent.
class tst_EinrichtungForm : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void faults_data();
    void faults();
    void positions();
    void fileRowsKept();
    void counts_data();
    void counts();
};

void tst_EinrichtungForm::faults_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("column");
    QTest::addColumn<QJsonValue>("value");
    // The field named by the only fault; empty when the form is good.
    QTest::addColumn<QString>("fault");
    const QString ip = QStringLiteral("IP");
    const QString name = QStringLiteral("Bezeichnung");
    const auto row = [](const char *label, const char *table, int row, const QString &column,
                        const QJsonValue &value, const char *fault) {
        QTest::newRow(label) << QString::fromLatin1(table) << row << column << value
                             << QString::fromLatin1(fault);
    };
    row("the form as loaded", "Geraete", 0, ip, QStringLiteral("127.0.0.1:18081"), "");
    row("a name with a port", "Geraete", 0, ip, QStringLiteral("geraet.local:8080"), "");
    row("IPv6 in brackets", "Geraete", 0, ip, QStringLiteral("[::1]:80"), "");
    row("a scheme", "Geraete", 0, ip, QStringLiteral("http://127.0.0.1"), "Geraete[0].IP");
    row("a path", "Geraete", 0, ip, QStringLiteral("127.0.0.1/xml"), "Geraete[0].IP");
    row("a space", "Geraete", 0, ip, QStringLiteral("127.0.0.1 :80"), "Geraete[0].IP");
    row("port 0", "Geraete", 0, ip, QStringLiteral("127.0.0.1:0"), "Geraete[0].IP");
    row("port 65536", "Geraete", 1, ip, QStringLiteral("127.0.0.1:65536"), "Geraete[1].IP");
    row("no address", "Geraete", 1, ip, QStringLiteral(""), "Geraete[1].IP");
    row("markup, quotes and ; in a name", "Sensoren", 0, name,
        QStringLiteral("<b>x</b> \"a\"; 'b'"), "");
    row("200 characters outside the first plane", "Sensoren", 0, name,
        QString::fromUtf8("\xF0\x9F\x98\x80").repeated(200), "");
    row("201 characters", "Sensoren", 0, name, QString(201, QLatin1Char('x')),
        "Sensoren[0].Bezeichnung");
    row("a line break", "Geraete", 1, name, QStringLiteral("a\nb"), "Geraete[1].Bezeichnung");
    row("a NUL", "Sensoren", 2, name, QString(QChar(0)), "Sensoren[2].Bezeichnung");
    row("no name", "Sensoren", 2, name, QStringLiteral(" "), "Sensoren[2].Bezeichnung");
    row("a number as text", "Sensoren", 2, QStringLiteral("ID"), QStringLiteral("12"), "");
    row("no number", "Sensoren", 2, QStringLiteral("ID"), QStringLiteral("12a"), "Sensoren[2].ID");
    row("a number beyond 32 bits", "Geraete", 0, QStringLiteral("ID"), 3e9, "Geraete[0].ID");
    row("element 0", "Sensoren", 1, QStringLiteral("Anschluss"), 0, "Sensoren[1].Anschluss");
    row("a device that is gone", "Sensoren", 1, QStringLiteral("Geraet"), QStringLiteral("c"),
        "Sensoren[1].Geraet");
    row("a new sensor with a number of its own", "Sensoren", 2, QStringLiteral("neu"), true, "");
    row("a new sensor with a taken number", "Sensoren", 3, QStringLiteral("neu"), true,
        "Sensoren[3].ID");
    row("a limit with a comma", "Grenzwerte", 0, QStringLiteral("Minimum"), QStringLiteral("1,5"),
        "");
    row("a limit that is no number", "Grenzwerte", 0, QStringLiteral("Maximum"),
        QStringLiteral("viel"), "Grenzwerte[0].Maximum");
    row("a setting without a name", "Einstellungen", 0, QStringLiteral("Parameter"),
        QStringLiteral(""), "Einstellungen[0].Parameter");
    row("a users file the database does not name", "Einstellungen", 2, QStringLiteral("Parameter"),
        QStringLiteral("StatusZertifikat"), "Einstellungen[2].Wert");
}

void tst_EinrichtungForm::faults()
{
    QFETCH(QString, table);
    QFETCH(int, row);
    QFETCH(QString, column);
    QFETCH(QJsonValue, value);
    QFETCH(QString, fault);
    QJsonObject changed = form();
    changed.insert(QStringLiteral("Grenzwerte"),
                   QJsonArray{QJsonObject{{QStringLiteral("SensorNummer"), 7},
                                          {QStringLiteral("Minimum"), QJsonValue()},
                                          {QStringLiteral("Maximum"), 80}}});
    if (table == QLatin1String("Sensoren") && row == 3) {
        // A new sensor whose number 9 the sensor before has.
        set(changed, table, 3, QStringLiteral("ID"), 9);
        set(changed, table, 3, QStringLiteral("Geraet"), QStringLiteral("a"));
        set(changed, table, 3, QStringLiteral("Anschluss"), 2);
        set(changed, table, 3, QStringLiteral("Bezeichnung"), QStringLiteral("Neu"));
    }
    set(changed, table, row, column, value);
    const EinrichtungForm::Result result = EinrichtungForm::toDocument(changed, json(kCurrent));
    QStringList named;
    for (const EinrichtungForm::Fault &each : result.faults) {
        named << each.feld + QStringLiteral(": ") + each.text;
    }
    QCOMPARE(named.size(), fault.isEmpty() ? 0 : 1);
    if (fault.isEmpty()) {
        // Stored as given.
        const QJsonObject document = QJsonDocument::fromJson(result.document).object();
        const QJsonValue stored = document.value(table).toArray().at(row).toObject().value(column);
        if (column != QLatin1String("neu") && column != QLatin1String("ID")
            && !(table == QLatin1String("Grenzwerte"))) {
            QCOMPARE(stored, value);
        }
    } else {
        QVERIFY2(named.constFirst().startsWith(fault + QLatin1Char(':')),
                 qPrintable(named.join(QLatin1Char('\n'))));
    }
}

void tst_EinrichtungForm::positions()
{
    // The first device goes: the sensors of the second now name position 1, and a device added
    // at the end takes the next one, whatever the keys say.
    QJsonObject changed = form();
    QJsonArray geraete = changed.value(QStringLiteral("Geraete")).toArray();
    geraete.removeFirst();
    geraete.append(QJsonObject{{QStringLiteral("schluessel"), QStringLiteral("neu1")},
                               {QStringLiteral("ID"), 3},
                               {QStringLiteral("IP"), QStringLiteral("127.0.0.1:18083")},
                               {QStringLiteral("Bezeichnung"), QStringLiteral("Garten")}});
    changed.insert(QStringLiteral("Geraete"), geraete);
    QJsonArray sensoren = changed.value(QStringLiteral("Sensoren")).toArray();
    sensoren.removeFirst();
    sensoren.append(QJsonObject{{QStringLiteral("ID"), 10},
                                {QStringLiteral("Geraet"), QStringLiteral("neu1")},
                                {QStringLiteral("Anschluss"), 3},
                                {QStringLiteral("Bezeichnung"), QStringLiteral("Boden")},
                                {QStringLiteral("neu"), true}});
    changed.insert(QStringLiteral("Sensoren"), sensoren);
    const EinrichtungForm::Result result = EinrichtungForm::toDocument(changed, json(kCurrent));
    QVERIFY(result.faults.isEmpty());
    const QJsonObject document = QJsonDocument::fromJson(result.document).object();
    QList<int> positions;
    for (const QJsonValue &sensor : document.value(QStringLiteral("Sensoren")).toArray()) {
        positions << sensor.toObject().value(QStringLiteral("Geraet")).toInt();
    }
    QCOMPARE(positions, (QList<int>{1, 1, 2}));
    QCOMPARE(document.value(QStringLiteral("Geraete")).toArray().size(), 2);
}

void tst_EinrichtungForm::fileRowsKept()
{
    // The page shows the users file but cannot point it elsewhere.
    QJsonObject changed = form();
    set(changed, QStringLiteral("Einstellungen"), 1, QStringLiteral("Wert"),
        QStringLiteral("/etc/shadow"));
    const EinrichtungForm::Result result = EinrichtungForm::toDocument(changed, json(kCurrent));
    QVERIFY(result.faults.isEmpty());
    const QJsonObject document = QJsonDocument::fromJson(result.document).object();
    QCOMPARE(document.value(QStringLiteral("Einstellungen"))
                 .toArray()
                 .at(1)
                 .toObject()
                 .value(QStringLiteral("Wert")),
             QJsonValue(QStringLiteral("benutzer")));
}

void tst_EinrichtungForm::counts_data()
{
    QTest::addColumn<int>("devices");
    QTest::addColumn<int>("sensors");
    QTest::addColumn<QString>("fault");
    QTest::newRow("50 devices, 99 sensors") << 50 << 99 << QString();
    QTest::newRow("51 devices") << 51 << 1 << QStringLiteral("Geraete");
    QTest::newRow("100 sensors") << 1 << 100 << QStringLiteral("Sensoren");
}

void tst_EinrichtungForm::counts()
{
    QFETCH(int, devices);
    QFETCH(int, sensors);
    QFETCH(QString, fault);
    QJsonObject changed = form();
    QJsonArray geraete;
    for (int i = 0; i < devices; ++i) {
        geraete.append(
            QJsonObject{{QStringLiteral("schluessel"), QString::number(i)},
                        {QStringLiteral("ID"), i},
                        {QStringLiteral("IP"), QStringLiteral("127.0.0.1:%1").arg(i + 1)},
                        {QStringLiteral("Bezeichnung"), QStringLiteral("Gerät")}});
    }
    QJsonArray sensoren;
    for (int i = 0; i < sensors; ++i) {
        sensoren.append(QJsonObject{{QStringLiteral("ID"), i},
                                    {QStringLiteral("Geraet"), QStringLiteral("0")},
                                    {QStringLiteral("Anschluss"), 1},
                                    {QStringLiteral("Bezeichnung"), QStringLiteral("Sensor")},
                                    {QStringLiteral("neu"), true}});
    }
    changed.insert(QStringLiteral("Geraete"), geraete);
    changed.insert(QStringLiteral("Sensoren"), sensoren);
    const EinrichtungForm::Result result = EinrichtungForm::toDocument(changed, json(kCurrent));
    QCOMPARE(result.faults.size(), fault.isEmpty() ? 0 : 1);
    if (!fault.isEmpty()) {
        QCOMPARE(result.faults.constFirst().feld, fault);
    }
}

QTEST_MAIN(tst_EinrichtungForm)
#include "tst_einrichtungform.moc"
