#include "runtime/runtimeerror.h"
#include "storage/datenbankverbindung.h"
#include "storage/konfiguration.h"
#include "storage/messtakt.h"
#include "storage/mittelwerte.h"
#include "storage/pendingrows.h"
#include "storage/postgresbackend.h"
#include "storage/registry.h"
#include "support/recordingview.h"
#include "support/tempdatabase.h"

#include <QTest>

// The database file from the program's side: the tables read at start-up, the averages stored and
// the tick's rhythm of passes and stores. The loaders' failures, with their messages, are in
// tst_startup's matrix; the rows that wait in tst_pendingrows.
class tst_Datenbank : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void settings_data();
    void settings();
    void tablesAreLoadedAsTheyStand();
    void averages_data();
    void averages();
    void rhythm_data();
    void rhythm();
    void databaseNames_data();
    void databaseNames();

private:
    std::unique_ptr<TempDatabase> m_database;
    std::unique_ptr<Registry> m_registry;
    RecordingView m_view;
};

void tst_Datenbank::init()
{
    m_database = std::make_unique<TempDatabase>();
    m_registry = std::make_unique<Registry>();
    DatenbankOeffnen(*m_registry, m_view, m_database->path());
    m_registry->Datenbank->started();
}

void tst_Datenbank::cleanup()
{
    m_registry.reset();
}

void tst_Datenbank::settings_data()
{
    QTest::addColumn<QString>("rows");
    // MessIntervall/Messungen/ParallelAbfrage, and " Alarm" when an Alarm row switches alerts on.
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, const char *rows, const char *expected) {
        QTest::newRow(name) << rows << expected;
    };
    row("other parameters only: defaults", "('Anderes', 9)", "2/5/0");
    row("all set", "('MessIntervall', 7), ('Messungen', 3), ('ParallelAbfrage', 4)", "7/3/4");
    row("letter case differs", "('messintervall', 7), ('MESSUNGEN', 3), ('parallelabfrage', 9)",
        "2/5/0");
    row("last row wins", "('Messungen', 3), ('Messungen', 9)", "2/9/0");
    row("zero and negative taken", "('MessIntervall', 0), ('Messungen', -5)", "0/-5/0");
    row("null Parameter skipped", "(NULL, 8), ('MessIntervall', 3)", "3/5/0");
    row("an Alarm row, even at its default", "('AlarmNachFehlern', 5)", "2/5/0 Alarm");
    row("Alarm rows match exactly too", "('alarmwebhook', 'x'), ('AlarmFoo', 1)", "2/5/0");
}

void tst_Datenbank::settings()
{
    QFETCH(QString, rows);
    QFETCH(QString, expected);
    m_database->exec(QStringLiteral("DELETE FROM Einstellungen; INSERT INTO Einstellungen VALUES ")
                     + rows);
    // Options are read the same way, each as its part declares it.
    const SettingRows options =
        EinstellungenLesen(*m_registry, m_view,
                           {{QStringLiteral("ParallelAbfrage"), SettingRows::Kind::Number},
                            {QStringLiteral("AlarmNachFehlern"), SettingRows::Kind::Number},
                            {QStringLiteral("AlarmWebhook"), SettingRows::Kind::Text}});
    QCOMPARE(QStringLiteral("%1/%2/%3")
                     .arg(m_registry->MessIntervall)
                     .arg(m_registry->Messungen)
                     .arg(options.number(QStringLiteral("ParallelAbfrage"), 0))
                 + (options.anyStartingWith(QStringLiteral("Alarm")) ? QStringLiteral(" Alarm")
                                                                     : QString()),
             expected);
}

void tst_Datenbank::tablesAreLoadedAsTheyStand()
{
    // Devices by their position in the table (a deleted row leaves no gap), sensors unchecked:
    // the same ID twice, a device or connection that does not exist.
    m_database->exec(QStringLiteral(
        "INSERT INTO Geraete VALUES (9, 'x', 'weg'), (7, '10.0.0.7', 'Keller'), (3, 'h:8', 42);"
        "DELETE FROM Geraete WHERE ID = 9; INSERT INTO Geraete VALUES (1, '10.0.0.1', 'Dach');"
        "INSERT INTO Sensoren VALUES (5, 2, 1, 'Vorlauf'), (5, 99, -2, 12.5)"));
    GeraeteLesen(*m_registry, m_view);
    SensorenLesen(*m_registry, m_view);
    QStringList loaded;
    for (int k = 0; k <= 4; ++k) {
        loaded << QStringLiteral("%1 %2 %3")
                      .arg(m_registry->GeraetID[k])
                      .arg(m_registry->GeraetIP[k], m_registry->GeraetName[k]);
    }
    for (int k = 1; k <= 2; ++k) {
        loaded << QStringLiteral("%1 %2 %3 %4")
                      .arg(m_registry->SensorID[k])
                      .arg(m_registry->SensorGeraet[k])
                      .arg(m_registry->SensorAnschluss[k])
                      .arg(m_registry->SensorName[k]);
    }
    QCOMPARE(m_registry->AnzahlGeraete, 3);
    QCOMPARE(m_registry->AnzahlSensoren, 2);
    QCOMPARE(loaded, (QStringList{"0  ", "7 10.0.0.7 Keller", "3 h:8 42", "1 10.0.0.1 Dach", "0  ",
                                  "5 2 1 Vorlauf", "5 99 -2 12.5"}));
}

void tst_Datenbank::averages_data()
{
    QTest::addColumn<QList<int>>("ids");
    QTest::addColumn<QList<QList<double>>>("readings");
    QTest::addColumn<QStringList>("stored");
    const auto row = [](const char *name, const QList<int> &ids,
                        const QList<QList<double>> &readings, const QStringList &stored) {
        QTest::newRow(name) << ids << readings << stored;
    };
    row("no readings, no rows", {1, 2}, {{}, {}}, {});
    row("zeros store zero", {3}, {{0, 0, 0}}, {"3=0"});
    row("mean to 15 digits", {1}, {{1, 2, 4}}, {"1=2.3333333333333299"});
    row("same ID twice, table order", {5, 6, 5}, {{10}, {}, {20, 30}}, {"5=10", "5=25"});
}

void tst_Datenbank::averages()
{
    QFETCH(QList<int>, ids);
    QFETCH(QList<QList<double>>, readings);
    QFETCH(QStringList, stored);
    for (int i = 0; i < ids.size(); ++i) {
        const qint32 k = ++m_registry->AnzahlSensoren;
        m_registry->SensorID[k] = ids.at(i);
        for (double reading : readings.at(i)) {
            m_registry->SensorZaehler[k] += 1;
            m_registry->SensorSumme[k] += reading;
        }
    }
    PendingRows pending;
    pending.setDatabaseName(m_database->path());
    pending.open();
    MittelwerteSpeichern(*m_registry, pending);
    QVERIFY(pending.write());
    QCOMPARE(storedValues(*m_database), stored);
}

// The tick is driven directly: the rhythm is a matter of counts, not of the clock. One token per
// tick: "Cn" shows "Noch n Sekunden...", "P" polls, "PS" polls and stores.
void tst_Datenbank::rhythm_data()
{
    QTest::addColumn<int>("messIntervall");
    QTest::addColumn<int>("messungen");
    QTest::addColumn<QString>("ticks");
    const auto row = [](const char *name, int messIntervall, int messungen, const char *ticks) {
        QTest::newRow(name) << messIntervall << messungen << ticks;
    };
    row("defaults 2 and 5", 2, 5, "C1 P C1 P C1 P C1 P C1 PS C1 P");
    row("interval 3", 3, 2, "C2 C1 P C2 C1 PS C2");
    row("interval 1", 1, 3, "P P PS P");
    row("interval -5", -5, 3, "P P PS P");
    row("12 seconds", 13, 1, "C12 C11 C10");
    row("store every pass", 2, 1, "C1 PS C1 PS");
    row("stores -5", 1, -5, "PS PS PS");
}

void tst_Datenbank::rhythm()
{
    QFETCH(int, messIntervall);
    QFETCH(int, messungen);
    QFETCH(QString, ticks);
    Registry &registry = *m_registry;
    registry.MessIntervall = messIntervall;
    registry.Messungen = messungen;
    registry.AnzahlSensoren = 1;
    bool polled = false;
    PendingRows pending;
    MessTakt takt(registry, pending, m_view, [&] {
        // The timer stays off for the whole pass.
        QCOMPARE(m_view.timerEvents, QStringList{QStringLiteral("off")});
        polled = true;
        registry.SensorZaehler[1] += 1;
    });
    QStringList seen;
    for (int tick = 0; tick <= ticks.count(QLatin1Char(' ')); ++tick) {
        m_view.statuses.clear();
        m_view.timerEvents.clear();
        polled = false;
        takt.run();
        QCOMPARE(m_view.timerEvents, (QStringList{"off", "on"}));
        if (polled) {
            // A store takes the readings.
            seen << (registry.SensorZaehler[1] == 0.0 ? QStringLiteral("PS") : QStringLiteral("P"));
            QVERIFY(m_view.statuses.isEmpty());
        } else {
            QCOMPARE(m_view.statuses.size(), 1);
            seen << m_view.statuses.first()
                        .replace(QLatin1String("Noch "), QLatin1String("C"))
                        .remove(QLatin1String(" Sekunden..."));
        }
    }
    QCOMPARE(seen.join(QLatin1Char(' ')), ticks);
}

// What --database names, as the server's driver is handed it (libpq's keyword='value' pairs, after
// the program's own time-outs), or why it is refused ("!" and part of the message).
void tst_Datenbank::databaseNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, const char *expected) {
        QTest::newRow(name) << QString::fromUtf8(name) << QString::fromUtf8(expected);
    };
    row("postgresql://logger@[::1]:5433/messwerte",
        "host='::1' port='5433' user='logger' dbname='messwerte'");
    row("postgresql://a.example,[fe80::1]:5433/db",
        "host='a.example,fe80::1' port=',5433' dbname='db'");
    row("postgres://o%27hara@%2Frun%2Fpostgresql/mess%20werte",
        "host='/run/postgresql' user='o\\'hara' dbname='mess werte'");
    row("postgresql:///db?host=/tmp&options=-csearch_path%3Dnord",
        "dbname='db' host='/tmp' options='-csearch_path=nord'");
    row("postgresql://h/db?options=-ca%3Bb", "!ein ';' im Wert von 'options' ist nicht möglich");
    row("postgresql://u:geheim@h/db", "!'postgresql://u:***@h/db' enthält ein Passwort");
    row("postgresql://h/db?sslmode=require&password=geheim",
        "!'postgresql://h/db?sslmode=require&password=***' enthält ein Passwort");
    row("postgresql://[::1/db", "!']' fehlt nach der IPv6-Adresse");
    row("odbc:DRIVER={PostgreSQL};Server=h;pwd=geheim",
        "!'odbc:DRIVER={PostgreSQL};Server=h;pwd=***' enthält ein Passwort");
    row("odbc:DRIVER={Treiber; PWD=im Namen};Server=h", "ODBC");
    row("odbc:", "!Nach 'odbc:' fehlt der Name");
}

void tst_Datenbank::databaseNames()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    const QString timeouts =
        QStringLiteral("connect_timeout='10' keepalives_idle='30' tcp_user_timeout='30000' ");
    QString given;
    try {
        const std::unique_ptr<DbBackend> backend = DbBackend::forName(name);
        const auto *server = dynamic_cast<const PostgresBackend *>(backend.get());
        given = server == nullptr ? QStringLiteral("ODBC") : server->connectOptions();
        QVERIFY2(server == nullptr || given.startsWith(timeouts), qPrintable(given));
        given.remove(0, server == nullptr ? 0 : timeouts.size());
    } catch (const RuntimeError &error) {
        given = QLatin1Char('!') + error.description();
        QVERIFY2(given.contains(expected.mid(1)), qPrintable(given));
        QVERIFY(!given.contains(QLatin1String("geheim")));
        return;
    }
    QCOMPARE(given, expected);
}

QTEST_GUILESS_MAIN(tst_Datenbank)
#include "tst_datenbank.moc"
