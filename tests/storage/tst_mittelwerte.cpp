#include "storage/datenbankverbindung.h"
#include "storage/mittelwerte.h"
#include "storage/registry.h"
#include "support/recordingview.h"
#include "support/tempdatabase.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

class tst_Mittelwerte : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void statement_data();
    void statement();
    void averages_data();
    void averages();
    void failedStoresWaitForTheNext_data();
    void failedStoresWaitForTheNext();
    void rowsKeepTheTimeOfTheirStore();

private:
    void addSensor(qint32 id, const QList<double> &readings);

    std::unique_ptr<TempDatabase> m_database;
    Registry m_registry;
    RecordingView m_view;
};

void tst_Mittelwerte::init()
{
    m_database = std::make_unique<TempDatabase>();
    m_registry.AnzahlSensoren = 0;
    for (qint32 i = 0; i <= Registry::kMaxSensoren; ++i) {
        m_registry.SensorZaehler[i] = 0;
        m_registry.SensorSumme[i] = 0;
    }
    DatenbankOeffnen(m_registry, m_view, m_database->path());
}

void tst_Mittelwerte::cleanup()
{
    m_registry.Datenbank.reset();
    m_registry.pendingRows = PendingRows();
}

void tst_Mittelwerte::addSensor(qint32 id, const QList<double> &readings)
{
    const qint32 k = ++m_registry.AnzahlSensoren;
    m_registry.SensorID[k] = id;
    for (double reading : readings) {
        m_registry.SensorZaehler[k] += 1;
        m_registry.SensorSumme[k] += reading;
    }
}

void tst_Mittelwerte::statement_data()
{
    QTest::addColumn<int>("sensor");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("expected");
    const QString head = QStringLiteral("INSERT INTO Werte (SensorNummer,Zeit,MessWert) VALUES (");
    QTest::newRow("positive") << 7 << 21.5 << head + "7,'2026-12-05 08:04:09', 21.5)";
    QTest::newRow("negative value") << 7 << -3.25 << head + "7,'2026-12-05 08:04:09',-3.25)";
    QTest::newRow("negative sensor, zero") << -4 << 0.0 << head + "-4,'2026-12-05 08:04:09', 0)";
    QTest::newRow("below one") << 12 << 0.25 << head + "12,'2026-12-05 08:04:09', .25)";
}

void tst_Mittelwerte::statement()
{
    QFETCH(int, sensor);
    QFETCH(double, value);
    QFETCH(QString, expected);
    const QDateTime when(QDate(2026, 12, 5), QTime(8, 4, 9));
    QCOMPARE(insertStatement(sensor, value, when), expected);
}

void tst_Mittelwerte::averages_data()
{
    QTest::addColumn<QList<int>>("ids");
    QTest::addColumn<QList<QList<double>>>("readings");
    QTest::addColumn<QStringList>("stored");
    QTest::newRow("no readings, no rows")
        << QList<int>{1, 2} << QList<QList<double>>{{}, {}} << QStringList{};
    QTest::newRow("one reading stores itself")
        << QList<int>{7} << QList<QList<double>>{{21.5}} << QStringList{"7=21.5"};
    QTest::newRow("zeros store zero")
        << QList<int>{3} << QList<QList<double>>{{0, 0, 0}} << QStringList{"3=0"};
    QTest::newRow("mean to 15 digits")
        << QList<int>{1} << QList<QList<double>>{{1, 2, 4}} << QStringList{"1=2.3333333333333299"};
    QTest::newRow("negative sensor number")
        << QList<int>{-4} << QList<QList<double>>{{-1, -2}} << QStringList{"-4=-1.5"};
    QTest::newRow("same ID twice, rows in table order")
        << QList<int>{5, 6, 5} << QList<QList<double>>{{10}, {}, {20, 30}}
        << QStringList{"5=10", "5=25"};
}

void tst_Mittelwerte::averages()
{
    QFETCH(QList<int>, ids);
    QFETCH(QList<QList<double>>, readings);
    QFETCH(QStringList, stored);
    for (int i = 0; i < ids.size(); ++i) {
        addSensor(ids.at(i), readings.at(i));
    }
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    MittelwerteSpeichern(m_registry);
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);
    QCOMPARE(storedValues(*m_database), stored);
    for (qint32 k = 0; k <= m_registry.AnzahlSensoren; ++k) {
        QCOMPARE(m_registry.SensorZaehler[k], 0.0);
        QCOMPARE(m_registry.SensorSumme[k], 0.0);
    }
    const QRegularExpression form(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"));
    for (const QVariantList &row : m_database->rows(QStringLiteral("SELECT Zeit FROM Werte"))) {
        const QString zeit = row.at(0).toString();
        QVERIFY2(form.match(zeit).hasMatch(), qPrintable(zeit));
        const QDateTime stamp = QDateTime::fromString(zeit, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QVERIFY(stamp >= before.addMSecs(-before.time().msec()) && stamp <= after);
    }
}

void tst_Mittelwerte::failedStoresWaitForTheNext_data()
{
    // A fault of the database between two stores; "lock" is another program's exclusive lock,
    // "close" a run without an open database.
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("repair");
    QTest::addColumn<QString>("reason");
    QTest::newRow("statement refused")
        << "CREATE TRIGGER refuse BEFORE INSERT ON Werte WHEN NEW.SensorNummer = 2 "
           "BEGIN SELECT RAISE(ABORT, 'abgelehnt'); END"
        << "DROP TRIGGER refuse"
        << "abgelehnt";
    QTest::newRow("Werte renamed away and back") << "ALTER TABLE Werte RENAME TO Weg"
                                                 << "ALTER TABLE Weg RENAME TO Werte"
                                                 << "no such table: Werte";
    QTest::newRow("locked by another program") << "lock"
                                               << ""
                                               << "database is locked";
    QTest::newRow("no database") << "close"
                                 << ""
                                 << "keine Datenbank offen";
}

void tst_Mittelwerte::failedStoresWaitForTheNext()
{
    QFETCH(QString, fault);
    QFETCH(QString, repair);
    QFETCH(QString, reason);
    const QString peerName = QStringLiteral("anderes Programm");
    if (fault == QLatin1String("lock")) {
        QSqlDatabase peer = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), peerName);
        peer.setDatabaseName(m_database->path());
        QVERIFY(peer.open());
        QVERIFY(QSqlQuery(peer).exec(QStringLiteral("BEGIN EXCLUSIVE")));
    } else if (fault == QLatin1String("close")) {
        m_registry.Datenbank.reset();
    } else {
        m_database->execOne(fault);
    }
    addSensor(1, {1});
    addSensor(2, {2});
    addSensor(3, {});
    // Two stores fail; each still clears the accumulators, and nothing of either is written.
    for (const double reading : {10.0, 20.0}) {
        MittelwerteSpeichern(m_registry);
        for (qint32 k = 1; k <= 3; ++k) {
            QCOMPARE(m_registry.SensorZaehler[k], 0.0);
            QCOMPARE(m_registry.SensorSumme[k], 0.0);
        }
        QVERIFY2(m_registry.pendingRows.failure().contains(reason),
                 qPrintable(m_registry.pendingRows.failure()));
        m_registry.SensorZaehler[1] = 1;
        m_registry.SensorSumme[1] = reading;
    }
    QCOMPARE(m_registry.pendingRows.size(), 3);
    if (fault == QLatin1String("lock")) {
        QSqlQuery(QSqlDatabase::database(peerName)).exec(QStringLiteral("ROLLBACK"));
        QSqlDatabase::database(peerName).close();
        QSqlDatabase::removeDatabase(peerName);
    } else if (fault == QLatin1String("close")) {
        DatenbankOeffnen(m_registry, m_view, m_database->path());
    } else {
        m_database->execOne(repair);
    }
    QCOMPARE(storedValues(*m_database), QStringList{});
    MittelwerteSpeichern(m_registry);
    QVERIFY(m_registry.pendingRows.isEmpty());
    // In the order of the stores; the rows of one store share its time stamp.
    QCOMPARE(storedValues(*m_database), (QStringList{"1=1", "2=2", "1=10", "1=20"}));
    const auto zeit = m_database->rows(QStringLiteral("SELECT Zeit FROM Werte ORDER BY rowid"));
    QCOMPARE(zeit.at(0), zeit.at(1));
    QVERIFY(zeit.at(1).at(0).toString() <= zeit.at(2).at(0).toString());
}

void tst_Mittelwerte::rowsKeepTheTimeOfTheirStore()
{
    // Written a day late, a row still says when its average was formed.
    m_registry.pendingRows.append(7, QDateTime(QDate(2026, 12, 5), QTime(8, 4, 9)), 21.5);
    m_registry.pendingRows.append(8, QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59)), -3.25);
    QVERIFY(writePendingRows(m_registry));
    QCOMPARE(
        m_database->rows(QStringLiteral("SELECT SensorNummer || ';' || Zeit || ';' || "
                                        "MessWert FROM Werte ORDER BY rowid")),
        (QList<QVariantList>{{"7;2026-12-05 08:04:09;21.5"}, {"8;2026-12-31 23:59:59;-3.25"}}));
}

QTEST_GUILESS_MAIN(tst_Mittelwerte)
#include "tst_mittelwerte.moc"
