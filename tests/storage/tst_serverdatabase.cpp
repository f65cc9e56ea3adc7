#include "runtime/runtimeerror.h"
#include "storage/database.h"
#include "storage/dbengine.h"
#include "storage/mittelwerte.h"
#include "storage/recordset.h"
#include "support/serverschema.h"

#include <QDateTime>
#include <QTest>
#include <QVariant>

// The database layer against the throwaway PostgreSQL server: the row order the program relies on,
// the INSERT as the program writes it, and a connection that comes back after the server was away.
class tst_ServerDatabase : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rowsComeInReihenfolge();
    void reconnectsAfterTheServerWasAway();
};

void tst_ServerDatabase::rowsComeInReihenfolge()
{
    ServerSchema schema;
    // Both UPDATEs move their row to the end of what a plain SELECT yields (C, A, B); positions
    // must follow Reihenfolge all the same.
    schema.exec(QStringLiteral("INSERT INTO Geraete VALUES (1, 'a', 'A'), (2, 'b', 'B'), "
                               "(3, 'c', 'C');"
                               "UPDATE Geraete SET IP = 'a2' WHERE ID = 1;"
                               "UPDATE Geraete SET Reihenfolge = 10 WHERE ID = 2"));
    const std::unique_ptr<Database> db = DbEngine::instance().OpenDatabase(schema.uri());
    const std::unique_ptr<Recordset> rows = db->OpenRecordset(QStringLiteral("Geraete"));
    QStringList seen;
    for (rows->MoveFirst(); !rows->Eof(); rows->MoveNext()) {
        // The server folds the names to lower case; the program asks for "Ip".
        seen << rows->field(QStringLiteral("Bezeichnung")).toString() + QLatin1Char('=')
                    + rows->field(QStringLiteral("Ip")).toString();
    }
    rows->Close();
    QCOMPARE(seen, (QStringList{"A=a2", "C=c", "B=b"}));
}

void tst_ServerDatabase::reconnectsAfterTheServerWasAway()
{
    ServerSchema schema;
    const std::unique_ptr<Database> db = DbEngine::instance().OpenDatabase(schema.uri());
    const QDateTime zeit(QDate(2026, 12, 5), QTime(8, 4, 9));
    db->Execute(insertStatement(7, 21.5, zeit));

    const std::unique_ptr<Database> ending = DbEngine::instance().OpenDatabase(schema.uri());

    ServerSchema::pauseServer();
    bool failed = false;
    try {
        db->Execute(insertStatement(7, 0.25, zeit.addSecs(10)));
    } catch (const RuntimeError &) {
        failed = true;
    }
    QString reason;
    const bool reconnectedWhileAway = db->reconnect(&reason) || ending->reconnect();
    // The program ends during the outage: closing must not fail on what broke the connection.
    bool closed = true;
    try {
        ending->Close();
    } catch (const RuntimeError &) {
        closed = false;
    }
    ServerSchema::resumeServer();
    QVERIFY(failed);
    QVERIFY(!reconnectedWhileAway);
    // What a store during the outage can tell the user: the server's own words, on one line.
    QVERIFY2(reason.startsWith(QLatin1String("connection to server on socket"))
                 && !reason.contains(QLatin1Char('\n')),
             qPrintable(reason));
    QVERIFY(closed);

    QVERIFY(db->reconnect());
    db->Execute(insertStatement(-8, -3.25, zeit.addSecs(20)));
    QVERIFY(db->reconnect()); // a working connection stays as it is
    db->Close();

    const QList<QVariantList> stored = schema.rows(QStringLiteral(
        "SELECT SensorNummer, to_char(Zeit, 'YYYY-MM-DD HH24:MI:SS'), MessWert FROM Werte "
        "ORDER BY Zeit"));
    QCOMPARE(stored, (QList<QVariantList>{{7, "2026-12-05 08:04:09", 21.5},
                                          {-8, "2026-12-05 08:04:29", -3.25}}));
}

QTEST_GUILESS_MAIN(tst_ServerDatabase)
#include "tst_serverdatabase.moc"
