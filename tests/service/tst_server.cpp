#include "devicesim/devicesimulator.h"
#include "runtime/runtimeerror.h"
#include "storage/database.h"
#include "storage/dbbackend.h"
#include "storage/dbengine.h"
#include "storage/postgresbackend.h"
#include "support/programprocess.h"
#include "support/serverschema.h"

#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const QString kSettings = QStringLiteral(
    "DELETE FROM Einstellungen;"
    "INSERT INTO Einstellungen (Parameter, Wert) VALUES ('MessIntervall', 1), ('Messungen', %1);");

QStringList databaseArguments(const QString &database)
{
    return {QStringLiteral("--headless"), QStringLiteral("--database"), database};
}

int stop(QProcess &program)
{
    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    return program.waitForFinished(10000) ? program.exitCode() : -1;
}

} // namespace

// The real executable against the throwaway PostgreSQL server, and how --database names become
// connections.
class tst_Server : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void databaseNames_data();
    void databaseNames();
    void startupFailures_data();
    void startupFailures();
    void twoSitesLogIntoOneServerAtOnce();
    void everyStoreArrivesAfterTheServerIsBack();
};

// A PostgreSQL URI as the libpq options it becomes, or the message it is refused with (which
// never holds the password).
void tst_Server::databaseNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, const char *uri, const char *expected) {
        QTest::newRow(name) << QString::fromUtf8(uri) << QString::fromUtf8(expected);
    };
    row("socket folder, schema, user, quote and backslash",
        "postgresql://logger@/m?host=/run/pg&options=-csearch_path=nord,public"
        "&application_name=it%27s%5C",
        "user='logger' dbname='m' host='/run/pg' options='-csearch_path=nord,public' "
        "application_name='it\\'s\\\\'");
    row("IPv6 address, ports, two hosts", "postgresql://[::1]:5433,db2:5434/x",
        "host='::1,db2' port='5433,5434' dbname='x'");
    row("password as parameter", "postgres://db/m?sslmode=require&password=geheim",
        "'postgres://db/m?sslmode=require&password=***' enthält ein Passwort");
    row("ODBC password in braces", "odbc:DRIVER={X};Password={ge;heim};DBQ=a.mdb",
        "'odbc:DRIVER={X};Password=***;DBQ=a.mdb' enthält ein Passwort");
    // The driver would make a ';' a blank, and so split the value.
    row("';' in a value", "postgresql:///db?application_name=a%3Bb",
        "ein ';' im Wert von 'application_name'");
}

void tst_Server::databaseNames()
{
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QString result;
    bool refused = false;
    try {
        const std::unique_ptr<DbBackend> backend = DbBackend::forName(name);
        const auto *postgres = dynamic_cast<const PostgresBackend *>(backend.get());
        result = postgres ? postgres->connectOptions() : QStringLiteral("accepted");
    } catch (const RuntimeError &error) {
        result = error.description();
        refused = true;
    }
    QVERIFY2(refused ? result.contains(expected) : result == expected, qPrintable(result));
    QVERIFY(!result.contains(QLatin1String("heim")));
}

// As with an SQLite file; %1 in the message is the database named.
void tst_Server::startupFailures_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("message");
    const auto row = [](const char *name, const QString &sql, const QString &database,
                        const char *message) {
        QTest::newRow(name) << sql << database << QString::fromUtf8(message);
    };
    QString fiftyOne = QStringLiteral("INSERT INTO Geraete VALUES (2, 'h', 'G')");
    for (int i = 3; i <= 51; ++i) {
        fiftyOne += QStringLiteral(", (%1, 'h', 'G')").arg(i);
    }
    const QString socket = QStringLiteral("@/pelvaro?host=") + ServerSchema::socketFolder();
    row("missing table", "DROP TABLE Sensoren", "",
        "Laufzeitfehler 3078: Die Tabelle 'Sensoren' fehlt in der Datenbank '%1'.");
    row("table without Reihenfolge", "ALTER TABLE Geraete DROP COLUMN Reihenfolge", "",
        "Laufzeitfehler 3265: Die Spalte 'Reihenfolge' fehlt in der Tabelle 'Geraete'");
    row("empty table", "DELETE FROM Sensoren", "",
        "die Tabelle 'Sensoren' der Datenbank '%1' ist leer");
    row("null integer",
        "ALTER TABLE Geraete ALTER COLUMN ID DROP NOT NULL; INSERT INTO Geraete VALUES (NULL, "
        "'h', 'G')",
        "", "Laufzeitfehler 94: Tabelle 'Geraete', Zeile 2: Spalte 'ID': Unzulässige Verwendung");
    row("51st device", fiftyOne, "",
        "Laufzeitfehler 9: Tabelle 'Geraete', Zeile 51: Index außerhalb des gültigen Bereichs: "
        "GeraetID(51)");
    row("server unreachable", "", "postgresql://pelvaro" + socket + "/nirgends",
        "Laufzeitfehler 3151: Keine Verbindung zum Datenbankserver '%1': connection to server");
    row("password in the URI", "", "postgresql://pelvaro:geheim" + socket,
        "'postgresql://pelvaro:***@/pelvaro?host=");
}

void tst_Server::startupFailures()
{
    QFETCH(QString, sql);
    QFETCH(QString, database);
    QFETCH(QString, message);
    const ServerSchema schema;
    schema.exec(QStringLiteral("INSERT INTO Geraete VALUES (1, '127.0.0.1:9', 'G');"
                               "INSERT INTO Sensoren VALUES (1, 1, 1, 'S');")
                + sql);
    database = database.isEmpty() ? schema.uri() : database;
    const QString tables = QStringLiteral("SELECT tablename FROM pg_tables ORDER BY 1");
    const QList<QVariantList> tablesBefore = schema.rows(tables);
    const ProcessResult result = runPelvaro(databaseArguments(database));
    QCOMPARE(result.exitCode, 1);
    const QString err = QString::fromLocal8Bit(result.err);
    QVERIFY2(err.contains(message.replace(QStringLiteral("%1"), database)), qPrintable(err));
    QVERIFY(!err.contains(QLatin1String("geheim")));
    QCOMPARE(result.out, QByteArray());
    // Tables are never created by the program, not even a missing one.
    QCOMPARE(schema.rows(tables), tablesBefore);
}

// Nord through libpq and West through unixODBC with PostgreSQL's ODBC driver, at the same time,
// into one Werte (Nord's; West's search_path falls through to it): each row tells its site by
// the default of the inserting logger's first schema.
void tst_Server::twoSitesLogIntoOneServerAtOnce()
{
    const ServerSchema nord;
    const ServerSchema west;
    // Readings of 15 significant digits, which is what a stored average keeps: the average of
    // two equal readings is the reading itself, and every digit must reach the server. Values
    // below 1 go into the statement without a digit before the point (" .2333...").
    DeviceSimulator heizung;
    DeviceSimulator aus;
    DeviceSimulator dach;
    for (DeviceSimulator *device : {&heizung, &aus, &dach}) {
        QVERIFY(device->listen());
    }
    heizung.setSensorCount(2);
    heizung.setFixedReadings({21.2333333333333, 0.233333333333333});
    aus.setBehaviour(DeviceSimulator::Behaviour::Refused);
    dach.setSensorCount(1);
    dach.setFixedReadings({-0.233333333333333});
    // Inserted in the wrong order on purpose: Reihenfolge, not insertion, makes Heizung device 1.
    nord.exec(kSettings.arg(2)
              + QStringLiteral("ALTER TABLE Werte ADD Standort text DEFAULT current_schema();"
                               "INSERT INTO Geraete VALUES (20, '%1', 'Aus', 2), (10, '%2', "
                               "'Heizung', 1); INSERT INTO Sensoren VALUES (7, 1, 1, 'Vorlauf'), "
                               "(8, 1, 2, 'Aussen'), (9, 2, 1, 'Keller')")
                    .arg(aus.address(), heizung.address()));
    west.exec(kSettings.arg(2)
              + QStringLiteral("DROP TABLE Werte; INSERT INTO Geraete VALUES (1, '%1', 'West');"
                               "INSERT INTO Sensoren VALUES (7, 1, 1, 'Dach')")
                    .arg(dach.address()));

    // The ODBC driver registered in a folder of its own: the system's ODBC configuration is
    // neither used nor touched.
    QVERIFY2(QFile::exists(QStringLiteral(PELVARO_ODBC_DRIVER)), PELVARO_ODBC_DRIVER);
    QTemporaryDir odbcConfig;
    QFile odbcinst(odbcConfig.filePath(QStringLiteral("odbcinst.ini")));
    QVERIFY(odbcinst.open(QIODevice::WriteOnly));
    odbcinst.write("[PostgreSQL Unicode]\nDriver=" PELVARO_ODBC_DRIVER "\n");
    odbcinst.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ODBCSYSINI"), odbcConfig.path());
    environment.insert(QStringLiteral("ODBCINI"), odbcConfig.filePath(QStringLiteral("odbc.ini")));
    const QString westSource =
        QStringLiteral("odbc:DRIVER={PostgreSQL Unicode};Server=%1;Database=pelvaro;"
                       "Username=pelvaro;pqopt={options=-csearch_path=%2,%3}")
            .arg(ServerSchema::socketFolder(), west.name(), nord.name());
    QProcess loggers[2];
    const QString sources[2] = {nord.uri(), westSource};
    for (int i = 0; i < 2; ++i) {
        loggers[i].setProcessEnvironment(environment);
        loggers[i].start(pelvaroExecutable(), databaseArguments(sources[i]));
    }
    const auto stored = [&](const ServerSchema &site) {
        return nord.rows(QStringLiteral("SELECT SensorNummer, MessWert FROM Werte WHERE "
                                        "Standort = '%1' ORDER BY Zeit, ctid")
                             .arg(site.name()));
    };
    // Two stores of each; the test's event loop serves the devices meanwhile.
    QTRY_VERIFY_WITH_TIMEOUT(stored(nord).size() >= 4 && stored(west).size() >= 2, 30000);
    for (QProcess &logger : loggers) {
        QCOMPARE(stop(logger), 0);
        QVERIFY2(logger.readAllStandardError().isEmpty(), "a logger reported an error");
    }
    const QList<QVariantList> nordRows = stored(nord);
    QCOMPARE(nordRows.size() % 2, 0);
    for (qsizetype i = 0; i < nordRows.size(); i += 2) {
        QCOMPARE(nordRows.mid(i, 2),
                 (QList<QVariantList>{{7, 21.2333333333333}, {8, 0.233333333333333}}));
    }
    for (const QVariantList &row : stored(west)) {
        QCOMPARE(row, (QVariantList{7, -0.233333333333333}));
    }
}

// The server goes away for 20 s while the program runs, then comes back: the program keeps
// polling, and every store's rows arrive afterwards, with their own time stamps, none twice.
void tst_Server::everyStoreArrivesAfterTheServerIsBack()
{
    ServerSchema schema;
    DeviceSimulator device;
    QVERIFY(device.listen());
    device.setSensorCount(1);
    device.setFixedReadings({21.5});
    // One store per pass, so every second has its row.
    schema.exec(kSettings.arg(1)
                + QStringLiteral("INSERT INTO Geraete VALUES (10, '%1', 'Heizung');"
                                 "INSERT INTO Sensoren VALUES (7, 1, 1, 'Vorlauf')")
                      .arg(device.address()));
    const auto rowsAfter = [&](const QDateTime &since) {
        const QString query = QStringLiteral("SELECT Zeit FROM Werte WHERE Zeit > '%1'");
        return schema.rows(query.arg(since.toString(Qt::ISODate))).size();
    };
    QProcess program;
    program.start(pelvaroExecutable(), databaseArguments(schema.uri()));
    QTRY_VERIFY_WITH_TIMEOUT(rowsAfter(QDateTime::currentDateTime().addSecs(-3)) >= 2, 15000);

    const std::unique_ptr<Database> db = DbEngine::instance().OpenDatabase(schema.uri());
    const QDateTime away = QDateTime::currentDateTime();
    ServerSchema::pauseServer();
    // The test's event loop serves the device meanwhile.
    QTest::qWait(20000);
    const bool pollingWhileAway = program.state() == QProcess::Running;
    // What a store can tell the user meanwhile: the server's own words, on one line; and a
    // program that ends now must not fail on closing what broke.
    QString reason;
    const bool reconnectedWhileAway = db->reconnect(&reason);
    bool closed = true;
    try {
        db->Close();
    } catch (const RuntimeError &) {
        closed = false;
    }
    const QDateTime back = QDateTime::currentDateTime();
    ServerSchema::resumeServer();
    QVERIFY2(pollingWhileAway, program.readAllStandardError().constData());
    QVERIFY(!reconnectedWhileAway);
    QVERIFY2(reason.startsWith(QLatin1String("connection to server on socket"))
                 && !reason.contains(QLatin1Char('\n')),
             qPrintable(reason));
    QVERIFY(closed);
    // A store after the server is back brings the waiting rows along with its own.
    QTRY_VERIFY_WITH_TIMEOUT(rowsAfter(back.addSecs(1)) >= 1, 20000);
    QCOMPARE(stop(program), 0);

    const QList<QVariantList> rows = schema.rows(QStringLiteral(
        "SELECT SensorNummer, to_char(Zeit, 'YYYY-MM-DD\"T\"HH24:MI:SS'), MessWert FROM Werte"));
    QSet<QString> stamps;
    int duringOutage = 0;
    for (const QVariantList &row : rows) {
        QCOMPARE(row.at(0).toInt(), 7);
        QCOMPARE(row.at(2).toDouble(), 21.5);
        const QString zeit = row.at(1).toString();
        QVERIFY2(!stamps.contains(zeit), qPrintable(zeit + QStringLiteral(" twice")));
        stamps.insert(zeit);
        const QDateTime when = QDateTime::fromString(zeit, Qt::ISODate);
        duringOutage += when > away.addSecs(1) && when < back.addSecs(-1);
    }
    // Stamped when their store ran, not when they were finally written.
    QVERIFY2(duringOutage >= 10, qPrintable(QString::number(duringOutage)));
    // Each pass logs its time, and each pass stores: one row per pass, the last pass's store
    // perhaps cut off by the stop.
    static const QRegularExpression passTime(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d \\d\\d\\.\\d"),
                                             QRegularExpression::MultilineOption);
    const qsizetype passes = QString::fromUtf8(program.readAllStandardOutput()).count(passTime);
    QVERIFY2(rows.size() == passes || rows.size() == passes - 1,
             qPrintable(QStringLiteral("%1 rows, %2 passes").arg(rows.size()).arg(passes)));
}

QTEST_GUILESS_MAIN(tst_Server)
#include "tst_server.moc"
