#include "storage/datenbankverbindung.h"
#include "storage/konfiguration.h"
#include "storage/mittelwerte.h"
#include "storage/pendingrows.h"
#include "storage/recoveryfile.h"
#include "storage/registry.h"
#include "support/recordingview.h"
#include "support/tempdatabase.h"

#include <QDateTime>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

// The database file from the program's side: the tables read at start-up, the averages stored,
// and the rows that wait when a store fails. The loaders' failures, with their messages, are in
// tst_startup's matrix.
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
    void failedStoresWaitForTheNext_data();
    void failedStoresWaitForTheNext();
    void pendingRowsKeepTheNewestAndEveryDigit();

private:
    void addSensor(qint32 id, const QList<double> &readings);

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

void tst_Datenbank::addSensor(qint32 id, const QList<double> &readings)
{
    const qint32 k = ++m_registry->AnzahlSensoren;
    m_registry->SensorID[k] = id;
    for (double reading : readings) {
        m_registry->SensorZaehler[k] += 1;
        m_registry->SensorSumme[k] += reading;
    }
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
    EinstellungenLesen(*m_registry, m_view);
    QCOMPARE(QStringLiteral("%1/%2/%3")
                     .arg(m_registry->MessIntervall)
                     .arg(m_registry->Messungen)
                     .arg(m_registry->ParallelAbfrage)
                 + (m_registry->AlarmEingestellt ? QStringLiteral(" Alarm") : QString()),
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
        addSensor(ids.at(i), readings.at(i));
    }
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    MittelwerteSpeichern(*m_registry);
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);
    QCOMPARE(storedValues(*m_database), stored);
    for (qint32 k = 0; k <= m_registry->AnzahlSensoren; ++k) {
        QCOMPARE(m_registry->SensorZaehler[k] + m_registry->SensorSumme[k], 0.0);
    }
    for (const QVariantList &row : m_database->rows(QStringLiteral("SELECT Zeit FROM Werte"))) {
        const QString zeit = row.at(0).toString();
        const QDateTime stamp = QDateTime::fromString(zeit, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QVERIFY2(stamp.isValid() && stamp >= before && stamp <= after, qPrintable(zeit));
    }
}

void tst_Datenbank::failedStoresWaitForTheNext_data()
{
    // A fault between two stores: SQL run once before them, and what another program holds open
    // on the file until the repair.
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("held");
    QTest::addColumn<QString>("repair");
    QTest::addColumn<QString>("reason");
    const auto row = [](const char *name, const char *fault, const QStringList &held,
                        const char *repair, const char *reason) {
        QTest::newRow(name) << fault << held << repair << reason;
    };
    // Sensor 2 is refused after sensor 1 went in: the store's first row must not stay either.
    row("second row refused",
        "DROP TABLE Werte; CREATE TABLE Werte (SensorNummer CHECK (SensorNummer <> 2), Zeit, "
        "MessWert)",
        {},
        "ALTER TABLE Werte RENAME TO Alt; CREATE TABLE Werte (SensorNummer, Zeit, MessWert);"
        "INSERT INTO Werte SELECT * FROM Alt",
        "CHECK constraint failed");
    row("Werte renamed away and back", "ALTER TABLE Werte RENAME TO Weg", {},
        "ALTER TABLE Weg RENAME TO Werte", "no such table: Werte");
    // A reader keeps the commit from getting its lock; the transaction must not stay open.
    row("another program reading", "", {"BEGIN", "SELECT count(*) FROM Werte"}, "",
        "database is locked");
}

void tst_Datenbank::failedStoresWaitForTheNext()
{
    QFETCH(QString, fault);
    QFETCH(QStringList, held);
    QFETCH(QString, repair);
    QFETCH(QString, reason);
    if (!fault.isEmpty()) {
        m_database->exec(fault);
    }
    const QString peerName = QStringLiteral("anderes Programm");
    QSqlDatabase peer = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), peerName);
    peer.setDatabaseName(m_database->path());
    QVERIFY(peer.open());
    QSqlQuery query(peer);
    for (const QString &statement : held) {
        QVERIFY(query.exec(statement));
    }
    addSensor(1, {1});
    addSensor(2, {2});
    addSensor(3, {});
    // Two stores fail; each still clears the accumulators, and nothing of either is written.
    for (const double reading : {10.0, 20.0}) {
        MittelwerteSpeichern(*m_registry);
        for (qint32 k = 1; k <= 3; ++k) {
            QCOMPARE(m_registry->SensorZaehler[k] + m_registry->SensorSumme[k], 0.0);
        }
        QVERIFY2(m_registry->pendingRows.failure().contains(reason),
                 qPrintable(m_registry->pendingRows.failure()));
        m_registry->SensorZaehler[1] = 1;
        m_registry->SensorSumme[1] = reading;
    }
    QCOMPARE(m_registry->pendingRows.size(), 3);
    query.finish();
    query.exec(QStringLiteral("ROLLBACK"));
    peer.close();
    peer = QSqlDatabase();
    QSqlDatabase::removeDatabase(peerName);
    if (!repair.isEmpty()) {
        m_database->exec(repair);
    }
    QCOMPARE(storedValues(*m_database), QStringList{});
    MittelwerteSpeichern(*m_registry);
    QVERIFY(m_registry->pendingRows.isEmpty());
    // In the order of the stores; the rows of one store share its time stamp.
    QCOMPARE(storedValues(*m_database), (QStringList{"1=1", "2=2", "1=10", "1=20"}));
    const auto zeit = m_database->rows(QStringLiteral("SELECT Zeit FROM Werte ORDER BY rowid"));
    QCOMPARE(zeit.at(0), zeit.at(1));
    QVERIFY(zeit.at(1).at(0).toString() <= zeit.at(2).at(0).toString());
}

// Bounded in memory, the oldest dropped and counted; over a restart in the recovery file, every
// digit and second kept. Malformed files are in tst_startup's matrix.
void tst_Datenbank::pendingRowsKeepTheNewestAndEveryDigit()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Messwerte.mdb.ausstehend"));
    const auto written = [&](const PendingRows &rows) {
        writeRecoveryFile(path, rows);
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    PendingRows capped(3);
    QVERIFY(!readRecoveryFile(path, capped));
    const QDateTime zeit(QDate(2026, 12, 5), QTime(8, 4, 9));
    for (int sensor = 1; sensor <= 5; ++sensor) {
        capped.append(sensor, zeit.addSecs(sensor), sensor / 2.0);
    }
    QCOMPARE(written(capped), "SensorNummer;Zeit;MessWert\n3;2026-12-05 08:04:12;1.5\n"
                              "4;2026-12-05 08:04:13;2\n5;2026-12-05 08:04:14;2.5\n");
    QCOMPARE(capped.dropped(), 2);
    // Read back and written again (which replaces the file, never appends to it): the same text.
    PendingRows rows;
    rows.append(-4, QDateTime(QDate(2026, 3, 29), QTime(1, 59, 59)), 0.1 + 0.2);
    rows.append(7, QDateTime(QDate(2026, 10, 25), QTime(2, 30, 0)), -1e300);
    const QString text = written(rows);
    PendingRows back;
    QVERIFY(readRecoveryFile(path, back));
    QCOMPARE(written(back), text);
    QVERIFY2(text.contains(QLatin1String("-4;2026-03-29 01:59:59;0.30000000000000004")),
             qPrintable(text));
}

QTEST_GUILESS_MAIN(tst_Datenbank)
#include "tst_datenbank.moc"
