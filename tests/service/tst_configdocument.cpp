#include "program/storedconfiguration.h"
#include "runtime/runtimeerror.h"
#include "support/eitherdatabase.h"
#include "support/programprocess.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// A configuration with what makes a document hard to write back: quotes, markup and every plane
// of UTF-8 in names, rows of Einstellungen the program does not know, a null Parameter, numbers
// with fractions, a limit of null.
const char *const kConfiguration =
    "DELETE FROM Einstellungen;"
    "INSERT INTO Einstellungen (Parameter, Wert) VALUES ('MessIntervall', 3), ('Messungen', 4), "
    "('Fremd', 'a,b''c'), (NULL, 'ohne Namen'), ('Bruch', 2.5), ('MessIntervall', 1);"
    "INSERT INTO Geraete (ID, IP, Bezeichnung) VALUES (10, '127.0.0.1:8080', 'Heizung \"Süd\"'), "
    "(20, '127.0.0.1:8081', '<b>x</b> 😀 ∑');"
    "INSERT INTO Sensoren (ID, Geraet, Anschluss, Bezeichnung) VALUES (7, 2, 1, 'Vorlauf'), "
    "(7, 1, 3, 'doppelt'), (9, 1, 2, ''' OR 1=1 --');"
    "INSERT INTO Grenzwerte (SensorNummer, Minimum, Maximum) VALUES (7, NULL, 80.25), (9, -5, 5);"
    "INSERT INTO Werte (SensorNummer, Zeit, MessWert) VALUES (7, '2026-01-01 00:00:00', 1)";

using Database = EitherDatabase;

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

ProcessResult pelvarod(const QStringList &arguments)
{
    return runPelvaro(arguments, false, pelvarodExecutable());
}

} // namespace

// --export-config and --import-config of the real executable, on an SQLite file and on the test
// server: what comes out goes back in unchanged, and a document that is wrong anywhere changes
// nothing.
class tst_ConfigDocument : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roundTrip_data();
    void roundTrip();
    void refused_data();
    void refused();
    void replacedUnlessChanged_data();
    void replacedUnlessChanged();
};

void tst_ConfigDocument::roundTrip_data()
{
    QTest::addColumn<bool>("fromServer");
    QTest::addColumn<bool>("toServer");
    QTest::newRow("file to file") << false << false;
    QTest::newRow("server to server") << true << true;
    // The server keeps Wert as text, so the second document differs in Einstellungen.
    QTest::newRow("file to server") << false << true;
}

void tst_ConfigDocument::roundTrip()
{
    QFETCH(bool, fromServer);
    QFETCH(bool, toServer);
    QTemporaryDir dir;
    const Database sourceDatabase(fromServer);
    const Database targetDatabase(toServer);
    const SqlFixture *source = &sourceDatabase.sql();
    const SqlFixture *target = &targetDatabase.sql();
    const QString from = sourceDatabase.name();
    const QString to = targetDatabase.name();
    source->exec(QString::fromUtf8(kConfiguration));
    const QString first = dir.filePath(QStringLiteral("erste.json"));
    const QString second = dir.filePath(QStringLiteral("zweite.json"));

    ProcessResult done =
        pelvarod({QStringLiteral("--database"), from, QStringLiteral("--export-config"), first});
    QVERIFY2(done.exitCode == 0, done.err.constData());
    done = pelvarod({QStringLiteral("--database"), to, QStringLiteral("--import-config"), first});
    QVERIFY2(done.exitCode == 0, done.err.constData());
    done = pelvarod({QStringLiteral("--database"), to, QStringLiteral("--export-config"), second});
    QVERIFY2(done.exitCode == 0, done.err.constData());
    const auto tablesOf = [](const QByteArray &bytes) {
        QJsonObject document = QJsonDocument::fromJson(bytes).object();
        document.remove(QStringLiteral("Einstellungen"));
        return document;
    };
    if (fromServer == toServer) {
        QCOMPARE(fileBytes(second), fileBytes(first));
    } else {
        QCOMPARE(tablesOf(fileBytes(second)), tablesOf(fileBytes(first)));
    }
    // The document holds the rows as they stand, the devices in their order.
    const QByteArray document = fileBytes(first);
    QVERIFY(document.contains("\"Wert\": \"a,b'c\""));
    QVERIFY(document.indexOf("Heizung") < document.indexOf("<b>x</b> 😀"));
    QVERIFY(document.contains("\"Maximum\": 80.25"));
    // Werte is neither exported nor touched.
    QVERIFY(!document.contains("2026-01-01"));
    QCOMPARE(target->rows(QStringLiteral("SELECT COUNT(*) FROM Werte")).value(0).value(0).toInt(),
             0);
    QCOMPARE(source->rows(QStringLiteral("SELECT COUNT(*) FROM Werte")).value(0).value(0).toInt(),
             1);
}

void tst_ConfigDocument::refused_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<QString>("message");
    QTest::newRow("not JSON") << QByteArray("\"format\"") << QByteArray("{") << "ist kein JSON";
    QTest::newRow("another document")
        << QByteArray("\"format\": \"pelvaro-konfiguration\"") << QByteArray("\"format\": \"x\"")
        << "keine Konfiguration von Pelvaro";
    QTest::newRow("a list that is none")
        << QByteArray("\"Sensoren\": [") << QByteArray("\"Sensoren\": 3, \"x\": [")
        << "\"Sensoren\" ist keine Liste";
    QTest::newRow("a number as text") << QByteArray("\"ID\": 10") << QByteArray("\"ID\": \"10\"")
                                      << "\"Geraete\"[1].ID ist keine Zahl";
    QTest::newRow("a fraction as number")
        << QByteArray("\"Anschluss\": 1") << QByteArray("\"Anschluss\": 1.5")
        << "\"Sensoren\"[1].Anschluss ist keine ganze Zahl";
    QTest::newRow("a column missing")
        << QByteArray("\"ID\": 10,") << QByteArray() << "\"Geraete\"[1].ID fehlt";
    QTest::newRow("NUL in a name")
        << QByteArray("Vorlauf") << QByteArray("Vor\\u0000lauf") << "enthält ein NUL-Zeichen";
    // The checks of start-up, on the tables as they would be.
    QTest::newRow("no device left")
        << QByteArray("\"Geraete\": [") << QByteArray("\"Geraete\": [], \"x\": [") << "'Geraete'";
    QTest::newRow("a setting start-up refuses")
        << QByteArray("\"Wert\": 4") << QByteArray("\"Wert\": \"vier\"") << "Einstellungen";
    QTest::newRow("a limit of a sensor that is not there")
        << QByteArray("\"SensorNummer\": 9") << QByteArray("\"SensorNummer\": 99") << "Grenzwerte";
}

void tst_ConfigDocument::refused()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QString, message);
    QTemporaryDir dir;
    TempDatabase database;
    database.exec(QString::fromUtf8(kConfiguration));
    const QString before = dir.filePath(QStringLiteral("vorher.json"));
    const QString wrong = dir.filePath(QStringLiteral("falsch.json"));
    const QString after = dir.filePath(QStringLiteral("nachher.json"));
    QCOMPARE(pelvarod({QStringLiteral("--database"), database.path(),
                       QStringLiteral("--export-config"), before})
                 .exitCode,
             0);
    QByteArray document = fileBytes(before);
    QVERIFY2(document.contains(from), document.constData());
    document.replace(document.indexOf(from), from.size(), to);
    QFile file(wrong);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(document);
    file.close();

    const ProcessResult done = pelvarod(
        {QStringLiteral("--database"), database.path(), QStringLiteral("--import-config"), wrong});
    QCOMPARE(done.exitCode, 1);
    QVERIFY2(QString::fromUtf8(done.err).contains(message), done.err.constData());
    QVERIFY2(done.err.contains("falsch.json"), done.err.constData());
    QCOMPARE(pelvarod({QStringLiteral("--database"), database.path(),
                       QStringLiteral("--export-config"), after})
                 .exitCode,
             0);
    QCOMPARE(fileBytes(after), fileBytes(before));
}

void tst_ConfigDocument::replacedUnlessChanged_data()
{
    QTest::addColumn<bool>("server");
    QTest::newRow("file") << false;
    QTest::newRow("server") << true;
}

void tst_ConfigDocument::replacedUnlessChanged()
{
    // What the page's setup part does: read, and replace only what is still as it was read.
    QFETCH(bool, server);
    const Database database(server);
    database.sql().exec(QString::fromUtf8(kConfiguration));
    StoredConfiguration stored(database.name());
    const ConfigurationAccess::Snapshot read = stored.read();
    QByteArray renamed = read.document;
    renamed.replace("Vorlauf", "Vorlauf neu");
    const QString names = QStringLiteral("SELECT Bezeichnung FROM Sensoren ORDER BY Bezeichnung");

    database.sql().exec(QStringLiteral("UPDATE Geraete SET Bezeichnung = 'per SQL' WHERE ID = 10"));
    QVERIFY(!stored.replace(renamed, read.stand));
    QVERIFY(!database.sql().rows(names).contains({QStringLiteral("Vorlauf neu")}));

    const ConfigurationAccess::Snapshot again = stored.read();
    QVERIFY(again.stand != read.stand);
    QByteArray second = again.document;
    second.replace("Vorlauf", "Vorlauf neu");
    QVERIFY(stored.replace(second, again.stand));
    QVERIFY(database.sql().rows(names).contains({QStringLiteral("Vorlauf neu")}));

    // A document the checks of start-up refuse is a refusal of its own kind, and writes nothing.
    const ConfigurationAccess::Snapshot third = stored.read();
    QJsonObject broken = QJsonDocument::fromJson(third.document).object();
    QJsonArray einstellungen = broken.value(QStringLiteral("Einstellungen")).toArray();
    einstellungen[0] = QJsonObject{{QStringLiteral("Parameter"), QStringLiteral("MessIntervall")},
                                   {QStringLiteral("Wert"), QStringLiteral("drei")}};
    broken.insert(QStringLiteral("Einstellungen"), einstellungen);
    try {
        stored.replace(QJsonDocument(broken).toJson(), third.stand);
        QFAIL("taken");
    } catch (const RuntimeError &error) {
        QCOMPARE(error.number(), ErrorNumber::InvalidArgument);
    }
    QCOMPARE(stored.read().stand, third.stand);
}

QTEST_GUILESS_MAIN(tst_ConfigDocument)
#include "tst_configdocument.moc"
