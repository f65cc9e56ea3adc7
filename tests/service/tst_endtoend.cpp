#include "devicesim/devicesimulator.h"
#include "support/programprocess.h"
#include "support/tempdatabase.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTest>

#include <algorithm>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

using Behaviour = DeviceSimulator::Behaviour;

// The real executable against a real database file and simulated devices, served by this test's
// event loop while it waits for the program, and stopped the way a service manager stops it.
class tst_EndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void storesAveragesUntilStopped_data();
    void storesAveragesUntilStopped();
    void readerGoneDoesNotEndIt();
    void stopDuringASilentDeviceEndsPromptly_data();
    void stopDuringASilentDeviceEndsPromptly();
    void storesThroughAnotherProgramsLock();
    void stopDuringALockKeepsTheRows();

private:
    enum class Output { Read, Closed, Stalled };
    void start(bool headless, Output output = Output::Read);
    int stop();
    void checkClosedCleanly();
    int rowCount(const QString &where = QString());
    // Another program's exclusive lock on the database, as a database browser holds it during a
    // write transaction; held until unlock(). The fixture's own reads wait for it too.
    void lock();
    void unlock();
    // Waits until the program's stderr (or stdout) holds text, and keeps what was read.
    bool waitForOutput(const QString &text, bool onStderr, int timeoutMs = 15000);

    std::unique_ptr<TempDatabase> m_database;
    DeviceSimulator m_heizung;
    DeviceSimulator m_aus;
    std::unique_ptr<QProcess> m_process;
    QString m_out;
    QString m_err;
};

void tst_EndToEnd::init()
{
    m_database = std::make_unique<TempDatabase>();
    for (DeviceSimulator *device : {&m_heizung, &m_aus}) {
        if (!device->isListening()) {
            QVERIFY(device->listen());
        }
    }
    m_heizung.setBehaviour(Behaviour::Normal);
    m_heizung.setFixedReadings({21.5, -3.25});
    m_aus.setBehaviour(Behaviour::Refused);
    m_database->exec(
        QStringLiteral("DELETE FROM Einstellungen;"
                       "INSERT INTO Einstellungen VALUES ('MessIntervall', 1), ('Messungen', 2);"
                       "INSERT INTO Geraete VALUES (10, '%1', 'Heizung'), (20, '%2', 'Aus');"
                       "INSERT INTO Sensoren VALUES (7, 1, 1, 'Vorlauf'), (8, 1, 2, 'Aussen'),"
                       " (9, 2, 1, 'Keller')")
            .arg(m_heizung.address(), m_aus.address()));
}

void tst_EndToEnd::start(bool headless, Output output)
{
    m_out.clear();
    m_err.clear();
    m_process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (headless) {
        // Headless needs no display at all, not even the offscreen one.
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment.remove(QStringLiteral("DISPLAY"));
    }
    m_process->setProcessEnvironment(environment);
    m_process->setChildProcessModifier([output] {
        // As a shell or service manager starts it: Qt's network code in this test ignores
        // SIGPIPE, and the child would inherit that.
        ::signal(SIGPIPE, SIG_DFL);
        if (output == Output::Read) {
            return;
        }
        // stdout becomes a pipe whose reader is gone, or one that is full and never read.
        int fds[2];
        if (::pipe(fds) != 0) {
            return;
        }
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[1]);
        if (output == Output::Closed) {
            ::close(fds[0]);
            return;
        }
        ::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 4096);
        ::fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK);
        const char filler[512] = {};
        while (::write(STDOUT_FILENO, filler, sizeof filler) > 0) {
        }
        ::fcntl(STDOUT_FILENO, F_SETFL, 0);
    });
    QStringList arguments{QStringLiteral("--database"), m_database->path()};
    if (headless) {
        arguments << QStringLiteral("--headless");
    }
    m_process->start(pelvaroExecutable(), arguments);
    QVERIFY(m_process->waitForStarted());
}

int tst_EndToEnd::stop()
{
    // A program that has already ended has no process id left; kill(0) would hit this test.
    if (m_process->state() == QProcess::NotRunning) {
        return -3;
    }
    ::kill(static_cast<pid_t>(m_process->processId()), SIGTERM);
    // Served by QTRY's event loop: the devices keep answering while the program ends.
    [&] {
        QTRY_VERIFY_WITH_TIMEOUT(m_process->state() == QProcess::NotRunning, 5000);
    }();
    if (m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished();
        return -1;
    }
    return m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -2;
}

void tst_EndToEnd::checkClosedCleanly()
{
    QVERIFY(!QFileInfo::exists(m_database->path() + QStringLiteral("-journal")));
    QCOMPARE(m_database->rows(QStringLiteral("PRAGMA integrity_check")).at(0).at(0).toString(),
             QStringLiteral("ok"));
}

int tst_EndToEnd::rowCount(const QString &where)
{
    return m_database->rows(QStringLiteral("SELECT * FROM Werte ") + where).size();
}

void tst_EndToEnd::storesAveragesUntilStopped_data()
{
    QTest::addColumn<bool>("headless");
    QTest::addColumn<Output>("output");
    QTest::newRow("headless") << true << Output::Read;
    QTest::newRow("window") << false << Output::Read;
    // A reader of the pass logs that stops reading must not stop the logging.
    QTest::newRow("headless, reader stalled") << true << Output::Stalled;
}

void tst_EndToEnd::storesAveragesUntilStopped()
{
    QFETCH(bool, headless);
    QFETCH(Output, output);
    const QDateTime started = QDateTime::currentDateTime().addSecs(-1);
    start(headless, output);
    QTRY_VERIFY_WITH_TIMEOUT(rowCount() >= 4, 20000);
    QCOMPARE(stop(), 0);
    const QDateTime stopped = QDateTime::currentDateTime().addSecs(1);
    checkClosedCleanly();

    // Sensor 9 sits on the device that refuses: it has no rows at all.
    const QStringList stored = storedValues(*m_database);
    QVERIFY(stored.size() % 2 == 0);
    for (int i = 0; i < stored.size(); i += 2) {
        QCOMPARE(stored.mid(i, 2), (QStringList{"7=21.5", "8=-3.25"}));
    }
    for (const QVariantList &row : m_database->rows(QStringLiteral("SELECT Zeit FROM Werte"))) {
        const QDateTime zeit =
            QDateTime::fromString(row.at(0).toString(), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QVERIFY2(zeit.isValid() && zeit >= started && zeit <= stopped,
                 qPrintable(row.at(0).toString()));
    }

    const QString out = QString::fromUtf8(m_process->readAllStandardOutput());
    const QString err = QString::fromUtf8(m_process->readAllStandardError());
    if (headless && output == Output::Read) {
        static const QRegularExpression pass(QStringLiteral(
            "^Vorlauf:  21\\.5\nAussen: -3\\.25\nDatenholung von Aus war erfolglos\\.\n\n"
            "\\d\\d:\\d\\d:\\d\\d \\d\\d\\.\\d\\d\\.\\d{4}\n\n"));
        QVERIFY2(pass.match(out).hasMatch(), qPrintable(out));
        QVERIFY2(out.count(QLatin1String("Datenholung von Aus")) >= 2, qPrintable(out));
    } else if (!headless) {
        QCOMPARE(out, QString());
    }
    QVERIFY2(!err.contains(QLatin1String("Laufzeitfehler")), qPrintable(err));
}

void tst_EndToEnd::readerGoneDoesNotEndIt()
{
    // Only unreachable devices: once Qt has a connection it ignores SIGPIPE by itself, which
    // would hide what the program must do on its own.
    m_database->exec(
        QStringLiteral("DELETE FROM Sensoren WHERE Geraet = 1; DELETE FROM Geraete WHERE ID = 10"));
    start(true, Output::Closed);
    // Long enough for the log of the first passes to meet the closed pipe.
    QTest::qWait(3500);
    QCOMPARE(stop(), 0);
    checkClosedCleanly();
}

void tst_EndToEnd::stopDuringASilentDeviceEndsPromptly_data()
{
    QTest::addColumn<bool>("headless");
    QTest::newRow("headless") << true;
    QTest::newRow("window") << false;
}

void tst_EndToEnd::stopDuringASilentDeviceEndsPromptly()
{
    QFETCH(bool, headless);
    m_heizung.setBehaviour(Behaviour::Silent);
    start(headless);
    QTRY_COMPARE_WITH_TIMEOUT(m_heizung.openConnectionCount(), 1, 10000);
    // The fetch would wait 15 s for the silent device; the stop must not.
    QCOMPARE(stop(), 0);
    QCOMPARE(rowCount(), 0);
    checkClosedCleanly();
    QCOMPARE(m_process->readAllStandardOutput(), QByteArray());
}

void tst_EndToEnd::lock()
{
    QSqlDatabase peer = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "anderes Programm");
    peer.setDatabaseName(m_database->path());
    // The program may be in the middle of a store.
    peer.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    QVERIFY(peer.open());
    QVERIFY(QSqlQuery(peer).exec(QStringLiteral("BEGIN EXCLUSIVE")));
}

void tst_EndToEnd::unlock()
{
    {
        QSqlDatabase peer = QSqlDatabase::database(QStringLiteral("anderes Programm"));
        QSqlQuery(peer).exec(QStringLiteral("COMMIT"));
        peer.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("anderes Programm"));
}

bool tst_EndToEnd::waitForOutput(const QString &text, bool onStderr, int timeoutMs)
{
    QString &seen = onStderr ? m_err : m_out;
    QElapsedTimer waited;
    waited.start();
    while (!seen.contains(text) && waited.elapsed() < timeoutMs) {
        QTest::qWait(50);
        m_out += QString::fromUtf8(m_process->readAllStandardOutput());
        m_err += QString::fromUtf8(m_process->readAllStandardError());
    }
    return seen.contains(text);
}

void tst_EndToEnd::storesThroughAnotherProgramsLock()
{
    // A store every pass, every second: a lock of a few seconds spans several stores.
    m_database->exec(QStringLiteral("UPDATE Einstellungen SET Wert = 1"));
    start(true);
    QTRY_VERIFY_WITH_TIMEOUT(rowCount() >= 2, 15000);
    const QDateTime lockedAt = QDateTime::currentDateTime();
    lock();
    QVERIFY2(waitForOutput(QStringLiteral("Speichern in die Datenbank fehlgeschlagen: database is "
                                          "locked. 2 Messwerte warten."),
                           true),
             qPrintable(m_err));
    // The program goes on polling while it waits.
    QVERIFY2(waitForOutput(QStringLiteral("6 Messwerte warten."), false), qPrintable(m_out));
    const QDateTime unlockedAt = QDateTime::currentDateTime();
    unlock();
    QVERIFY2(
        waitForOutput(QStringLiteral("zurückgehaltene Messwerte sind jetzt gespeichert."), true),
        qPrintable(m_err));
    QCOMPARE(stop(), 0);
    m_out += QString::fromUtf8(m_process->readAllStandardOutput());
    checkClosedCleanly();

    // Stores are a second or more apart, so each has a Zeit of its own: every Zeit holds exactly
    // one store's two rows, in order, and none twice.
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
    // Every pass that printed its log had stored; none of its rows is missing.
    QVERIFY2(stores.size() >= m_out.count(QRegularExpression(QStringLiteral("\\d\\d\\.\\d{4}\n"))),
             qPrintable(m_out));
    // The stores during the lock kept the time at which they ran, not the time of the write.
    const QString format = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    const auto duringLock = std::count_if(zeiten.cbegin(), zeiten.cend(), [&](const QString &z) {
        return z >= lockedAt.toString(format) && z < unlockedAt.toString(format);
    });
    // Three stores failed, a second or more apart, before the unlock: two of them a full second
    // before it at least.
    QVERIFY2(duringLock >= 2, qPrintable(zeiten.join(QLatin1Char(','))));
}

void tst_EndToEnd::stopDuringALockKeepsTheRows()
{
    start(true);
    // Locked during start-up, the loaders could not read the configuration.
    QVERIFY2(waitForOutput(QStringLiteral("Vorlauf:"), false), qPrintable(m_err));
    lock();
    QVERIFY2(waitForOutput(QStringLiteral("4 Messwerte warten."), false), qPrintable(m_out));
    QElapsedTimer stopping;
    stopping.start();
    QCOMPARE(stop(), 0);
    qInfo("SIGTERM to exit with a locked database: %lld ms", stopping.elapsed());
    m_err += QString::fromUtf8(m_process->readAllStandardError());
    const QString file = m_database->path() + QStringLiteral(".ausstehend");
    const QRegularExpression said(QStringLiteral(
        "(\\d+) Messwerte konnten nicht in die Datenbank '.*' geschrieben werden \\(database is "
        "locked\\)\\. Sie stehen in der Datei '(.*)' und werden beim nächsten Start nachgetragen"));
    const QRegularExpressionMatch match = said.match(m_err);
    QVERIFY2(match.hasMatch(), qPrintable(m_err));
    QCOMPARE(match.captured(2), file);
    QFile kept(file);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(kept.readAll()).split(QLatin1Char('\n'));
    kept.close();
    QCOMPARE(lines.first(), QStringLiteral("SensorNummer;Zeit;MessWert"));
    QCOMPARE(lines.last(), QString());
    const QStringList rows = lines.mid(1, lines.size() - 2);
    QCOMPARE(rows.size(), match.captured(1).toInt());
    QVERIFY(rows.size() >= 4);
    unlock();
    QCOMPARE(rowCount(), 0);

    // The next start writes them before its first pass, and the file goes.
    start(true);
    QVERIFY2(waitForOutput(QStringLiteral("%1 Messwerte aus '%2' in die Datenbank nachgetragen.")
                               .arg(rows.size())
                               .arg(file),
                           true),
             qPrintable(m_err));
    QVERIFY(!QFileInfo::exists(file));
    QCOMPARE(stop(), 0);
    const auto written = m_database->rows(QStringLiteral(
        "SELECT SensorNummer || ';' || Zeit || ';' || MessWert FROM Werte ORDER BY rowid"));
    QVERIFY(written.size() >= rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        QCOMPARE(written.at(i).at(0).toString(), rows.at(i));
    }
}

QTEST_GUILESS_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
