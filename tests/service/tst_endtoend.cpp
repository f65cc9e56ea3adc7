#include "devicesim/devicesimulator.h"
#include "support/programprocess.h"
#include "support/sqlfixture.h"
#include "support/tempdatabase.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

#include <unistd.h>

// The real executable against a real database file and simulated devices, served by this test's
// event loop while it waits for the program, and stopped the way a service manager stops it.
// Start-up failures are in tst_startup; what a store writes, in tst_datenbank.
class tst_EndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void logReaderGone();
    void lockedDatabaseLosesNoRow();

private:
    // readerGone: stdout is a pipe whose reader has closed its end.
    void start(bool readerGone = false);
    int stop()
    {
        const int code = stopPelvaro(*m_process);
        readOutput();
        return code;
    }
    void checkClosedCleanly();
    int rowCount() { return m_database->rows(QStringLiteral("SELECT * FROM Werte")).size(); }
    // Another program's exclusive lock on the database, as a database browser holds it during a
    // write transaction; held until lock(false). The fixture's own reads wait for it too.
    void lock(bool locked = true);
    // Waits until the program's stdout (or stderr) holds text after the last text waited for
    // there; the output of all runs of a test is kept in m_out and m_err.
    bool waitForOutput(const QString &text, bool onStderr = false);
    void readOutput();

    std::unique_ptr<TempDatabase> m_database;
    DeviceSimulator m_heizung;
    DeviceSimulator m_aus;
    std::unique_ptr<QProcess> m_process;
    QString m_out;
    QString m_err;
    qsizetype m_outSeen = 0;
    qsizetype m_errSeen = 0;
};

void tst_EndToEnd::initTestCase()
{
    QVERIFY(m_heizung.listen());
    QVERIFY(m_aus.listen());
    m_heizung.setFixedReadings({21.5, -3.25});
    m_aus.setBehaviour(DeviceSimulator::Behaviour::Refused);
}

void tst_EndToEnd::init()
{
    m_database = std::make_unique<TempDatabase>();
    m_out.clear();
    m_err.clear();
    m_outSeen = m_errSeen = 0;
    m_database->exec(loggerSetup(
        1,
        QStringLiteral("(10, '%1', 'Heizung'), (20, '%2', 'Aus')")
            .arg(m_heizung.address(), m_aus.address()),
        QStringLiteral("(7, 1, 1, 'Vorlauf'), (8, 1, 2, 'Aussen'), (9, 2, 1, 'Keller')")));
}

void tst_EndToEnd::start(bool readerGone)
{
    m_process = std::make_unique<QProcess>();
    QVERIFY(startPelvaro(*m_process, m_database->path(), [readerGone] {
        int fds[2];
        if (readerGone && ::pipe(fds) == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[1]);
            ::close(fds[0]);
        }
    }));
}

void tst_EndToEnd::checkClosedCleanly()
{
    QVERIFY(!QFileInfo::exists(m_database->path() + QStringLiteral("-journal")));
    QCOMPARE(m_database->rows(QStringLiteral("PRAGMA integrity_check")).at(0).at(0).toString(),
             QStringLiteral("ok"));
}

void tst_EndToEnd::lock(bool locked)
{
    const QString name = QStringLiteral("anderes Programm");
    if (!locked) {
        QSqlQuery(QSqlDatabase::database(name)).exec(QStringLiteral("COMMIT"));
        QSqlDatabase::removeDatabase(name);
        return;
    }
    QSqlDatabase peer = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    peer.setDatabaseName(m_database->path());
    // The program may be in the middle of a store.
    peer.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    QVERIFY(peer.open());
    QVERIFY(QSqlQuery(peer).exec(QStringLiteral("BEGIN EXCLUSIVE")));
}

void tst_EndToEnd::readOutput()
{
    m_out += QString::fromUtf8(m_process->readAllStandardOutput());
    m_err += QString::fromUtf8(m_process->readAllStandardError());
}

bool tst_EndToEnd::waitForOutput(const QString &text, bool onStderr)
{
    const QString &seen = onStderr ? m_err : m_out;
    qsizetype &from = onStderr ? m_errSeen : m_outSeen;
    const auto at = [&] {
        readOutput();
        return seen.indexOf(text, from);
    };
    if (!QTest::qWaitFor([&] { return at() >= 0; }, 15000)) {
        return false;
    }
    from = at() + text.size();
    return true;
}

// A reader of the pass logs that goes away must stop neither the logging nor the program's
// orderly end. Only an unreachable device meanwhile: once Qt has a connection it ignores SIGPIPE
// by itself, which would hide what the program must do on its own.
void tst_EndToEnd::logReaderGone()
{
    m_database->exec(
        QStringLiteral("DELETE FROM Sensoren WHERE Geraet = 1; DELETE FROM Geraete WHERE ID = 10"));
    start(true);
    // Long enough for the log of the first passes to meet the closed pipe.
    QTest::qWait(3500);
    QCOMPARE(stop(), 0);
    checkClosedCleanly();
}

void tst_EndToEnd::lockedDatabaseLosesNoRow()
{
    // A store every second: a lock of a few seconds spans several stores.
    start();
    QTRY_VERIFY_WITH_TIMEOUT(rowCount() >= 2, 15000);
    lock();
    QVERIFY(waitForOutput(QStringLiteral("Speichern in die Datenbank fehlgeschlagen: database is "
                                         "locked. 2 Messwerte warten."),
                          true));
    // The program goes on polling while it waits, and writes all once the lock is gone.
    QVERIFY(waitForOutput(QStringLiteral("6 Messwerte warten.")));
    lock(false);
    QVERIFY(
        waitForOutput(QStringLiteral("zurückgehaltene Messwerte sind jetzt gespeichert."), true));

    // Stopped during a lock, it keeps the rows in the recovery file; the next start writes them
    // before its first pass, and the file goes.
    lock();
    QVERIFY(waitForOutput(QStringLiteral("4 Messwerte warten.")));
    QCOMPARE(stop(), 0);
    const QString file = m_database->path() + QStringLiteral(".ausstehend");
    const QRegularExpressionMatch kept =
        QRegularExpression(QStringLiteral("(\\d+) Messwerte konnten nicht in die Datenbank '.*' "
                                          "geschrieben werden \\(database is locked\\)\\. Sie "
                                          "stehen in der Datei '(.*)' und werden beim nächsten "
                                          "Start nachgetragen"))
            .match(m_err, m_errSeen);
    QVERIFY2(kept.hasMatch(), qPrintable(m_err));
    QCOMPARE(kept.captured(2), file);
    QVERIFY(kept.captured(1).toInt() >= 4);
    lock(false);
    start();
    QVERIFY(waitForOutput(QStringLiteral("%1 Messwerte aus '%2' in die Datenbank nachgetragen.")
                              .arg(kept.captured(1), file),
                          true));
    QVERIFY(!QFileInfo::exists(file));
    QCOMPARE(stop(), 0);
    checkClosedCleanly();

    // Stores are a second or more apart, so each has a Zeit of its own: every Zeit holds exactly
    // one store's two rows, in order, none twice, and at least as many as the passes logged.
    QStringList zeiten;
    QStringList stores;
    for (const QVariantList &row : m_database->rows(QStringLiteral(
             "SELECT Zeit, group_concat(SensorNummer || '=' || MessWert, ' ') FROM "
             "(SELECT * FROM Werte ORDER BY rowid) GROUP BY Zeit ORDER BY min(rowid)"))) {
        zeiten << row.at(0).toString();
        stores << row.at(1).toString();
    }
    QCOMPARE(stores, QStringList(stores.size(), QStringLiteral("7=21.5 8=-3.25")));
    QStringList sorted = zeiten;
    sorted.sort();
    QCOMPARE(zeiten, sorted);
    QVERIFY2(stores.size() >= m_out.count(QRegularExpression(QStringLiteral("\\d\\d\\.\\d{4}\n"))),
             qPrintable(m_out));
    QVERIFY2(!m_err.contains(QLatin1String("Laufzeitfehler")), qPrintable(m_err));
}

QTEST_GUILESS_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
