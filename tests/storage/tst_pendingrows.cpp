#include "runtime/journal.h"
#include "storage/database.h"
#include "storage/pendingrows.h"
#include "support/tempdatabase.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

// The rows on their way into Werte, without the program around them: stores that fail as a whole,
// rows the database refuses, and the recovery file over the end of the program.
class tst_PendingRows : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void stores_data();
    void stores();
    void recoveryFileKeepsEveryDigit();
    void fullDiskLosesNoRow_data();
    void fullDiskLosesNoRow();
    void recoveryFilePath_data();
    void recoveryFilePath();
    void writesMeasuredFromStoreToStore();

private:
    QString journal();

    std::unique_ptr<TempDatabase> m_database;
    std::unique_ptr<Database> m_open;
    std::unique_ptr<PendingRows> m_rows;
    std::FILE *m_journal = nullptr;
    int m_journalRead = -1;
    const QDateTime m_zeit{QDate(2026, 12, 5), QTime(8, 4, 9)};
};

void tst_PendingRows::init()
{
    m_database = std::make_unique<TempDatabase>();
    m_open = OpenDatabase(m_database->path());
    m_open->started();
    // A pipe, as stderr is in the service: no file-size limit applies to it.
    int ends[2] = {-1, -1};
    QVERIFY(::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0);
    m_journalRead = ends[0];
    m_journal = ::fdopen(ends[1], "w");
    Journal::redirect(m_journal);
    m_rows = std::make_unique<PendingRows>(PendingRows::kCapacity);
    m_rows->setDatabaseName(m_database->path());
    m_rows->open();
}

void tst_PendingRows::cleanup()
{
    m_rows.reset();
    m_open.reset();
    Journal::redirect(nullptr);
    std::fclose(m_journal);
    ::close(m_journalRead);
}

QString tst_PendingRows::journal()
{
    std::fflush(m_journal);
    QByteArray text;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(m_journalRead, buffer, sizeof buffer)) > 0) {
        text.append(buffer, got);
    }
    return QString::fromUtf8(text);
}

void tst_PendingRows::stores_data()
{
    QTest::addColumn<QStringList>("fault");
    QTest::addColumn<QString>("repair");
    // Why the stores fail while another program writes.
    QTest::addColumn<QString>("failure");
    // Why values of 1000 and more are refused once it has stopped; empty: none are.
    QTest::addColumn<QString>("refusal");
    const auto row = [](const char *name, const QStringList &fault, const char *repair,
                        const char *failure, const char *refusal) {
        QTest::newRow(name) << fault << QString::fromUtf8(repair) << QString::fromUtf8(failure)
                            << QString::fromUtf8(refusal);
    };
    row("Werte renamed away and back", {"ALTER TABLE Werte RENAME TO Weg"},
        "ALTER TABLE Weg RENAME TO Werte", "no such table: Werte", "");
    // The other program's write keeps the store from getting its lock; the transaction must not
    // stay open.
    row("CHECK constraint",
        {"DROP TABLE Werte",
         "CREATE TABLE Werte (SensorNummer, Zeit, MessWert CHECK (MessWert < 1000))"},
        "", "database is locked", "CHECK constraint failed");
    // The reason's ';' would split the refused file's line.
    row("trigger",
        {"CREATE TRIGGER warm BEFORE INSERT ON Werte WHEN NEW.MessWert >= 1000 BEGIN SELECT "
         "RAISE(ABORT, 'zu warm; bitte pruefen'); END"},
        "", "database is locked", "zu warm, bitte pruefen");
}

// Two stores fail while another program writes: their rows wait, each with its own time. The next
// store writes them and its own, all but the values the database refuses, which go to their file;
// sensor 2 is written again once it reads normal values.
void tst_PendingRows::stores()
{
    QFETCH(QStringList, fault);
    QFETCH(QString, repair);
    QFETCH(QString, failure);
    QFETCH(QString, refusal);
    for (const QString &statement : fault) {
        m_open->Execute(statement);
    }
    std::shared_ptr<void> writer = failure == QLatin1String("database is locked")
                                       ? m_database->hold({"BEGIN IMMEDIATE"})
                                       : nullptr;
    m_rows->append(1, m_zeit, 1);
    m_rows->append(2, m_zeit, 2);
    QVERIFY(!m_rows->write());
    m_rows->append(1, m_zeit.addSecs(10), 10);
    QVERIFY(!m_rows->write());
    const StoreState failing = m_rows->state();
    QVERIFY2(failing.failure.contains(failure), qPrintable(failing.failure));
    QCOMPARE(failing.waiting, 3);
    QCOMPARE(failing.failedStores, 2);
    QVERIFY(failing.failingSince.isValid());
    QCOMPARE(m_rows->failedLine(), "Speichern in die Datenbank fehlgeschlagen: " + failing.failure
                                       + ". 3 Messwerte warten.");
    writer.reset();
    if (!repair.isEmpty()) {
        m_open->Execute(repair);
    }
    QCOMPARE(storedValues(*m_database), QStringList{});
    m_rows->append(2, m_zeit.addSecs(10), 5000);
    m_rows->append(3, m_zeit.addSecs(10), 30);
    m_rows->append(4, m_zeit.addSecs(10), 6000);
    QVERIFY(m_rows->write());
    QCOMPARE(m_rows->state().failure, QString());
    QVERIFY(!m_rows->state().failingSince.isValid());
    const bool refuses = !refusal.isEmpty();
    QCOMPARE(m_rows->lastRefused(), refuses ? 2 : 0);
    QVERIFY2(
        !refuses
            || (m_rows->refusedLine().startsWith("2 Messwerte wurden von der Datenbank abgelehnt (")
                && m_rows->refusedLine().endsWith(" und stehen in der Datei '" + m_database->path()
                                                  + ".abgelehnt'.")),
        qPrintable(m_rows->refusedLine()));
    m_rows->append(2, m_zeit.addSecs(20), 20);
    QVERIFY(m_rows->write());
    QCOMPARE(m_rows->lastRefused(), 0);
    QCOMPARE(
        storedValues(*m_database).join(QLatin1Char(' ')),
        QLatin1String(refuses ? "1=1 2=2 1=10 3=30 2=20" : "1=1 2=2 1=10 2=5000 3=30 4=6000 2=20"));
    QCOMPARE(m_database->rows("SELECT group_concat(Zeit, ' ') FROM Werte WHERE SensorNummer = 1"),
             (QList<QVariantList>{{"2026-12-05 08:04:09 2026-12-05 08:04:19"}}));
    const QStringList lines = fileText(m_rows->refusedFile()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), refuses ? 3 : 0);
    QCOMPARE(m_rows->state().refused, refuses ? 2 : 0);
    if (refuses) {
        QCOMPARE(lines.at(0), "SensorNummer;Zeit;MessWert;Grund");
        QVERIFY2(lines.at(1).startsWith("2;2026-12-05 08:04:19;5000;")
                     && lines.at(1).contains(refusal),
                 qPrintable(lines.at(1)));
        QVERIFY2(lines.at(2).startsWith("4;2026-12-05 08:04:19;6000;"), qPrintable(lines.at(2)));
    }
}

// Over a restart in the recovery file, every digit and second kept; taken in with the capacity
// applied as it is read. Malformed files are in tst_startup's matrix.
void tst_PendingRows::recoveryFileKeepsEveryDigit()
{
    QStringList reported;
    const auto report = [&reported](const QString &message, bool) {
        reported << message;
    };
    m_rows->append(-4, QDateTime(QDate(2026, 3, 29), QTime(1, 59, 59)), 0.1 + 0.2);
    m_rows->append(7, QDateTime(QDate(2026, 10, 25), QTime(2, 30, 0)), -1e300);
    m_rows->append(8, m_zeit, 0.5);
    QVERIFY(m_rows->keepForNextStart(report));
    QCOMPARE(reported,
             QStringList{"3 Messwerte konnten nicht in die Datenbank '" + m_database->path()
                         + "' geschrieben werden. Sie stehen in der Datei '"
                         + m_rows->recoveryFile()
                         + "' und werden beim nächsten Start nachgetragen."});
    QCOMPARE(fileText(m_rows->recoveryFile()),
             "SensorNummer;Zeit;MessWert\n-4;2026-03-29 01:59:59;0.30000000000000004\n"
             "7;2026-10-25 02:30:00;-1e+300\n8;2026-12-05 08:04:09;0.5\n");

    PendingRows capped(2);
    capped.setDatabaseName(m_database->path());
    QCOMPARE(capped.takeIn(),
             "2 Messwerte aus '" + m_rows->recoveryFile()
                 + "' können noch nicht in die Datenbank geschrieben werden: keine Datenbank "
                   "offen. Sie warten auf das nächste Speichern. 1 älterer Messwert wurde "
                   "verworfen: die Datei hielt mehr, als warten dürfen (2).");
    QCOMPARE(capped.size(), 2);
    QVERIFY(QFile::exists(m_rows->recoveryFile()));

    PendingRows back(PendingRows::kCapacity);
    back.setDatabaseName(m_database->path());
    back.open();
    QCOMPARE(back.takeIn(),
             "3 Messwerte aus '" + m_rows->recoveryFile() + "' in die Datenbank nachgetragen.");
    QVERIFY(!QFile::exists(m_rows->recoveryFile()));
    // Written with the 15 digits of every store.
    QCOMPARE(m_database->rows("SELECT group_concat(SensorNummer || ';' || Zeit || ';' || "
                              "printf('%.15g', MessWert), ' ') FROM Werte"),
             (QList<QVariantList>{{"-4;2026-03-29 01:59:59;0.3 "
                                   "7;2026-10-25 02:30:00;-1e+300 8;2026-12-05 08:04:09;0.5"}}));
}

void tst_PendingRows::fullDiskLosesNoRow_data()
{
    QTest::addColumn<int>("savedBefore");
    QTest::newRow("no earlier save") << 0;
    QTest::newRow("an earlier save holds the oldest rows") << 5;
}

// A file-size limit stands for a full disk: a file that cannot take every row is never reported
// as holding them; the rows it lacks go to the journal, each once.
void tst_PendingRows::fullDiskLosesNoRow()
{
    QFETCH(int, savedBefore);
    for (int i = 0; i < savedBefore; ++i) {
        m_rows->append(i, m_zeit.addSecs(i), i);
    }
    if (savedBefore > 0) {
        // A store that fails puts its rows into the recovery file at once.
        std::shared_ptr<void> writer = m_database->hold({"BEGIN IMMEDIATE"});
        QVERIFY(!m_rows->write());
    }
    for (int i = savedBefore; i < 300; ++i) {
        m_rows->append(i, m_zeit.addSecs(i), i);
    }
    rlimit old = {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 2048;
    ::setrlimit(RLIMIT_FSIZE, &small);
    QStringList reported;
    const bool inFile = m_rows->keepForNextStart([&reported](const QString &message, bool inFile) {
        reported << message << QString::number(inFile);
    });
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(!inFile);
    QCOMPARE(reported.size(), 2);
    QCOMPARE(reported.at(1), "0");
    QVERIFY2(reported.at(0).contains("kann sie nicht aufnehmen: File too large"),
             qPrintable(reported.at(0)));
    const QString rest = QString::number(300 - savedBefore);
    QVERIFY2(reported.at(0).contains(savedBefore == 0
                                         ? "Sie folgen auf der Standardfehlerausgabe"
                                         : "5 davon stehen in der Datei und werden beim nächsten "
                                           "Start nachgetragen; die übrigen "
                                               + rest + " folgen"),
             qPrintable(reported.at(0)));
    const QStringList lines = journal().split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 300 - savedBefore);
    QCOMPARE(lines.first(), QStringLiteral("%1;%2;%1")
                                .arg(savedBefore)
                                .arg(m_zeit.addSecs(savedBefore).toString("yyyy-MM-dd HH:mm:ss")));
    QCOMPARE(fileText(m_rows->recoveryFile()).count('\n'), savedBefore == 0 ? 0 : 1 + savedBefore);
}

void tst_PendingRows::recoveryFilePath_data()
{
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("stateDirectory");
    QTest::addColumn<QString>("expected");
    QTest::newRow("SQLite file: beside it, state folder or not")
        << "/srv/x/Messwerte.mdb"
        << "/var/lib/pelvaro"
        << "/srv/x/Messwerte.mdb.ausstehend";
    QTest::newRow("server: the service's state folder")
        << "postgresql://logger@/messwerte"
        << "/var/lib/pelvaro"
        << "/var/lib/pelvaro/Messwerte-d37c8bc276f4.ausstehend";
    QTest::newRow("server: the first of several state folders")
        << "postgresql://logger@/messwerte"
        << "/var/lib/pelvaro:/var/lib/other"
        << "/var/lib/pelvaro/Messwerte-d37c8bc276f4.ausstehend";
    QTest::newRow("ODBC without a state folder: the working folder")
        << "odbc:Messwerte"
        << "" << QDir::currentPath() + "/Messwerte-3c47ec4d694b.ausstehend";
}

void tst_PendingRows::recoveryFilePath()
{
    QFETCH(QString, database);
    QFETCH(QString, stateDirectory);
    QFETCH(QString, expected);
    qputenv("STATE_DIRECTORY", stateDirectory.toLocal8Bit());
    QCOMPARE(::recoveryFilePath(database), expected);
    qunsetenv("STATE_DIRECTORY");
}

void tst_PendingRows::writesMeasuredFromStoreToStore()
{
    QVERIFY(!m_rows->state().schreibrate.bekannt);
    for (int i = 0; i < 3; ++i) {
        m_rows->append(7, m_zeit.addSecs(10 * i), i);
        m_rows->write();
        QCOMPARE(m_rows->size(), 0);
    }
    // The first store starts the count; what the two after it begin with closes one each.
    const StoreState::Schreibrate rate = m_rows->state().schreibrate;
    QVERIFY(rate.bekannt);
    QCOMPARE(rate.speicherungen, 2);
    QVERIFY(rate.bytes >= 0);
    QVERIFY(rate.sekunden >= 0);
}

QTEST_GUILESS_MAIN(tst_PendingRows)
#include "tst_pendingrows.moc"
