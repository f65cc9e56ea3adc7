#include "runtime/runtimeerror.h"
#include "storage/datenbankverbindung.h"
#include "storage/konfiguration.h"
#include "storage/registry.h"
#include "support/recordingview.h"
#include "support/tempdatabase.h"

#include <QTest>

class tst_Konfiguration : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { m_registry = std::make_unique<Registry>(); }
    void settings_data();
    void settings();
    void devicesFollowTableOrder();
    void sensorsAreLoadedAsTheyStand();
    void capacity_data();
    void capacity();

private:
    // Opens the file and runs one loader; returns the error number, 0 for none.
    int load(const TempDatabase &database, void (*loader)(Registry &, MainView &));
    std::unique_ptr<Registry> m_registry;
    RecordingView m_view;
};

int tst_Konfiguration::load(const TempDatabase &database, void (*loader)(Registry &, MainView &))
{
    try {
        DatenbankOeffnen(*m_registry, m_view, database.path());
        loader(*m_registry, m_view);
    } catch (const RuntimeError &error) {
        return error.number();
    }
    return 0;
}

void tst_Konfiguration::settings_data()
{
    QTest::addColumn<QString>("rows");
    // MessIntervall/Messungen/ParallelAbfrage
    QTest::addColumn<QString>("expected");
    QTest::newRow("other parameters only: defaults") << "('Anderes', 9)"
                                                     << "2/5/0";
    QTest::newRow("both set") << "('MessIntervall', 7), ('Messungen', 3)"
                              << "7/3/0";
    QTest::newRow("letter case differs") << "('messintervall', 7), ('MESSUNGEN', 3)"
                                         << "2/5/0";
    QTest::newRow("leading or trailing blank") << "(' MessIntervall', 7), ('Messungen ', 3)"
                                               << "2/5/0";
    QTest::newRow("last row wins") << "('Messungen', 3), ('Messungen', 9)"
                                   << "2/9/0";
    QTest::newRow("2.5 and 3.5 to even") << "('MessIntervall', 2.5), ('Messungen', 3.5)"
                                         << "2/4/0";
    QTest::newRow("text values") << "('MessIntervall', '10'), ('Messungen', ' 4 ')"
                                 << "10/4/0";
    QTest::newRow("zero and negative taken") << "('MessIntervall', 0), ('Messungen', -5)"
                                             << "0/-5/0";
    QTest::newRow("null Wert in other row skipped") << "('Kommentar', NULL), ('Messungen', 1)"
                                                    << "2/1/0";
    QTest::newRow("parallel, exact name only") << "('ParallelAbfrage', 3), ('parallelabfrage', 9)"
                                               << "2/5/3";
    QTest::newRow("parallel, last row wins") << "('ParallelAbfrage', 2.5), ('ParallelAbfrage', -1)"
                                             << "2/5/-1";
    QTest::newRow("null Parameter skipped") << "(NULL, 8), ('MessIntervall', 3)"
                                            << "3/5/0";
}

void tst_Konfiguration::settings()
{
    QFETCH(QString, rows);
    QFETCH(QString, expected);
    TempDatabase database;
    // Wert without a declared type keeps texts as texts and numbers as numbers.
    database.exec(
        QStringLiteral("DROP TABLE Einstellungen; CREATE TABLE Einstellungen (Parameter, Wert);"
                       "INSERT INTO Einstellungen VALUES ")
        + rows);
    QCOMPARE(load(database, EinstellungenLesen), 0);
    QCOMPARE(QStringLiteral("%1/%2/%3")
                 .arg(m_registry->MessIntervall)
                 .arg(m_registry->Messungen)
                 .arg(m_registry->ParallelAbfrage),
             expected);
}

void tst_Konfiguration::devicesFollowTableOrder()
{
    TempDatabase database;
    database.exec(QStringLiteral(
        "INSERT INTO Geraete VALUES (9, 'x', 'weg'), (7, '10.0.0.7', 'Keller'), (3, '10.0.0.3', "
        "42);"
        "DELETE FROM Geraete WHERE ID = 9; INSERT INTO Geraete VALUES (1, '10.0.0.1', 'Dach')"));
    QCOMPARE(load(database, GeraeteLesen), 0);
    QCOMPARE(m_registry->AnzahlGeraete, 3);
    QCOMPARE(m_registry->GeraetID[1], 7);
    QCOMPARE(m_registry->GeraetID[2], 3);
    QCOMPARE(m_registry->GeraetIP[2], QStringLiteral("10.0.0.3"));
    QCOMPARE(m_registry->GeraetName[2], QStringLiteral("42"));
    QCOMPARE(m_registry->GeraetName[3], QStringLiteral("Dach"));
    QCOMPARE(m_registry->GeraetID[0], 0);
    QVERIFY(m_registry->GeraetName[4].isEmpty());
}

void tst_Konfiguration::sensorsAreLoadedAsTheyStand()
{
    TempDatabase database;
    database.exec(
        QStringLiteral("INSERT INTO Sensoren VALUES (5, 2, 1, 'Vorlauf'), (5, 99, -2, 12.5)"));
    QCOMPARE(load(database, SensorenLesen), 0);
    QCOMPARE(m_registry->AnzahlSensoren, 2);
    QCOMPARE(m_registry->SensorID[1], 5);
    QCOMPARE(m_registry->SensorGeraet[1], 2);
    QCOMPARE(m_registry->SensorName[1], QStringLiteral("Vorlauf"));
    QCOMPARE(m_registry->SensorID[2], 5);
    QCOMPARE(m_registry->SensorGeraet[2], 99);
    QCOMPARE(m_registry->SensorAnschluss[2], -2);
    QCOMPARE(m_registry->SensorName[2], QStringLiteral("12.5"));
}

void tst_Konfiguration::capacity_data()
{
    QTest::addColumn<bool>("sensors");
    QTest::addColumn<int>("rows");
    QTest::addColumn<QString>("lastId");
    QTest::addColumn<int>("error");
    QTest::newRow("50 devices") << false << 50 << "50" << 0;
    QTest::newRow("51 devices") << false << 51 << "51" << ErrorNumber::SubscriptOutOfRange;
    // The slot is checked before the value is converted.
    QTest::newRow("51st device without ID")
        << false << 51 << "NULL" << ErrorNumber::SubscriptOutOfRange;
    QTest::newRow("99 sensors") << true << 99 << "99" << 0;
    QTest::newRow("100 sensors") << true << 100 << "100" << ErrorNumber::SubscriptOutOfRange;
    QTest::newRow("100th sensor with text ID")
        << true << 100 << "'abc'" << ErrorNumber::SubscriptOutOfRange;
}

void tst_Konfiguration::capacity()
{
    QFETCH(bool, sensors);
    QFETCH(int, rows);
    QFETCH(QString, lastId);
    QFETCH(int, error);
    TempDatabase database;
    QStringList values;
    for (int i = 1; i <= rows; ++i) {
        const QString id = i == rows ? lastId : QString::number(i);
        values << (sensors ? QStringLiteral("(%1, 1, 1, 'S%2')")
                           : QStringLiteral("(%1, 'h', 'G%2')"))
                      .arg(id)
                      .arg(i);
    }
    const QString table = sensors ? QStringLiteral("Sensoren") : QStringLiteral("Geraete");
    database.exec(QStringLiteral("CREATE TABLE Lose AS SELECT * FROM %1 WHERE 0; DROP TABLE %1;"
                                 "ALTER TABLE Lose RENAME TO %1; INSERT INTO %1 VALUES ")
                      .arg(table)
                  + values.join(QLatin1Char(',')));
    QCOMPARE(load(database, sensors ? SensorenLesen : GeraeteLesen), error);
    if (error == 0) {
        QCOMPARE(sensors ? m_registry->AnzahlSensoren : m_registry->AnzahlGeraete, rows);
        QCOMPARE(sensors ? m_registry->SensorName[rows] : m_registry->GeraetName[rows],
                 (sensors ? QStringLiteral("S%1") : QStringLiteral("G%1")).arg(rows));
    }
}

QTEST_GUILESS_MAIN(tst_Konfiguration)
#include "tst_konfiguration.moc"
