#include "devicesim/devicesimulator.h"
#include "support/programprocess.h"
#include "support/serverschema.h"
#include "support/sqlfixture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

// The real executable against the throwaway PostgreSQL server.
class tst_Server : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void startupFailures_data();
    void startupFailures();
    void twoSitesLogIntoOneServerAtOnce();
    void rowsOutliveAnOutageAndRefusals();
};

// What only a server can get wrong at start-up; the checks of the tables' contents are the same
// code as for an SQLite file, pinned by tst_startup. %1 in the message is the database named.
void tst_Server::startupFailures_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QString>("database");
    QTest::addColumn<QString>("message");
    const auto row = [](const char *name, const QString &sql, const QString &database,
                        const char *message) {
        QTest::newRow(name) << sql << database << QString::fromUtf8(message);
    };
    const QString socket = QStringLiteral("@/pelvaro?host=") + ServerSchema::socketFolder();
    row("missing table", "DROP TABLE Sensoren", "",
        "Laufzeitfehler 3078: Die Tabelle 'Sensoren' fehlt in der Datenbank '%1'.");
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
    const ProcessResult result = runPelvaro({"--headless", "--database", database});
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
    QVERIFY(heizung.listen() && aus.listen() && dach.listen());
    heizung.setSensorCount(2);
    heizung.setFixedReadings({21.2333333333333, 0.233333333333333});
    aus.setBehaviour(DeviceSimulator::Behaviour::Refused);
    dach.setSensorCount(1);
    dach.setFixedReadings({-0.233333333333333});
    // Inserted in the wrong order on purpose: Reihenfolge, not insertion, makes Heizung device 1.
    nord.exec(QStringLiteral("ALTER TABLE Werte ADD Standort text DEFAULT current_schema();")
              + loggerSetup(2,
                            QStringLiteral("(20, '%1', 'Aus', 2), (10, '%2', 'Heizung', 1)")
                                .arg(aus.address(), heizung.address()),
                            QStringLiteral("(7, 1, 1, 'Vorlauf'), (8, 1, 2, 'Aussen'), "
                                           "(9, 2, 1, 'Keller')")));
    west.exec(QStringLiteral("DROP TABLE Werte;")
              + loggerSetup(2, QStringLiteral("(1, '%1', 'West')").arg(dach.address()),
                            QStringLiteral("(7, 1, 1, 'Dach')")));

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
        QVERIFY(startPelvaro(loggers[i], sources[i]));
    }
    const auto stored = [&](const ServerSchema &site) {
        return nord.rows(QStringLiteral("SELECT SensorNummer, MessWert FROM Werte WHERE "
                                        "Standort = '%1' ORDER BY Zeit, ctid")
                             .arg(site.name()));
    };
    // Two stores of each; the test's event loop serves the devices meanwhile.
    QTRY_VERIFY_WITH_TIMEOUT(stored(nord).size() >= 4 && stored(west).size() >= 2, 30000);
    // Nothing but the journal's line for Nord's device that never answers.
    const QString journal[2] = {
        QStringLiteral("pelvarod: Gerät 'Aus' (Nr. 20, %1) antwortet nicht: Verbindung abgelehnt "
                       "oder Gerät nicht erreichbar.\n")
            .arg(aus.address()),
        QString()};
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(stopPelvaro(loggers[i]), 0);
        QCOMPARE(QString::fromUtf8(loggers[i].readAllStandardError()), journal[i]);
    }
    const QList<QVariantList> nordRows = stored(nord);
    for (qsizetype i = 0; i < nordRows.size(); i += 2) {
        QCOMPARE(nordRows.mid(i, 2),
                 (QList<QVariantList>{{7, 21.2333333333333}, {8, 0.233333333333333}}));
    }
    for (const QVariantList &row : stored(west)) {
        QCOMPARE(row, (QVariantList{7, -0.233333333333333}));
    }
}

// Sensor 8 reads a value the server's CHECK refuses, and the server goes away for a while: the
// program keeps polling, and every store's rows arrive afterwards with their own time stamps, none
// twice, the refused ones in their file with the server's reason. Sensor 8 is stored again once
// it reads normal values.
void tst_Server::rowsOutliveAnOutageAndRefusals()
{
    ServerSchema schema;
    DeviceSimulator device;
    QVERIFY(device.listen());
    device.setSensorCount(2);
    device.setFixedReadings({21.5, 5000});
    // One store per pass, so every second has its rows.
    schema.exec(QStringLiteral("ALTER TABLE Werte ADD CHECK (MessWert < 1000);")
                + loggerSetup(1, QStringLiteral("(10, '%1', 'Heizung')").arg(device.address()),
                              QStringLiteral("(7, 1, 1, 'Vorlauf'), (8, 1, 2, 'Kessel')")));
    QTemporaryDir state;
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("STATE_DIRECTORY"), state.path());
    program.setProcessEnvironment(environment);
    QVERIFY(startPelvaro(program, schema.uri()));
    const auto refused = [&] {
        const QStringList files = QDir(state.path()).entryList({"*.abgelehnt"});
        return fileText(state.filePath(files.value(0))).split('\n', Qt::SkipEmptyParts);
    };
    QTRY_VERIFY_WITH_TIMEOUT(refused().size() >= 3, 15000);

    const QDateTime away = QDateTime::currentDateTime();
    ServerSchema::serverScript("pause");
    // Five failed stores while the test's event loop serves the device.
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT((out += program.readAllStandardOutput()).count("Messwerte warten") >= 5
                                 || program.state() != QProcess::Running,
                             30000);
    const bool pollingWhileAway = program.state() == QProcess::Running;
    const QDateTime back = QDateTime::currentDateTime();
    device.setFixedReadings({21.5, 22.5});
    ServerSchema::serverScript("resume");
    QVERIFY2(pollingWhileAway, program.readAllStandardError().constData());
    const auto rows = [&](int sensor) {
        return schema.rows(QStringLiteral("SELECT to_char(Zeit, 'YYYY-MM-DD HH24:MI:SS'), "
                                          "MessWert FROM Werte WHERE SensorNummer = %1")
                               .arg(sensor));
    };
    // A store after the server is back brings the waiting rows along with its own.
    QTRY_VERIFY_WITH_TIMEOUT(rows(8).size() >= 2, 20000);
    QCOMPARE(stopPelvaro(program), 0);

    QStringList stamps;
    int duringOutage = 0;
    for (const QVariantList &row : rows(7)) {
        QCOMPARE(row.at(1).toDouble(), 21.5);
        const QString zeit = row.at(0).toString();
        QVERIFY2(!stamps.contains(zeit), qPrintable(zeit + QStringLiteral(" twice")));
        stamps << zeit;
        const QDateTime when = QDateTime::fromString(zeit, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        duringOutage += when > away.addSecs(1) && when < back.addSecs(-1);
    }
    // Stamped when their store ran, not when they were finally written.
    QVERIFY2(duringOutage >= 3, qPrintable(QString::number(duringOutage)));
    // Each pass logs its time, and each pass stores: one row per pass, the last pass's store
    // perhaps cut off by the stop.
    static const QRegularExpression passTime(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d \\d\\d\\.\\d"),
                                             QRegularExpression::MultilineOption);
    const qsizetype passes =
        QString::fromUtf8(out + program.readAllStandardOutput()).count(passTime);
    QVERIFY2(stamps.size() == passes || stamps.size() == passes - 1,
             qPrintable(QStringLiteral("%1 rows, %2 passes").arg(stamps.size()).arg(passes)));
    const QStringList lines = refused();
    QCOMPARE(lines.first(), "SensorNummer;Zeit;MessWert;Grund");
    for (const QString &line : lines.mid(1)) {
        const QStringList fields = line.split(';');
        QCOMPARE(fields.size(), 4);
        QCOMPARE(fields.at(0), "8");
        QCOMPARE(fields.at(2), "5000");
        QVERIFY2(fields.at(3).contains("violates check constraint"), qPrintable(line));
        QVERIFY2(stamps.contains(fields.at(1)), qPrintable(fields.at(1) + " not stored for 7"));
    }
    for (const QVariantList &row : rows(8)) {
        QCOMPARE(row.at(1).toDouble(), 22.5);
    }
}

QTEST_GUILESS_MAIN(tst_Server)
#include "tst_server.moc"
