#include "storage/database.h"
#include "storage/datenbankverbindung.h"
#include "storage/dbengine.h"
#include "storage/registry.h"
#include "support/recordingview.h"
#include "support/tempdatabase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>
#include <QVariant>

namespace {

// Whether this process has the file open, as the operating system sees it.
bool processHolds(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files)) {
        if (QFileInfo(fds.filePath(fd)).symLinkTarget() == target) {
            return true;
        }
    }
    return false;
}

} // namespace

class tst_Database : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void transactionIsAllOrNothing_data();
    void transactionIsAllOrNothing();
    void closingReleasesTheFile();
};

void tst_Database::transactionIsAllOrNothing_data()
{
    QTest::addColumn<QStringList>("fault");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<int>("rows");
    QTest::newRow("no fault") << QStringList{} << "" << 3;
    QTest::newRow("last statement refused")
        << QStringList{"CREATE TRIGGER refuse BEFORE INSERT ON Werte WHEN NEW.SensorNummer = 3 "
                       "BEGIN SELECT RAISE(ABORT, 'abgelehnt'); END"}
        << "abgelehnt" << 0;
    // A database browser with an open write transaction: the store gives way instead of waiting.
    QTest::newRow("another program's lock")
        << QStringList{"BEGIN EXCLUSIVE"} << "database is locked" << 0;
    // A reader keeps the commit from getting its lock; the transaction must not stay open.
    QTest::newRow("another program reading")
        << QStringList{"BEGIN", "SELECT count(*) FROM Werte"} << "database is locked" << 0;
}

void tst_Database::transactionIsAllOrNothing()
{
    QFETCH(QStringList, fault);
    QFETCH(QString, failure);
    QFETCH(int, rows);
    TempDatabase database;
    const std::unique_ptr<Database> db = DbEngine::instance().OpenDatabase(database.path());
    {
        QSqlDatabase peer = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "peer");
        peer.setDatabaseName(database.path());
        QVERIFY(peer.open());
        QSqlQuery query(peer);
        for (const QString &statement : fault) {
            QVERIFY(query.exec(statement));
        }
        const auto insert = [](qsizetype i) {
            return QStringLiteral("INSERT INTO Werte (SensorNummer,Zeit,MessWert) "
                                  "VALUES (%1,'2026-12-05 08:04:09', 2)")
                .arg(i + 1);
        };
        const QString result = db->executeInTransaction(3, insert);
        QVERIFY2(failure.isEmpty() ? result.isEmpty() : result.contains(failure),
                 qPrintable(result));
        query.finish();
        peer.rollback();
        QSqlQuery(peer).exec(QStringLiteral("ROLLBACK"));
        peer.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("peer"));
    QCOMPARE(database.rows(QStringLiteral("SELECT * FROM Werte")).size(), rows);
    // Nothing is left open: the next transaction goes through.
    QCOMPARE(db->executeInTransaction(0, [](qsizetype) { return QString(); }), QString());
    db->Execute(QStringLiteral("INSERT INTO Werte (SensorNummer,Zeit,MessWert) VALUES (9,'x', 1)"));
    QCOMPARE(database.rows(QStringLiteral("SELECT * FROM Werte")).size(), rows + 1);
}

void tst_Database::closingReleasesTheFile()
{
    TempDatabase database;
    Registry registry;
    RecordingView view;
    view.timerRunning = true;
    DatenbankOeffnen(registry, view, database.path());
    QVERIFY(processHolds(database.path()));
    DatenbankSchliessen(registry, view);
    QVERIFY(!registry.Datenbank);
    QVERIFY(!processHolds(database.path()));
    // The timer goes off before the close, so no tick can meet a closed database.
    QCOMPARE(view.timerEvents, QStringList{QStringLiteral("off")});
    QCOMPARE(view.pumps, 2);
}

QTEST_GUILESS_MAIN(tst_Database)
#include "tst_database.moc"
