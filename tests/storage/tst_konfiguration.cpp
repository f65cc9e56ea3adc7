#include "runtime/runtimeerror.h"
#include "storage/datenbankverbindung.h"
#include "storage/konfiguration.h"
#include "storage/registry.h"
#include "support/recordingview.h"
#include "support/tempdatabase.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

#include <algorithm>

// The connection and the tables read at start-up; the loaders' failures, with their messages, are
// in tst_startup's matrix.
class tst_Konfiguration : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void settings_data();
    void settings();
    void tablesAreLoadedAsTheyStand();
    void fullTablesFit();
    void closingReleasesTheFile();

private:
    std::unique_ptr<TempDatabase> m_database;
    std::unique_ptr<Registry> m_registry;
    RecordingView m_view;
};

void tst_Konfiguration::init()
{
    m_database = std::make_unique<TempDatabase>();
    m_registry = std::make_unique<Registry>();
    DatenbankOeffnen(*m_registry, m_view, m_database->path());
}

void tst_Konfiguration::settings_data()
{
    QTest::addColumn<QString>("rows");
    QTest::addColumn<QString>("expected"); // MessIntervall/Messungen/ParallelAbfrage
    const auto row = [](const char *name, const char *rows, const char *expected) {
        QTest::newRow(name) << rows << expected;
    };
    row("other parameters only: defaults", "('Anderes', 9)", "2/5/0");
    row("all set", "('MessIntervall', 7), ('Messungen', 3), ('ParallelAbfrage', 4)", "7/3/4");
    row("letter case differs", "('messintervall', 7), ('MESSUNGEN', 3), ('parallelabfrage', 9)",
        "2/5/0");
    row("leading or trailing blank", "(' MessIntervall', 7), ('Messungen ', 3)", "2/5/0");
    row("last row wins", "('Messungen', 3), ('Messungen', 9)", "2/9/0");
    row("zero and negative taken", "('MessIntervall', 0), ('Messungen', -5)", "0/-5/0");
    row("null Wert in other row skipped", "('Kommentar', NULL), ('Messungen', 1)", "2/1/0");
    row("null Parameter skipped", "(NULL, 8), ('MessIntervall', 3)", "3/5/0");
}

void tst_Konfiguration::settings()
{
    QFETCH(QString, rows);
    QFETCH(QString, expected);
    m_database->exec(QStringLiteral("DELETE FROM Einstellungen; INSERT INTO Einstellungen VALUES ")
                     + rows);
    EinstellungenLesen(*m_registry, m_view);
    QCOMPARE(QStringLiteral("%1/%2/%3")
                 .arg(m_registry->MessIntervall)
                 .arg(m_registry->Messungen)
                 .arg(m_registry->ParallelAbfrage),
             expected);
}

void tst_Konfiguration::tablesAreLoadedAsTheyStand()
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

void tst_Konfiguration::fullTablesFit()
{
    m_database->exec(QStringLiteral(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 99) "
        "INSERT INTO Geraete SELECT i, 'h', 'G' || i FROM n WHERE i <= 50;"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 99) "
        "INSERT INTO Sensoren SELECT i, 1, 1, 'S' || i FROM n"));
    GeraeteLesen(*m_registry, m_view);
    SensorenLesen(*m_registry, m_view);
    QCOMPARE(m_registry->AnzahlGeraete, 50);
    QCOMPARE(m_registry->GeraetName[50], QStringLiteral("G50"));
    QCOMPARE(m_registry->AnzahlSensoren, 99);
    QCOMPARE(m_registry->SensorName[99], QStringLiteral("S99"));
}

void tst_Konfiguration::closingReleasesTheFile()
{
    // Whether this process has the file open, as the operating system sees it.
    const auto processHolds = [](const QString &path) {
        const QString target = QFileInfo(path).canonicalFilePath();
        const QDir fds(QStringLiteral("/proc/self/fd"));
        const QStringList entries =
            fds.entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files);
        return std::any_of(entries.cbegin(), entries.cend(), [&](const QString &fd) {
            return QFileInfo(fds.filePath(fd)).symLinkTarget() == target;
        });
    };
    QVERIFY(processHolds(m_database->path()));
    m_view.timerEvents.clear();
    DatenbankSchliessen(*m_registry, m_view);
    QVERIFY(!m_registry->Datenbank);
    QVERIFY(!processHolds(m_database->path()));
    // The timer goes off before the close, so no tick can meet a closed database.
    QCOMPARE(m_view.timerEvents, QStringList{QStringLiteral("off")});
}

QTEST_GUILESS_MAIN(tst_Konfiguration)
#include "tst_konfiguration.moc"
