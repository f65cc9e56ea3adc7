#include "devicesim/devicesimulator.h"
#include "support/programprocess.h"
#include "support/serverschema.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using Behaviour = DeviceSimulator::Behaviour;

namespace {

const QString kSettings = QStringLiteral(
    "DELETE FROM Einstellungen;"
    "INSERT INTO Einstellungen (Parameter, Wert) VALUES ('MessIntervall', 1), ('Messungen', 2);");

} // namespace

// The real executable against the throwaway PostgreSQL server: start-up failures as with an
// SQLite file, and several sites logging into one server at the same time, one of them through
// ODBC.
class tst_Server : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void startupFailures_data();
    void startupFailures();
    void sitesLogIntoOneServerAtOnce();
};

void tst_Server::startupFailures_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("message");
    QString fiftyOne = QStringLiteral("INSERT INTO Geraete VALUES (2, 'h', 'G')");
    for (int i = 3; i <= 51; ++i) {
        fiftyOne += QStringLiteral(", (%1, 'h', 'G')").arg(i);
    }
    const QString socket = QStringLiteral("?host=") + ServerSchema::socketFolder();
    QTest::newRow("missing table")
        << "DROP TABLE Sensoren"
        << ""
        << "Laufzeitfehler 3078: Die Tabelle 'Sensoren' fehlt in der Datenbank '%1'.";
    QTest::newRow("table without Reihenfolge")
        << "ALTER TABLE Geraete DROP COLUMN Reihenfolge"
        << ""
        << "Laufzeitfehler 3265: Die Spalte 'Reihenfolge' fehlt in der Tabelle 'Geraete' der "
           "Datenbank '%1'.";
    QTest::newRow("empty table") << "DELETE FROM Sensoren"
                                 << ""
                                 << "die Tabelle 'Sensoren' der Datenbank '%1' ist leer";
    QTest::newRow("null integer")
        << "ALTER TABLE Geraete ALTER COLUMN ID DROP NOT NULL;"
           "INSERT INTO Geraete VALUES (NULL, 'h', 'G')"
        << ""
        << "Laufzeitfehler 94: Tabelle 'Geraete', Zeile 2: Spalte 'ID': Unzulässige Verwendung "
           "von Null";
    QTest::newRow("null setting")
        << "INSERT INTO Einstellungen (Parameter, Wert) VALUES ('Messungen', NULL)"
        << ""
        << "Tabelle 'Einstellungen', Zeile 3: Spalte 'Wert': Unzulässige Verwendung von Null";
    QTest::newRow("51st device") << fiftyOne << ""
                                 << "Laufzeitfehler 9: Tabelle 'Geraete', Zeile 51: Index "
                                    "außerhalb des gültigen Bereichs: GeraetID(51)";
    QTest::newRow("server unreachable")
        << ""
        << "postgresql://pelvaro@/pelvaro" + socket + "/nirgends"
        << "Laufzeitfehler 3151: Keine Verbindung zum Datenbankserver '%1': connection to server "
           "on socket";
    QTest::newRow("password in the URI")
        << ""
        << "postgresql://pelvaro:geheim@/pelvaro" + socket
        << "'postgresql://pelvaro:***@/pelvaro" + socket + "' enthält ein Passwort";
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
    if (database.isEmpty()) {
        database = schema.uri();
    }
    const QString tablesQuery = QStringLiteral(
        "SELECT tablename FROM pg_tables WHERE schemaname = current_schema() ORDER BY 1");
    const QList<QVariantList> tablesBefore = schema.rows(tablesQuery);
    const ProcessResult result =
        runPelvaro({QStringLiteral("--headless"), QStringLiteral("--database"), database});
    QVERIFY(result.finished);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 1);
    const QString err = QString::fromLocal8Bit(result.err);
    QVERIFY2(err.contains(message.replace(QStringLiteral("%1"), database)), qPrintable(err));
    QVERIFY(!err.contains(QLatin1String("geheim")));
    QCOMPARE(result.out, QByteArray());
    // Tables are never created by the program, not even a missing one.
    QCOMPARE(schema.rows(tablesQuery), tablesBefore);
}

void tst_Server::sitesLogIntoOneServerAtOnce()
{
    // One Werte for all sites; each row says whose it is through its default, the first schema
    // of the inserting logger's search_path.
    const ServerSchema shared(false);
    shared.exec(QStringLiteral("CREATE TABLE Werte (SensorNummer integer NOT NULL, "
                               "Zeit timestamp NOT NULL, MessWert double precision NOT NULL, "
                               "Standort text NOT NULL DEFAULT current_schema())"));
    const ServerSchema nord;
    const ServerSchema sued;
    const ServerSchema west;

    // Readings of 15 significant digits, which is what a stored average keeps: the average of
    // two equal readings is the reading itself, and every digit must reach the server.
    DeviceSimulator heizung;
    DeviceSimulator aus;
    DeviceSimulator boden;
    DeviceSimulator dach;
    for (DeviceSimulator *device : {&heizung, &aus, &boden, &dach}) {
        QVERIFY(device->listen());
    }
    heizung.setSensorCount(2);
    heizung.setFixedReadings({21.2333333333333, -3.25});
    aus.setBehaviour(Behaviour::Refused);
    boden.setSensorCount(1);
    boden.setFixedReadings({0.233333333333333});
    dach.setSensorCount(1);
    dach.setFixedReadings({-0.233333333333333});

    // Inserted in the wrong order on purpose: Reihenfolge, not insertion, makes Heizung device 1.
    nord.exec(kSettings
              + QStringLiteral("DROP TABLE Werte;"
                               "INSERT INTO Geraete VALUES (20, '%1', 'Aus', 2), "
                               "(10, '%2', 'Heizung', 1);"
                               "INSERT INTO Sensoren VALUES (7, 1, 1, 'Vorlauf'), "
                               "(8, 1, 2, 'Aussen'), (9, 2, 1, 'Keller')")
                    .arg(aus.address(), heizung.address()));
    sued.exec(kSettings
              + QStringLiteral("DROP TABLE Werte; INSERT INTO Geraete VALUES (1, '%1', 'Sued');"
                               "INSERT INTO Sensoren VALUES (7, 1, 1, 'Boden')")
                    .arg(boden.address()));
    west.exec(kSettings
              + QStringLiteral("DROP TABLE Werte; INSERT INTO Geraete VALUES (1, '%1', 'West');"
                               "INSERT INTO Sensoren VALUES (7, 1, 1, 'Dach')")
                    .arg(dach.address()));

    // West goes through unixODBC and PostgreSQL's ODBC driver, registered in a folder of its own
    // so that nothing of the system's ODBC configuration is used or touched.
    const QStringList drivers = QDir(QStringLiteral("/usr/lib")).entryList({"*-linux-gnu"});
    QString odbcDriver;
    for (const QString &triple : drivers) {
        const QString candidate = QStringLiteral("/usr/lib/%1/odbc/psqlodbcw.so").arg(triple);
        if (QFile::exists(candidate)) {
            odbcDriver = candidate;
        }
    }
    QVERIFY2(!odbcDriver.isEmpty(), "psqlodbcw.so missing (Debian package odbc-postgresql)");
    QTemporaryDir odbcConfig;
    QFile odbcinst(odbcConfig.filePath(QStringLiteral("odbcinst.ini")));
    QVERIFY(odbcinst.open(QIODevice::WriteOnly));
    odbcinst.write("[PostgreSQL Unicode]\nDriver=" + odbcDriver.toUtf8() + "\n");
    odbcinst.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ODBCSYSINI"), odbcConfig.path());
    environment.insert(QStringLiteral("ODBCINI"), odbcConfig.filePath(QStringLiteral("odbc.ini")));
    const QString westSource =
        QStringLiteral("odbc:DRIVER={PostgreSQL Unicode};Server=%1;Database=pelvaro;"
                       "Username=pelvaro;pqopt={options=-csearch_path=%2,%3}")
            .arg(ServerSchema::socketFolder(), west.name(), shared.name());

    std::vector<std::unique_ptr<QProcess>> loggers;
    for (const QString &database : {nord.uri(shared.name()), sued.uri(shared.name()), westSource}) {
        auto &logger = loggers.emplace_back(std::make_unique<QProcess>());
        logger->setProcessEnvironment(environment);
        logger->start(pelvaroExecutable(),
                      {QStringLiteral("--headless"), QStringLiteral("--database"), database});
        QVERIFY(logger->waitForStarted());
    }
    // Two stores of every site; the test's event loop serves the devices meanwhile.
    const auto stored = [&](const ServerSchema &site) {
        return shared.rows(QStringLiteral("SELECT SensorNummer, MessWert FROM Werte "
                                          "WHERE Standort = '%1' ORDER BY Zeit, ctid")
                               .arg(site.name()));
    };
    QTRY_VERIFY_WITH_TIMEOUT(
        stored(nord).size() >= 4 && stored(sued).size() >= 2 && stored(west).size() >= 2, 30000);
    for (const auto &logger : loggers) {
        QVERIFY(logger->state() == QProcess::Running);
        ::kill(static_cast<pid_t>(logger->processId()), SIGTERM);
        QVERIFY(logger->waitForFinished(10000));
        QCOMPARE(logger->exitCode(), 0);
        QVERIFY2(logger->readAllStandardError().isEmpty(), "a logger reported an error");
    }

    // The values below 1 go into the statement without a digit before the point (" .2333...").
    const QList<QVariantList> nordRows = stored(nord);
    QCOMPARE(nordRows.size() % 2, 0);
    for (qsizetype i = 0; i < nordRows.size(); i += 2) {
        QCOMPARE(nordRows.mid(i, 2), (QList<QVariantList>{{7, 21.2333333333333}, {8, -3.25}}));
    }
    for (const QVariantList &row : stored(sued)) {
        QCOMPARE(row, (QVariantList{7, 0.233333333333333}));
    }
    for (const QVariantList &row : stored(west)) {
        QCOMPARE(row, (QVariantList{7, -0.233333333333333}));
    }
}

QTEST_GUILESS_MAIN(tst_Server)
#include "tst_server.moc"
