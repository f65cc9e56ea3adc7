#include "devicesim/devicesimulator.h"
#include "support/programprocess.h"
#include "support/smtpsink.h"
#include "support/tempdatabase.h"
#include "support/webhookreceiver.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

// The real executable against a real database file and simulated devices, served by this test's
// event loop while it waits for the program, and stopped the way a service manager stops it.
// Start-up failures are in tst_startup; what a store writes, in tst_datenbank and tst_pendingrows.
class tst_EndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void logReaderFails_data();
    void logReaderFails();
    void lockedDatabaseLosesNoRow();
    void secondSignal_data();
    void secondSignal();
    void fullDiskLosesNoRow();
    void alerts_data();
    void alerts();

private:
    enum class Reader {
        Reads,
        // stdout is a pipe whose reader has closed its end.
        Gone,
        // stdout is a small pipe that its reader, the program itself, never reads.
        Stalls,
    };
    void start(Reader reader = Reader::Reads);
    int stop()
    {
        const int code = stopPelvaro(*m_process);
        readOutput();
        return code;
    }
    void checkClosedCleanly();
    int rowCount() { return m_database->rows(QStringLiteral("SELECT * FROM Werte")).size(); }
    // Another program's exclusive lock on the database, as a database browser holds it during a
    // write transaction. The fixture's own reads wait for it too.
    void lock() { m_lock = m_database->hold({"BEGIN EXCLUSIVE"}); }
    // Waits until the program's stdout (or stderr) holds text after the last text waited for
    // there; the output of all runs of a test is kept in m_out and m_err.
    bool waitForOutput(const QString &text, bool onStderr = false);
    void readOutput();

    std::unique_ptr<TempDatabase> m_database;
    DeviceSimulator m_heizung;
    DeviceSimulator m_aus;
    std::unique_ptr<QProcess> m_process;
    std::shared_ptr<void> m_lock;
    QString m_out;
    QString m_err;
    qsizetype m_outSeen = 0;
    qsizetype m_errSeen = 0;
};

namespace {

// Whether a SIGTERM sent to the process still waits to be delivered.
bool termPending(qint64 pid)
{
    const QString status = fileText(QStringLiteral("/proc/%1/status").arg(pid));
    const QString pending = status.section(QStringLiteral("ShdPnd:"), 1).section('\n', 0, 0);
    return pending.trimmed().toULongLong(nullptr, 16) & (1ULL << (SIGTERM - 1));
}

} // namespace

void tst_EndToEnd::initTestCase()
{
    // The alerts' ways out are on loopback; a proxy of the environment must not stand between.
    qputenv("no_proxy", "*");
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

void tst_EndToEnd::start(Reader reader)
{
    m_process = std::make_unique<QProcess>();
    QVERIFY(startPelvaro(*m_process, m_database->path(), [reader] {
        int fds[2];
        if (reader != Reader::Reads && ::pipe(fds) == 0) {
            ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[1]);
            if (reader == Reader::Gone) {
                ::close(fds[0]);
            }
        }
    }));
}

void tst_EndToEnd::checkClosedCleanly()
{
    QVERIFY(!QFileInfo::exists(m_database->path() + QStringLiteral("-journal")));
    QCOMPARE(m_database->rows(QStringLiteral("PRAGMA integrity_check")).at(0).at(0).toString(),
             QStringLiteral("ok"));
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
    qsizetype at = -1;
    const bool found = QTest::qWaitFor(
        [&] {
            readOutput();
            return (at = seen.indexOf(text, from)) >= 0;
        },
        15000);
    from = found ? at + text.size() : from;
    return found;
}

void tst_EndToEnd::logReaderFails_data()
{
    QTest::addColumn<Reader>("reader");
    QTest::newRow("reader gone") << Reader::Gone;
    QTest::newRow("reader stalls") << Reader::Stalls;
}

// A reader of the pass logs that goes away, or stops reading, must stop neither the polling and
// storing nor the program's orderly end.
void tst_EndToEnd::logReaderFails()
{
    QFETCH(Reader, reader);
    // Each pass's log more than fills the stalled pipe.
    m_database->exec(QStringLiteral(
        "DELETE FROM Sensoren; WITH RECURSIVE n(i) AS (SELECT 101 UNION ALL SELECT i + 1 FROM n "
        "WHERE i < 199) INSERT INTO Sensoren SELECT i, 1, i % 2 + 1, 'Ein Sensor mit einem langen "
        "Namen, Nummer ' || i FROM n"));
    start(reader);
    QTRY_VERIFY_WITH_TIMEOUT(rowCount() >= 3 * 99, 15000);
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
    m_lock.reset();
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
    m_lock.reset();
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

void tst_EndToEnd::secondSignal_data()
{
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<bool>("killed");
    // timeout(1) signals the process and its group: one stop, delivered twice.
    QTest::newRow("within a second: the same stop") << 0 << false;
    QTest::newRow("a second or more later: ends at once") << 1100 << true;
}

// An end that hangs (here: the journal is a pipe that its reader has stopped reading, so the
// end's report blocks) is cut short by a second signal, but only one that comes a second or more
// after the first. The second is sent once the first has arrived: two signals pending at once
// would be delivered as one.
void tst_EndToEnd::secondSignal()
{
    QFETCH(int, gapMs);
    QFETCH(bool, killed);
    int journal[2];
    QCOMPARE(::pipe2(journal, O_CLOEXEC), 0);
    const std::shared_ptr<void> closeJournal(nullptr, [journal](void *) {
        ::close(journal[0]);
        ::close(journal[1]);
    });
    const int capacity = ::fcntl(journal[1], F_SETPIPE_SZ, 4096);
    QVERIFY(capacity > 0);
    m_process = std::make_unique<QProcess>();
    QVERIFY(startPelvaro(*m_process, m_database->path(),
                         [journal] { ::dup2(journal[1], STDERR_FILENO); }));
    QTRY_VERIFY_WITH_TIMEOUT(rowCount() >= 2, 15000);
    lock();
    QVERIFY(waitForOutput(QStringLiteral("Messwerte warten.")));
    // Whatever the program has written is in the pipe; the rest of it is filled, so that the next
    // line blocks its writer.
    int queued = 0;
    QCOMPARE(::ioctl(journal[0], FIONREAD, &queued), 0);
    const QByteArray filler(capacity - queued, 'x');
    QCOMPARE(::write(journal[1], filler.constData(), filler.size()), filler.size());
    const pid_t pid = static_cast<pid_t>(m_process->processId());
    ::kill(pid, SIGTERM);
    QTRY_VERIFY(!termPending(pid));
    // The rule's own interval, not a wait for something to happen.
    QTest::qWait(gapMs);
    QVERIFY(m_process->state() != QProcess::NotRunning);
    ::kill(pid, SIGTERM);
    // The end goes on once the journal is read again: then only a kill keeps it from ending
    // normally.
    QByteArray report;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            if (!killed) {
                char chunk[4096];
                ::fcntl(journal[0], F_SETFL, O_NONBLOCK);
                for (ssize_t got; (got = ::read(journal[0], chunk, sizeof chunk)) > 0;) {
                    report.append(chunk, got);
                }
            }
            return m_process->state() == QProcess::NotRunning;
        }(),
        5000);
    QCOMPARE(m_process->exitStatus(), killed ? QProcess::CrashExit : QProcess::NormalExit);
    QVERIFY2(killed
                 || report.contains("werden beim n\xc3\xa4"
                                    "chsten Start nachgetragen"),
             report.constData());
    m_lock.reset();
}

// The disk fills while the program runs, and it is stopped then: every row formed is in Werte, in
// the recovery file or on stderr, each once, and no message claims a file that lacks a row. On a
// small file system of its own, in a mount namespace of the program's, where this may mount one
// (as root, outside a container that forbids it); otherwise a file-size limit stands in for it.
void tst_EndToEnd::fullDiskLosesNoRow()
{
    QTemporaryDir disk;
    const bool root =
        ::geteuid() == 0
        && QProcess::execute("unshare", {"--mount", "--propagation", "private", "mount", "-t",
                                         "tmpfs", "-o", "size=64k", "tmpfs", disk.path()})
               == 0;
    m_process = std::make_unique<QProcess>();
    if (root) {
        // The shell passes the stop on to the program and copies what the small file system
        // holds back beside the database once the program has ended.
        const QString script = QStringLiteral(
            "mount -t tmpfs -o size=256k tmpfs \"$2\" && cp \"$1\" \"$2\" || exit 9; \"$3\" "
            "--database \"$2/Messwerte.mdb\" & p=$!; trap 'kill $p' TERM; wait $p; wait $p; rc=$?; "
            "rm -f \"$2\"/voll*; cp \"$2\"/* \"${1%/*}\"; exit $rc");
        m_process->start("unshare", {"--mount", "--propagation", "private", "sh", "-c", script,
                                     "sh", m_database->path(), disk.path(), pelvarodExecutable()});
        QVERIFY(m_process->waitForStarted());
    } else {
        // Not even a store's journal fits.
        QVERIFY(startPelvaro(*m_process, m_database->path(), [] {
            ::signal(SIGXFSZ, SIG_IGN);
            rlimit small = {4096, 4096};
            ::setrlimit(RLIMIT_FSIZE, &small);
        }));
    }
    // The small file system as the program sees it.
    const auto fill = [&](const char *name) {
        if (root) {
            QProcess::execute("sh", {"-c", "cat /dev/zero > \"$0\" 2>/dev/null",
                                     QStringLiteral("/proc/%1/root%2/%3")
                                         .arg(m_process->processId())
                                         .arg(disk.path(), QLatin1String(name))});
        }
    };
    QVERIFY(waitForOutput(QStringLiteral("Vorlauf:")));
    fill("voll1");
    QVERIFY(waitForOutput(QStringLiteral("Speichern in die Datenbank fehlgeschlagen")));
    QVERIFY(waitForOutput(QStringLiteral("4 Messwerte warten")));
    // What the failed stores gave back, taken too.
    fill("voll2");
    ::kill(static_cast<pid_t>(m_process->processId()), SIGTERM);
    QVERIFY(m_process->waitForFinished(10000));
    readOutput();

    // Every pass stored its two rows; the rows of all three places, each once.
    static const QRegularExpression passTime(QStringLiteral("\\d\\d\\.\\d{4}\n"));
    const qsizetype formed = 2 * m_out.count(passTime);
    static const QRegularExpression rowLine(
        QStringLiteral("^\\d+;\\d{4}-\\d\\d-\\d\\d [\\d:]+;[-\\d.e+]+$"),
        QRegularExpression::MultilineOption);
    QStringList rows;
    for (const QVariantList &row :
         m_database->rows(QStringLiteral("SELECT SensorNummer || ';' || Zeit FROM Werte"))) {
        rows << row.at(0).toString();
    }
    const qsizetype inWerte = rows.size();
    const QString fileText = ::fileText(m_database->path() + QStringLiteral(".ausstehend"));
    for (const QRegularExpressionMatch &line : rowLine.globalMatch(fileText + '\n' + m_err)) {
        rows << line.captured(0).section(QLatin1Char(';'), 0, 1);
    }
    QVERIFY2(!m_err.contains(QLatin1String("rollback")) && !m_err.contains(QLatin1String("3420")),
             qPrintable(m_err));
    QCOMPARE(QSet<QString>(rows.cbegin(), rows.cend()).size(), rows.size());
    // The log of the last pass may be lost with the end, its rows never.
    QVERIFY2(rows.size() == formed || rows.size() == formed + 2,
             qPrintable(QStringLiteral("%1 rows (%2 in Werte), %3 formed\n")
                            .arg(rows.size())
                            .arg(inWerte)
                            .arg(formed)
                        + m_err));
    const QRegularExpressionMatch claim =
        QRegularExpression(QStringLiteral("(\\d+) Messwerte konnten .* Sie stehen in der Datei"))
            .match(m_err);
    if (claim.hasMatch()) {
        QCOMPARE(m_process->exitCode(), 0);
        QCOMPARE(fileText.count(rowLine), claim.captured(1).toInt());
    } else {
        QCOMPARE(m_process->exitCode(), 1);
        QVERIFY2(m_err.contains(QLatin1String("kann sie nicht aufnehmen")), qPrintable(m_err));
    }
}

// Alerts after n = 2 failures, and a Maximum of 20 for Vorlauf.
void tst_EndToEnd::alerts_data()
{
    QTest::addColumn<bool>("alarm");
    QTest::addColumn<int>("webhookStatus");
    QTest::addColumn<QString>("err");
    QTest::newRow("alerts on: a silent device, a value above its Maximum")
        << true << 200
        << "pelvarod: Alarm: Sensor 'Vorlauf' (Nr. 7): Mittelwert 21.5 über dem Maximum 20.";
    QTest::newRow("no Alarm row: the pass log as before, on stderr only the journal's line")
        << false << 200 << "";
    QTest::newRow("a webhook that never answers: the end does not wait")
        << true << 0 << "wegen des Programmendes nicht zugestellt.";
}

void tst_EndToEnd::alerts()
{
    QFETCH(bool, alarm);
    QFETCH(int, webhookStatus);
    QFETCH(QString, err);
    SmtpSink sink;
    WebhookReceiver receiver;
    QVERIFY(sink.listen() && receiver.listen());
    receiver.setStatus(webhookStatus);
    m_database->exec(
        QStringLiteral("INSERT INTO Grenzwerte VALUES (7, NULL, 20);")
        + (alarm ? QStringLiteral("INSERT INTO Einstellungen VALUES ('AlarmNachFehlern', "
                                  "2), ('AlarmMailServer', '%1'), ('AlarmMailVon', "
                                  "'logger@example.org'), ('AlarmMailAn', "
                                  "'technik@example.org'), ('AlarmWebhook', '%2')")
                       .arg(sink.url(), receiver.url())
                 : QString()));
    start();
    const QString limit =
        QStringLiteral("Alarm: Sensor 'Vorlauf' (Nr. 7): Mittelwert 21.5 über dem Maximum 20.");
    const QString silent = QStringLiteral("Alarm: Gerät 'Aus' (Nr. 20, %1) antwortet nicht: 2 "
                                          "Abfragen in Folge erfolglos seit ")
                               .arg(m_aus.address());
    // By mail (its body in base64 after the headers) and by webhook.
    const auto sent = [&](const QString &text) {
        QByteArray mailed;
        for (const SmtpSink::Mail &mail : sink.mails()) {
            mailed += QByteArray::fromBase64(mail.data.mid(mail.data.indexOf("\r\n\r\n") + 4));
        }
        return QString::fromUtf8(mailed).contains(text)
               && QString::fromUtf8(receiver.bodies().join()).contains(text);
    };
    if (!alarm) {
        QTRY_VERIFY_WITH_TIMEOUT(
            (readOutput(), m_out.count(QStringLiteral("Datenholung von Aus"))) >= 6, 20000);
    } else if (webhookStatus == 0) {
        QTRY_VERIFY_WITH_TIMEOUT(receiver.requestCount() > 0, 20000);
    } else {
        QVERIFY(waitForOutput(limit) && waitForOutput(silent));
        QVERIFY(waitForOutput(QStringLiteral(" (Verbindung abgelehnt oder Gerät nicht "
                                             "erreichbar).")));
        QTRY_VERIFY_WITH_TIMEOUT(sent(limit) && sent(silent), 20000);
    }
    QCOMPARE(stop(), 0);
    if (!alarm) {
        static const QRegularExpression plainLogs(
            QStringLiteral("^(Vorlauf:  21\\.5\nAussen: -3\\.25\nDatenholung von Aus war "
                           "erfolglos\\.\n\n\\d\\d:\\d\\d:\\d\\d \\d\\d\\.\\d\\d\\.\\d{4}\n\n)+$"));
        QVERIFY2(plainLogs.match(m_out).hasMatch(), qPrintable(m_out));
        // Only the journal's one line for the device that fails from the first pass on.
        QCOMPARE(m_err, QStringLiteral("pelvarod: Gerät 'Aus' (Nr. 20, %1) antwortet nicht: "
                                       "Verbindung abgelehnt oder Gerät nicht erreichbar.\n")
                            .arg(m_aus.address()));
    } else {
        QVERIFY2(m_err.contains(err), qPrintable(m_err));
    }
}

QTEST_GUILESS_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
