#include "support/programprocess.h"
#include "support/tempdatabase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTest>

// Start-up as users meet it: the real executable on a prepared file. Every failure must end the
// program before it shows anything, with exit code 1 and a message that says what is wrong.
class tst_Startup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void failures_data();
    void failures();
    void malformedRecoveryFileIsKept();
    void besideTheExecutableByDefault();
    void windowWithoutDisplay();
    void commandLine_data();
    void commandLine();
};

void tst_Startup::failures_data()
{
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QByteArray>("fileContent");
    QTest::addColumn<QString>("message");
    const QString loose =
        QStringLiteral("DROP TABLE Geraete; CREATE TABLE Geraete (ID, IP, Bezeichnung);");
    const QString looseSensors = QStringLiteral(
        "DROP TABLE Sensoren; CREATE TABLE Sensoren (ID, Geraet, Anschluss, Bezeichnung);");
    QString fiftyOne = QStringLiteral("INSERT INTO Geraete VALUES (2, 'h', 'G')");
    for (int i = 3; i <= 51; ++i) {
        fiftyOne += QStringLiteral(", (%1, 'h', 'G')").arg(i);
    }
    QString hundred = QStringLiteral("INSERT INTO Sensoren VALUES (2, 1, 1, 'S')");
    for (int i = 3; i <= 100; ++i) {
        hundred += QStringLiteral(", (%1, 1, 1, 'S')").arg(i);
    }
    QTest::newRow("no database file")
        << "" << QByteArray("-") << "Laufzeitfehler 3024: Die Datenbank '%1' wurde nicht gefunden.";
    QTest::newRow("not a database")
        << "" << QByteArray("ID;IP\n") << "'%1' ist keine SQLite-Datenbank";
    QTest::newRow("Access 2007 file") << "" << QByteArray("\x00\x01\x00\x00Standard ACE DB\x00", 20)
                                      << "'%1' ist eine Microsoft-Access-Datenbank";
    QTest::newRow("Access 97 file") << "" << QByteArray("\x00\x01\x00\x00Standard Jet DB\x00", 20)
                                    << "'%1' ist eine Microsoft-Access-Datenbank";
    QTest::newRow("damaged SQLite file")
        << "" << QByteArray("SQLite format 3\x00", 16) + QByteArray(200, '\xff')
        << "Die Datenbank '%1' kann nicht geöffnet werden";
    QTest::newRow("missing table")
        << "DROP TABLE Sensoren" << QByteArray() << "Die Tabelle 'Sensoren' fehlt";
    QTest::newRow("missing column")
        << "DROP TABLE Geraete; CREATE TABLE Geraete (ID, IP); INSERT INTO Geraete VALUES (1, 'h')"
        << QByteArray() << "Die Spalte 'Bezeichnung' fehlt in der Tabelle 'Geraete'";
    QTest::newRow("missing Werte")
        << "DROP TABLE Werte" << QByteArray() << "Die Tabelle 'Werte' fehlt in der Datenbank '%1'.";
    QTest::newRow("missing Werte column")
        << "DROP TABLE Werte; CREATE TABLE Werte (SensorNummer, ZEIT, Wert)" << QByteArray()
        << "Die Spalte 'MessWert' fehlt in der Tabelle 'Werte' der Datenbank '%1'.";
    QTest::newRow("empty Geraete") << "DELETE FROM Geraete" << QByteArray()
                                   << "die Tabelle 'Geraete' der Datenbank '%1' ist leer";
    QTest::newRow("empty Sensoren") << "DELETE FROM Sensoren" << QByteArray()
                                    << "die Tabelle 'Sensoren' der Datenbank '%1' ist leer";
    QTest::newRow("empty Einstellungen") << "DELETE FROM Einstellungen" << QByteArray()
                                         << "'Einstellungen' der Datenbank '%1' ist leer";
    QTest::newRow("null integer") << loose + "INSERT INTO Geraete VALUES (NULL, 'h', 'G')"
                                  << QByteArray()
                                  << "Laufzeitfehler 94: Tabelle 'Geraete', Zeile 1: Spalte 'ID': "
                                     "Unzulässige Verwendung von Null";
    QTest::newRow("text in integer")
        << looseSensors + "INSERT INTO Sensoren VALUES (1, 'eins', 1, 'S')" << QByteArray()
        << "Laufzeitfehler 13: Tabelle 'Sensoren', Zeile 1: Spalte 'Geraet': Typen unverträglich: "
           "'eins' ist keine Zahl";
    QTest::newRow("null text")
        << looseSensors + "INSERT INTO Sensoren VALUES (1, 1, 1, NULL)" << QByteArray()
        << "Tabelle 'Sensoren', Zeile 1: Spalte 'Bezeichnung': Unzulässige Verwendung von Null";
    QTest::newRow("null setting")
        << "INSERT INTO Einstellungen VALUES ('Messungen', NULL)" << QByteArray()
        << "Tabelle 'Einstellungen', Zeile 3: Spalte 'Wert': Unzulässige Verwendung von Null";
    QTest::newRow("51st device") << fiftyOne << QByteArray()
                                 << "Laufzeitfehler 9: Tabelle 'Geraete', Zeile 51: Index "
                                    "außerhalb des gültigen Bereichs: GeraetID(51)";
    QTest::newRow("100th sensor") << hundred << QByteArray()
                                  << "Laufzeitfehler 9: Tabelle 'Sensoren', Zeile 100: Index "
                                     "außerhalb des gültigen Bereichs: SensorID(100)";
}

void tst_Startup::failures()
{
    QFETCH(QString, sql);
    QFETCH(QByteArray, fileContent);
    QFETCH(QString, message);
    const bool ownFile = !fileContent.isEmpty();
    TempDatabase database(!ownFile);
    if (!ownFile) {
        database.exec(QStringLiteral("INSERT INTO Geraete VALUES (1, '127.0.0.1:9', 'G');"
                                     "INSERT INTO Sensoren VALUES (1, 1, 1, 'S');")
                      + sql);
    } else if (fileContent != "-") {
        QFile file(database.path());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(fileContent);
    }
    const ProcessResult result = runPelvaro({QStringLiteral("--database"), database.path()});
    QVERIFY(result.finished);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 1);
    const QString err = QString::fromLocal8Bit(result.err);
    QVERIFY2(err.contains(message.replace(QStringLiteral("%1"), database.path())), qPrintable(err));
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(QFileInfo::exists(database.path()), fileContent != "-");
    if (ownFile && fileContent != "-") {
        QFile file(database.path());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), fileContent);
    }
}

void tst_Startup::malformedRecoveryFileIsKept()
{
    // Rows an earlier run could not write are never thrown away: a file that cannot be read
    // stops the start, and stays for the user to mend.
    TempDatabase database;
    database.exec(QStringLiteral("INSERT INTO Geraete VALUES (1, '127.0.0.1:9', 'G');"
                                 "INSERT INTO Sensoren VALUES (1, 1, 1, 'S')"));
    const QString path = database.path() + QStringLiteral(".ausstehend");
    const QByteArray content("SensorNummer;Zeit;MessWert\n7;2026-12-05 08:04:09;21.5\n7;8\n");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    const ProcessResult result = runPelvaro({QStringLiteral("--database"), database.path()});
    QCOMPARE(result.exitCode, 1);
    const QString expected =
        QStringLiteral("'%1' mit noch nicht gespeicherten Messwerten ist in Zeile 3 unlesbar")
            .arg(path);
    QVERIFY2(QString::fromLocal8Bit(result.err).contains(expected), result.err.constData());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), content);
    QCOMPARE(database.rows(QStringLiteral("SELECT * FROM Werte")).size(), 0);
}

void tst_Startup::besideTheExecutableByDefault()
{
    // As users run it: the binary copied into a folder, started without arguments.
    const TempDatabase folder(false);
    const QString copy = QDir(folder.folder()).filePath(QStringLiteral("pelvaro-access"));
    QVERIFY(QFile::copy(pelvaroExecutable(), copy));
    const ProcessResult result = runPelvaro({}, 30000, copy);
    QCOMPARE(result.exitCode, 1);
    const QString expected =
        QStringLiteral("Die Datenbank '%1' wurde nicht gefunden.").arg(folder.path());
    QVERIFY2(QString::fromLocal8Bit(result.err).contains(expected), result.err.constData());
    QVERIFY(!QFileInfo::exists(folder.path()));
}

void tst_Startup::windowWithoutDisplay()
{
    // Qt itself would abort with a core dump; the program says what to do instead.
    TempDatabase database;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        environment.remove(QString::fromLatin1(name));
    }
    process.setProcessEnvironment(environment);
    process.start(pelvaroExecutable(), {QStringLiteral("--database"), database.path()});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    QVERIFY(process.readAllStandardError().contains("--headless"));
}

void tst_Startup::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::newRow("version") << QStringList{"--version"} << 0
                             << "pelvaro-access (Pelvaro (Access)) 1.00\n"
                             << "";
    QTest::newRow("Qt's own options left to Qt")
        << QStringList{"-platform", "offscreen", "-reverse", "-v"} << 0
        << "pelvaro-access (Pelvaro (Access)) 1.00\n"
        << "";
    QTest::newRow("unknown option") << QStringList{"--verbose"} << 2 << ""
                                    << "Unbekannte Option '--verbose'.";
    QTest::newRow("unknown short option") << QStringList{"-x"} << 2 << ""
                                          << "Unbekannte Option '-x'.";
    QTest::newRow("missing path") << QStringList{"--headless", "--database"} << 2 << ""
                                  << "Der Option '--database' fehlt der Pfad der Datenbank.";
    QTest::newRow("empty path") << QStringList{"--database", ""} << 2 << ""
                                << "Der Option '--database' fehlt der Pfad der Datenbank.";
    QTest::newRow("stray argument") << QStringList{"Messwerte.mdb"} << 2 << ""
                                    << "Unerwartetes Argument 'Messwerte.mdb'.";
    QTest::newRow("value for a flag") << QStringList{"--headless=ja"} << 2 << ""
                                      << "Falscher Aufruf";
}

void tst_Startup::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    // Whatever the options, a usage error touches no database: the one named must not appear.
    const TempDatabase folder(false);
    const ProcessResult result =
        runPelvaro(QStringList{QStringLiteral("--database"), folder.path()} + arguments);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(QString::fromLocal8Bit(result.out), out);
    QVERIFY2(QString::fromLocal8Bit(result.err).contains(err), result.err.constData());
    QVERIFY(err.isEmpty() == result.err.isEmpty());
    QVERIFY(!QFileInfo::exists(folder.path()));
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
