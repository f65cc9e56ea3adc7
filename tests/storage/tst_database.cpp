#include "runtime/runtimeerror.h"
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

#include <future>
#include <thread>

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
    void waitsForAnotherWriter();
    void closingReleasesTheFile();
};

void tst_Database::waitsForAnotherWriter()
{
    // Another program (a report, a database browser) writing at the same moment must not make a
    // store fail: the write waits for the other's lock instead.
    TempDatabase database;
    const std::unique_ptr<Database> db = DbEngine::instance().OpenDatabase(database.path());
    bool locked = false;
    std::promise<void> lockTaken;
    std::thread other([&] {
        {
            QSqlDatabase peer =
                QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("peer"));
            peer.setDatabaseName(database.path());
            peer.open();
            QSqlQuery query(peer);
            locked = query.exec(QStringLiteral("BEGIN EXCLUSIVE"));
            lockTaken.set_value();
            // How long the other program keeps the file locked.
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            query.exec(QStringLiteral("COMMIT"));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("peer"));
    });
    lockTaken.get_future().wait();
    bool written = true;
    try {
        db->Execute(
            QStringLiteral("INSERT INTO Werte (SensorNummer,Zeit,MessWert) VALUES (1,'x', 2)"));
    } catch (const RuntimeError &) {
        written = false;
    }
    other.join();
    QVERIFY(locked);
    QVERIFY(written);
    QCOMPARE(database.rows(QStringLiteral("SELECT count(*) FROM Werte")).at(0).at(0).toInt(), 1);
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
