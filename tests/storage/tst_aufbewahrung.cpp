#include "runtime/wallclock.h"
#include "storage/aufbewahrung.h"
#include "storage/database.h"
#include "storage/langzeitabgleich.h"
#include "storage/pendingrows.h"
#include "support/eitherdatabase.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <memory>

namespace {

const qint64 kNow = QDateTime(QDate(2026, 12, 8), QTime(12, 0), Qt::UTC).toSecsSinceEpoch();

// Werte and Stundenwerte in an SQLite file or a schema of the test server.
struct Store : EitherDatabase
{
    using EitherDatabase::EitherDatabase;

    // "sensor|first Zeit|rows|minutes apart" each; MessWert counts up from 1.
    void insert(const QStringList &runs) const
    {
        QStringList values;
        for (const QString &run : runs) {
            const QStringList field = run.split(QLatin1Char('|'));
            const QDateTime first = *WallClock::parse(field.at(1));
            for (int i = 0; i < field.at(2).toInt(); ++i) {
                values << QStringLiteral("(%1, '%2', %3)")
                              .arg(field.at(0),
                                   WallClock::sqlText(first.addSecs(60 * i * field.at(3).toInt())))
                              .arg(i + 1);
            }
        }
        sql().exec(QStringLiteral("INSERT INTO Werte VALUES ") + values.join(QLatin1Char(',')));
    }
    // "sensor hour rows" per sensor and hour of Werte.
    QStringList werte() const
    {
        std::map<std::pair<qint32, QString>, int> hours;
        for (const QVariantList &row :
             sql().rows(QStringLiteral("SELECT SensorNummer, Zeit FROM Werte"))) {
            const QString zeit = WallClock::isoText(WallClock::fromDatabase(row.at(1)));
            ++hours[{row.at(0).toInt(), zeit.left(13)}];
        }
        QStringList lines;
        for (const auto &[key, count] : hours) {
            lines << QStringLiteral("%1 %2 %3").arg(key.first).arg(key.second).arg(count);
        }
        return lines;
    }
    QStringList figures() const
    {
        QStringList lines;
        for (const QVariantList &row :
             sql().rows(QStringLiteral("SELECT Stunde, SensorNummer, Anzahl, Minimum, Summe, "
                                       "Maximum FROM Stundenwerte"))) {
            lines << QStringLiteral("%1 %2 %3 %4 %5 %6")
                         .arg(WallClock::isoText(WallClock::fromDatabase(row.at(0))))
                         .arg(row.at(1).toInt())
                         .arg(row.at(2).toLongLong())
                         .arg(row.at(3).toDouble())
                         .arg(row.at(4).toDouble())
                         .arg(row.at(5).toDouble());
        }
        lines.sort();
        return lines;
    }
};

// A walk of LangzeitAbgleich from its start to the end of Werte.
bool walk(QSqlDatabase &db)
{
    LangzeitAbgleich abgleich;
    abgleich.open(db);
    for (int step = 0; step < 1000 && !abgleich.stand().bereit; ++step) {
        abgleich.step(db);
    }
    return abgleich.stand().bereit;
}

} // namespace

// The retention against real databases: what it deletes, what it must leave, and that the
// figures of what it deleted stay as they were, also through a later walk of LangzeitAbgleich.
class tst_Aufbewahrung : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void prune_data();
    void prune();
    void betweenStores();

private:
    QTemporaryDir m_state;
};

void tst_Aufbewahrung::prune_data()
{
    QTest::addColumn<bool>("server");
    QTest::addColumn<int>("tage");
    QTest::addColumn<QStringList>("runs");
    // Run on the figures once they are made, before the retention.
    QTest::addColumn<QString>("damage");
    // What Werte keeps: "sensor hour rows".
    QTest::addColumn<QStringList>("kept");
    // Every case has these rows too: sensor 7 in November, sensors 7 and 8 three days ago and
    // sensor 9 in the open hour.
    const QStringList common{"7|2026-11-01T05:00|12|5", "7|2026-12-05T10:00|6|10",
                             "8|2026-12-05T10:00|6|10", "9|2026-12-08T11:30|2|1"};
    const QStringList recent{"7 2026-12-05T10 6", "8 2026-12-05T10 6", "9 2026-12-08T11 2"};
    for (const bool server : {false, true}) {
        const auto row = [server](const char *name) {
            return &(QTest::addRow("%s: %s", server ? "PostgreSQL" : "SQLite", name) << server);
        };
        *row("without the row nothing goes")
            << 0 << common << QString() << QStringList{"7 2026-11-01T05 12"} + recent;
        *row("rows older than the days go") << 7 << common << QString() << recent;
        *row("rows younger than the days stay")
            << 40 << common << QString() << QStringList{"7 2026-11-01T05 12"} + recent;
        *row("an hour whose figures disagree stays")
            << 1 << common + QStringList{"8|2026-11-01T05:00|3|1"}
            << "UPDATE Stundenwerte SET Summe = Summe + 1 WHERE SensorNummer = 7 AND Stunde < "
               "'2026-11-02 00:00:00'"
            << QStringList{"7 2026-11-01T05 12", "9 2026-12-08T11 2"};
        *row("an hour without figures stays")
            << 1 << common
            << "DELETE FROM Stundenwerte WHERE SensorNummer = 7 AND Stunde < '2026-12-01 "
               "00:00:00'"
            << QStringList{"7 2026-11-01T05 12", "9 2026-12-08T11 2"};
        *row("a row the figures do not count keeps its hour")
            << 1 << common << "INSERT INTO Werte VALUES (7, '2026-11-01 05:30:30', 'NaN')"
            << QStringList{"7 2026-11-01T05 13", "9 2026-12-08T11 2"};
        *row("more rows than one step takes")
            << 1
            << QStringList{"1|2026-11-02T00:00|700|0", "2|2026-11-02T00:00|700|0",
                           "3|2026-11-02T00:00|700|0", "9|2026-12-08T11:30|1|1"}
            << QString() << QStringList{"9 2026-12-08T11 1"};
        *row("the open hour stays, however old")
            << 1 << QStringList{"7|2026-11-01T04:00|6|10", "7|2026-11-01T05:00|6|10"} << QString()
            << QStringList{"7 2026-11-01T05 6"};
    }
}

void tst_Aufbewahrung::prune()
{
    QFETCH(bool, server);
    QFETCH(int, tage);
    QFETCH(QStringList, runs);
    QFETCH(QString, damage);
    QFETCH(QStringList, kept);
    const Store store(server);
    store.insert(runs);
    const std::unique_ptr<Database> database = OpenDatabase(store.name());
    QSqlDatabase db = database->connection();
    QVERIFY(walk(db));
    const QStringList figures = store.figures();
    QVERIFY(!figures.isEmpty());
    if (!damage.isEmpty()) {
        store.sql().exec(damage);
    }
    Aufbewahrung aufbewahrung;
    aufbewahrung.setTage(tage);
    for (int step = 0; step < 100 && aufbewahrung.pauseMs() < 1000; ++step) {
        aufbewahrung.step(db, kNow);
    }
    QCOMPARE(store.werte(), kept);
    // The figures of every hour, pruned or not, as the first walk made them; a later walk,
    // which puts right what differs from Werte, changes none of them.
    QVERIFY(walk(db));
    QCOMPARE(store.figures(), figures);
}

void tst_Aufbewahrung::betweenStores()
{
    // The store's thread prunes by itself, with the days its owner gave.
    qputenv("STATE_DIRECTORY", m_state.path().toUtf8());
    const Store store(false);
    store.insert({"7|2020-01-01T00:00|10|1"});
    PendingRows rows;
    rows.setDatabaseName(store.name());
    rows.setAufbewahrung(30);
    rows.open();
    rows.append(7, QDateTime::currentDateTime(), 1);
    rows.write();
    QTRY_VERIFY_WITH_TIMEOUT(rows.state().langzeit.bereit, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(store.werte().size(), 1, 20000);
    QCOMPARE(store.figures().constFirst(), QStringLiteral("2020-01-01T00:00:00 7 10 1 55 10"));
}

QTEST_GUILESS_MAIN(tst_Aufbewahrung)
#include "tst_aufbewahrung.moc"
