#include "devicesim/devicesimulator.h"
#include "support/programprocess.h"
#include "support/serverschema.h"
#include "support/tempdatabase.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

// The real executable ended the hard way, by kill -9 as the OOM killer, a crash or a pulled plug
// would end it, and on storage as slow as an SD card (a preloaded library makes every sync wait):
// whatever a pass reported as stored or waiting is in Werte exactly once after the next start.
class tst_Durability : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void killedAtAnyMoment_data();
    void killedAtAnyMoment();
    void slowDiskStopsAtOnce();

private:
    // One run of the program on the database, its stdout added to m_out when it is stopped.
    std::unique_ptr<QProcess> launch(const QString &database, int slowSyncMs,
                                     const QStringList &extra = {});
    void kill9(QProcess &process);
    int stop(QProcess &process);
    bool waitForOutput(QProcess &process, const QString &text, int times);
    // Each pass ends its log with its time, once its store has written its rows or made them wait.
    qsizetype passes() const { return m_out.count(m_passTime); }
    // Every store holds both sensors' rows under a Zeit of its own (stores are a second or more
    // apart); the number of stores, or -1 when a Zeit holds anything else.
    static int stores(const SqlFixture &database);
    // Stundenwerte as SQL computes them from Werte for every hour before the open one: "Stunde
    // Sensor Anzahl Minimum Summe Maximum" lines, first as the table holds them, then from Werte.
    static std::pair<QStringList, QStringList> figures(const SqlFixture &database, bool server);

    DeviceSimulator m_device;
    QTemporaryDir m_state;
    QString m_out;
    const QRegularExpression m_passTime{QStringLiteral("^\\d\\d:\\d\\d:\\d\\d \\d\\d\\.\\d\\d\\."),
                                        QRegularExpression::MultilineOption};
};

void tst_Durability::initTestCase()
{
    QVERIFY(m_device.listen());
    m_device.setSensorCount(2);
    m_device.setFixedReadings({21.5, -3.25});
    QVERIFY(QFileInfo::exists(QStringLiteral(PELVARO_SLOWSYNC)));
}

std::unique_ptr<QProcess> tst_Durability::launch(const QString &database, int slowSyncMs,
                                                 const QStringList &extra)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("STATE_DIRECTORY"), m_state.path());
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(PELVARO_SLOWSYNC));
    environment.insert(QStringLiteral("PELVARO_SLOW_SYNC_MS"), QString::number(slowSyncMs));
    // Under the sanitizers their runtime must otherwise come first of all preloaded libraries.
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       environment.value(QStringLiteral("ASAN_OPTIONS"))
                           + QStringLiteral(":verify_asan_link_order=0"));
    process->setProcessEnvironment(environment);
    if (extra.isEmpty()) {
        startPelvaro(*process, database);
    } else {
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        process->setProcessEnvironment(environment);
        process->start(pelvarodExecutable(),
                       QStringList{QStringLiteral("--database"), database} + extra);
    }
    return process->waitForStarted() ? std::move(process) : nullptr;
}

void tst_Durability::kill9(QProcess &process)
{
    process.kill();
    QVERIFY(process.waitForFinished(5000));
    m_out += QString::fromUtf8(process.readAllStandardOutput());
}

int tst_Durability::stop(QProcess &process)
{
    const int code = stopPelvaro(process);
    m_out += QString::fromUtf8(process.readAllStandardOutput());
    return code;
}

bool tst_Durability::waitForOutput(QProcess &process, const QString &text, int times)
{
    QString seen;
    const bool found = QTest::qWaitFor(
        [&] {
            seen += QString::fromUtf8(process.readAllStandardOutput());
            return seen.count(text) >= times;
        },
        20000);
    m_out += seen;
    return found;
}

int tst_Durability::stores(const SqlFixture &database)
{
    const QList<QVariantList> zeiten = database.rows(
        QStringLiteral("SELECT count(*), sum(CASE WHEN SensorNummer = 7 AND MessWert = 21.5 THEN 1 "
                       "END), sum(CASE WHEN SensorNummer = 8 AND MessWert = -3.25 THEN 1 END) "
                       "FROM Werte WHERE SensorNummer <> 9 GROUP BY Zeit"));
    for (const QVariantList &zeit : zeiten) {
        if (zeit.at(0).toInt() != 2 || zeit.at(1).toInt() != 1 || zeit.at(2).toInt() != 1) {
            return -1;
        }
    }
    return int(zeiten.size());
}

std::pair<QStringList, QStringList> tst_Durability::figures(const SqlFixture &database, bool server)
{
    const QString hour = server ? QStringLiteral("to_char(date_trunc('hour', %1), "
                                                 "'YYYY-MM-DD HH24:MI:SS')")
                                : QStringLiteral("substr(%1, 1, 13) || ':00:00'");
    const QString open =
        QStringLiteral("(SELECT %1 FROM Werte ORDER BY Zeit DESC LIMIT 1)").arg(hour.arg("Zeit"));
    const auto lines = [&database](const QString &query) {
        QStringList lines;
        for (const QVariantList &row : database.rows(query)) {
            QStringList fields;
            for (const QVariant &field : row) {
                fields << field.toString();
            }
            lines << fields.join(QLatin1Char(' '));
        }
        return lines;
    };
    return {lines(QStringLiteral("SELECT %1 AS s, SensorNummer, Anzahl, Minimum, Summe, Maximum "
                                 "FROM Stundenwerte ORDER BY s, SensorNummer")
                      .arg(hour.arg("Stunde"))),
            lines(QStringLiteral("SELECT %1 AS s, SensorNummer, count(*), min(MessWert), "
                                 "sum(MessWert), max(MessWert) FROM Werte WHERE %1 < %2 GROUP BY "
                                 "s, SensorNummer ORDER BY s, SensorNummer")
                      .arg(hour.arg("Zeit"), open))};
}

void tst_Durability::killedAtAnyMoment_data()
{
    QTest::addColumn<bool>("server");
    // outage: while the store fails; ending: in the store that writes the waiting rows at last;
    // start: while a start takes the recovery file in.
    QTest::addColumn<QString>("moment");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("slowSyncMs");
    QTest::newRow("SQLite, locked, killed during the lock") << false << "outage" << 0 << 0;
    QTest::newRow("SQLite, killed in an append of the file") << false << "outage" << 300 << 200;
    for (const int delay : {0, 250, 600}) {
        QTest::addRow("SQLite, killed %d ms into the ending store", delay)
            << false << "ending" << delay << 120;
    }
    QTest::newRow("SQLite, killed in the take-in") << false << "start" << 100 << 120;
    QTest::newRow("PostgreSQL, killed while away") << true << "outage" << 200 << 0;
    QTest::newRow("PostgreSQL, killed in the ending store") << true << "ending" << 150 << 120;
    QTest::newRow("PostgreSQL, killed in the take-in") << true << "start" << 100 << 120;
}

void tst_Durability::killedAtAnyMoment()
{
    QFETCH(bool, server);
    QFETCH(QString, moment);
    QFETCH(int, delayMs);
    QFETCH(int, slowSyncMs);
    m_out.clear();
    std::unique_ptr<ServerSchema> schema;
    std::unique_ptr<TempDatabase> file;
    if (server) {
        schema = std::make_unique<ServerSchema>();
    } else {
        file = std::make_unique<TempDatabase>();
    }
    const SqlFixture &database = server ? static_cast<const SqlFixture &>(*schema) : *file;
    const QString name = server ? schema->uri() : file->path();
    database.exec(loggerSetup(1, QStringLiteral("(10, '%1', 'Heizung')").arg(m_device.address()),
                              QStringLiteral("(7, 1, 1, 'Vorlauf'), (8, 1, 2, 'Aussen')")));
    // Rows of ten old hours that the figures do not hold yet: the program takes them in between
    // its stores, and the kills fall into that too.
    QStringList old;
    for (int i = 0; i < 30; ++i) {
        old << QStringLiteral("(9, '2025-06-01 %1:%2:00', %3)")
                   .arg(i / 3, 2, 10, QLatin1Char('0'))
                   .arg(i % 3 * 20, 2, 10, QLatin1Char('0'))
                   .arg(i % 7 - 2.5);
    }
    database.exec(QStringLiteral("INSERT INTO Werte VALUES ") + old.join(QLatin1Char(',')));
    std::shared_ptr<void> lock;
    const auto outage = [&](bool on) {
        if (server) {
            ServerSchema::serverScript(on ? "pause" : "resume");
        } else {
            lock = on ? database.hold({QStringLiteral("BEGIN EXCLUSIVE")}) : nullptr;
        }
    };
    int kills = 0;

    std::unique_ptr<QProcess> program = launch(name, slowSyncMs);
    QVERIFY(program);
    QTRY_VERIFY_WITH_TIMEOUT(stores(database) >= 1, 20000);
    outage(true);
    QVERIFY(waitForOutput(*program, QStringLiteral("Messwerte warten."), 1));
    if (moment == QLatin1String("outage")) {
        QTest::qWait(delayMs);
        kill9(*program);
        outage(false);
    } else if (moment == QLatin1String("ending")) {
        outage(false);
        QTest::qWait(delayMs);
        kill9(*program);
    } else {
        kill9(*program);
        outage(false);
        program = launch(name, slowSyncMs);
        QVERIFY(program);
        QTest::qWait(delayMs);
        kill9(*program);
        ++kills;
    }
    ++kills;

    program = launch(name, 0);
    QVERIFY(program);
    const qsizetype before = passes();
    QVERIFY(waitForOutput(*program, QStringLiteral("\n\n"), 2));
    QCOMPARE(stop(*program), 0);
    QVERIFY(passes() > before);
    const int stored = stores(database);
    QVERIFY2(stored >= passes() && stored <= passes() + kills,
             qPrintable(QStringLiteral("%1 stores, %2 passes logged").arg(stored).arg(passes())));
    const auto [held, fromWerte] = figures(database, server);
    QVERIFY(held.size() >= 10);
    QCOMPARE(held, fromWerte);
    if (!server) {
        QCOMPARE(database.rows(QStringLiteral("PRAGMA integrity_check")).value(0).value(0),
                 QVariant(QStringLiteral("ok")));
    }
    const QDir folder = server ? QDir(m_state.path()) : QFileInfo(name).dir();
    QCOMPARE(folder.entryList({"*.ausstehend*"}, QDir::Files | QDir::System), QStringList());
}

// SIGTERM while a store waits for its disk: the page answers meanwhile, the program ends (the
// time it takes is measured in the benchmarks), and every row is in Werte once after the next
// start, those it could not confirm taken in from the recovery file.
void tst_Durability::slowDiskStopsAtOnce()
{
    m_out.clear();
    TempDatabase database;
    database.exec(loggerSetup(1, QStringLiteral("(10, '%1', 'Heizung')").arg(m_device.address()),
                              QStringLiteral("(7, 1, 1, 'Vorlauf'), (8, 1, 2, 'Aussen')")));
    // A store makes several syncs: far longer than a page's answer takes.
    std::unique_ptr<QProcess> program =
        launch(database.path(), 700, {QStringLiteral("--status"), QStringLiteral("127.0.0.1:0")});
    QVERIFY(program);
    QByteArray err;
    const QRegularExpression listening(
        QStringLiteral("Statusseite: http://127\\.0\\.0\\.1:(\\d+)/"));
    QTRY_VERIFY_WITH_TIMEOUT((err += program->readAllStandardError(),
                              listening.match(QString::fromUtf8(err)).hasMatch()),
                             15000);
    const quint16 port = listening.match(QString::fromUtf8(err)).captured(1).toUShort();
    QVERIFY(waitForOutput(*program, QStringLiteral("\n\n"), 4));
    // A poll's readings are out; its store has begun.
    QVERIFY(waitForOutput(*program, QStringLiteral("Aussen:"), 1));
    QTcpSocket page;
    page.connectToHost(QStringLiteral("127.0.0.1"), port);
    QVERIFY(page.waitForConnected(5000));
    page.write("GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    while (!answer.contains("ok\n") && page.waitForReadyRead(5000)) {
        answer += page.readAll();
    }
    QVERIFY2(answer.startsWith("HTTP/1.1 200"), answer.constData());
    const QString duringStore = QString::fromUtf8(program->readAllStandardOutput());
    m_out += duringStore;
    QVERIFY2(!duringStore.contains(m_passTime), "the store ended before the page answered");
    ::kill(static_cast<pid_t>(program->processId()), SIGTERM);
    QTRY_VERIFY_WITH_TIMEOUT(program->state() == QProcess::NotRunning, 5000);
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(program->exitCode(), 0);
    m_out += QString::fromUtf8(program->readAllStandardOutput());
    // The pass log: readings, blank lines and pass times, nothing else.
    static const QRegularExpression passLog(QStringLiteral(
        "^((Vorlauf|Aussen): +-?[0-9.]+|\\d\\d:\\d\\d:\\d\\d \\d\\d\\.\\d\\d\\.\\d{4}|)$"));
    for (const QString &line : m_out.split('\n')) {
        QVERIFY2(passLog.match(line).hasMatch(), qPrintable(line));
    }

    program = launch(database.path(), 0);
    QVERIFY(program);
    const qsizetype before = passes();
    QVERIFY(waitForOutput(*program, QStringLiteral("\n\n"), 3));
    QCOMPARE(stop(*program), 0);
    QVERIFY(passes() > before);
    const int stored = stores(database);
    QVERIFY2(stored >= passes() && stored <= passes() + 1,
             qPrintable(QStringLiteral("%1 stores, %2 passes logged").arg(stored).arg(passes())));
}

QTEST_GUILESS_MAIN(tst_Durability)
#include "tst_durability.moc"
