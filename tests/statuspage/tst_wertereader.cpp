#include "runtime/wallclock.h"
#include "statuspage/wertereader.h"
#include "support/serverschema.h"
#include "support/tempdatabase.h"

#include <QSet>
#include <QTest>

#include <memory>

namespace {

// Werte in one of the three forms the status page reads: an SQLite file with the covering
// index, one without it (read in slices of rowids), and a schema of the test server.
class Store
{
public:
    explicit Store(const QString &kind)
    {
        if (kind == QLatin1String("PostgreSQL")) {
            m_server = std::make_unique<ServerSchema>();
            return;
        }
        m_file = std::make_unique<TempDatabase>();
        if (kind == QLatin1String("SQLite ohne Index")) {
            m_file->exec(QStringLiteral("DROP INDEX WerteZeit"));
        }
    }
    QString name() const { return m_file ? m_file->path() : m_server->uri(); }
    // rows: "sensor|zeit|wert" each.
    void insert(const QStringList &rows) const
    {
        QStringList values;
        for (const QString &row : rows) {
            const QStringList field = row.split(QLatin1Char('|'));
            values << QStringLiteral("(%1, '%2', %3)").arg(field.at(0), field.at(1), field.at(2));
        }
        const QString sql =
            QStringLiteral("INSERT INTO Werte VALUES ") + values.join(QLatin1Char(','));
        exec(sql);
    }
    void exec(const QString &sql) const { m_file ? m_file->exec(sql) : m_server->exec(sql); }

private:
    std::unique_ptr<TempDatabase> m_file;
    std::unique_ptr<ServerSchema> m_server;
};

const QStringList kKinds{QStringLiteral("SQLite mit Index"), QStringLiteral("SQLite ohne Index"),
                         QStringLiteral("PostgreSQL")};

// Rows of sensors 7 and 8 in turn every 20 s from 2026-01-01 on: more than two slices of
// rowids. Sensor 7 reads 0 and 1 in turn.
QStringList manyRows(int perSensor)
{
    QStringList rows;
    const QDateTime start(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC);
    for (int i = 0; i < perSensor; ++i) {
        const QString zeit = WallClock::sqlText(start.addSecs(20 * i));
        rows << QStringLiteral("7|%1|%2").arg(zeit).arg(i % 2)
             << QStringLiteral("8|%1|5").arg(zeit);
    }
    return rows;
}

QDateTime at(const char *text)
{
    return *WallClock::parse(QString::fromLatin1(text));
}

QString shown(const WerteReader::Row &row)
{
    return QStringLiteral("%1 %2 %3")
        .arg(row.sensorNummer)
        .arg(WallClock::isoText(WallClock::fromDatabase(row.zeit)))
        .arg(row.wert.toDouble());
}

} // namespace

// WerteReader against real databases, each case in every form of Werte: the answers must not
// depend on the index nor on the engine.
class tst_WerteReader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void series_data();
    void series();
    void exportPages_data();
    void exportPages();
    void latest();
    void bestand();
};

void tst_WerteReader::series_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QDateTime>("von");
    QTest::addColumn<QDateTime>("bis");
    QTest::addColumn<int>("punkte");
    // "time of the first row, minimum, mean, maximum, rows" per bucket.
    QTest::addColumn<QStringList>("buckets");
    const QStringList hour{"7|2026-01-10 00:00:00|1",  "7|2026-01-10 00:10:00|2",
                           "7|2026-01-10 00:20:00|3",  "7|2026-01-10 00:30:00|4",
                           "7|2026-01-10 00:40:00|5",  "7|2026-01-10 00:50:00|6",
                           "8|2026-01-10 00:10:00|100"};
    for (const QString &kind : kKinds) {
        const auto row = [&kind](const char *name) {
            return &(QTest::newRow(qPrintable(kind + QStringLiteral(": ") + QLatin1String(name)))
                     << kind);
        };
        *row("an hour in two buckets")
            << hour << at("2026-01-10T00:00") << at("2026-01-10T00:59:59") << 2
            << QStringList{"2026-01-10T00:00:00 1 2 3 3", "2026-01-10T00:30:00 4 5 6 3"};
        *row("empty buckets left out")
            << QStringList{"7|2026-01-10 00:05:00|1", "7|2026-01-10 00:07:00|3",
                           "7|2026-01-10 00:45:00|10"}
            << at("2026-01-10T00:00") << at("2026-01-10T00:59:59") << 6
            << QStringList{"2026-01-10T00:05:00 1 2 3 2", "2026-01-10T00:45:00 10 10 10 1"};
        *row("the hour that repeats when the clocks go back")
            << QStringList{"7|2026-10-25 02:00:00|1", "7|2026-10-25 02:30:00|3",
                           "7|2026-10-25 02:00:00|5", "7|2026-10-25 02:30:00|7",
                           "7|2026-10-25 03:00:00|9"}
            << at("2026-10-25T02:00") << at("2026-10-25T03:59:59") << 2
            << QStringList{"2026-10-25T02:00:00 1 4 7 4", "2026-10-25T03:00:00 9 9 9 1"};
        *row("bis belongs to the range")
            << QStringList{"7|2026-01-10 00:00:00|1", "7|2026-01-10 01:00:00|2"}
            << at("2026-01-10T00:00") << at("2026-01-10T01:00") << 1
            << QStringList{"2026-01-10T00:00:00 1 1.5 2 2"};
        *row("no bucket shorter than 10 s")
            << QStringList{"7|2026-01-10 00:00:00|1", "7|2026-01-10 00:00:01|2"}
            << at("2026-01-10T00:00") << at("2026-01-10T00:00:09") << 1000
            << QStringList{"2026-01-10T00:00:00 1 1.5 2 2"};
        *row("a range without rows")
            << hour << at("2026-01-11T00:00") << at("2026-01-12T00:00") << 100 << QStringList();
        if (kind != QLatin1String("PostgreSQL")) {
            *row("many rows, in slices without the index")
                << manyRows(60000) << at("2026-01-01T00:00") << at("2026-02-01T00:00") << 1
                << QStringList{"2026-01-01T00:00:00 0 0.5 1 60000"};
        }
    }
}

void tst_WerteReader::series()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, rows);
    QFETCH(QDateTime, von);
    QFETCH(QDateTime, bis);
    QFETCH(int, punkte);
    QFETCH(QStringList, buckets);
    const Store store(kind);
    store.insert(rows);
    WerteReader reader(store.name());
    QStringList found;
    for (const WerteReader::Bucket &bucket : reader.series(7, von, bis, punkte, false).buckets) {
        found << QStringLiteral("%1 %2 %3 %4 %5")
                     .arg(WallClock::isoText(bucket.zeit))
                     .arg(bucket.minimum)
                     .arg(bucket.mittel)
                     .arg(bucket.maximum)
                     .arg(bucket.anzahl);
    }
    QCOMPARE(found, buckets);
}

void tst_WerteReader::exportPages_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QList<qint32>>("sensors");
    QTest::addColumn<int>("pageRows");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("last");
    for (const QString &kind : kKinds) {
        const auto row = [&kind](const char *name) {
            return &(QTest::newRow(qPrintable(kind + QStringLiteral(": ") + QLatin1String(name)))
                     << kind);
        };
        // Five rows share one Zeit, and pages of two end among them.
        *row("rows with one time across pages")
            << QStringList{"7|2026-10-25 02:00:00|1", "7|2026-10-25 02:00:00|2",
                           "7|2026-10-25 02:00:00|3", "7|2026-10-25 02:00:00|4",
                           "7|2026-10-25 02:00:00|5", "7|2026-10-25 02:30:00|6"}
            << QList<qint32>{7} << 2 << 6 << "7 2026-10-25T02:00:00 1"
            << "7 2026-10-25T02:30:00 6";
        *row("sensors one after the other, von and bis included")
            << QStringList{"7|2025-12-31 23:59:59|0", "7|2026-01-01 00:00:00|1",
                           "8|2026-06-01 12:00:00|2", "7|2026-12-31 00:00:00|3",
                           "7|2026-12-31 00:00:01|4"}
            << QList<qint32>{8, 7} << 10 << 3 << "8 2026-06-01T12:00:00 2"
            << "7 2026-12-31T00:00:00 3";
        if (kind != QLatin1String("PostgreSQL")) {
            *row("many rows, in slices without the index")
                << manyRows(60000) << QList<qint32>{7} << 2000 << 60000 << "7 2026-01-01T00:00:00 0"
                << "7 2026-01-14T21:19:40 1";
        }
    }
}

void tst_WerteReader::exportPages()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, rows);
    QFETCH(QList<qint32>, sensors);
    QFETCH(int, pageRows);
    QFETCH(int, count);
    QFETCH(QString, first);
    QFETCH(QString, last);
    const Store store(kind);
    store.insert(rows);
    WerteReader reader(store.name());
    WerteReader::Cursor cursor;
    cursor.sensors = sensors;
    cursor.von = at("2026-01-01T00:00");
    cursor.bis = at("2026-12-31T00:00");
    QStringList found;
    while (!cursor.done()) {
        for (const WerteReader::Row &row : reader.page(cursor, pageRows)) {
            found << shown(row);
        }
    }
    QCOMPARE(found.size(), count);
    QCOMPARE(found.constFirst(), first);
    QCOMPARE(found.constLast(), last);
    // Each row once, in time order within its sensor.
    QCOMPARE(QSet<QString>(found.cbegin(), found.cend()).size(), count);
    for (qsizetype i = 1; i < found.size(); ++i) {
        const QStringList before = found.at(i - 1).split(QLatin1Char(' '));
        const QStringList now = found.at(i).split(QLatin1Char(' '));
        QVERIFY(before.at(0) != now.at(0) || before.at(1) <= now.at(1));
    }
}

void tst_WerteReader::latest()
{
    for (const QString &kind : kKinds) {
        const Store store(kind);
        store.insert(
            {"7|2026-01-10 00:10:00|2", "7|2026-01-10 00:00:00|1", "8|2026-01-10 00:05:00|3"});
        WerteReader reader(store.name());
        QStringList found;
        for (const WerteReader::Latest &latest : reader.latest({7, 8, 9})) {
            found << QStringLiteral("%1 %2 %3")
                         .arg(latest.sensorNummer)
                         .arg(WallClock::isoText(latest.zeit))
                         .arg(latest.wert);
        }
        found.sort();
        QCOMPARE(found, QStringList({"7 2026-01-10T00:10:00 2", "8 2026-01-10T00:05:00 3"}));
        QCOMPARE(reader.index(), kind == QLatin1String("SQLite ohne Index")
                                     ? WerteReader::Index::Missing
                                     : WerteReader::Index::Present);
    }
}

void tst_WerteReader::bestand()
{
    for (const QString &kind : kKinds) {
        const Store store(kind);
        store.insert(
            {"7|2026-01-10 00:10:00|2", "7|2026-01-09 23:00:00|1", "8|2026-01-10 00:05:00|3"});
        // A server's estimate of the rows comes from its statistics.
        store.exec(QStringLiteral("ANALYZE Werte"));
        WerteReader reader(store.name());
        const WerteReader::Bestand bestand = reader.bestand();
        QCOMPARE(bestand.zeilen, std::optional<qint64>(3));
        QVERIFY(bestand.groesse.value_or(0) > 0);
        QVERIFY(bestand.aeltesteZeit);
        // Without an index by time: the time of the first row stored.
        QCOMPARE(WallClock::isoText(*bestand.aeltesteZeit),
                 kind == QLatin1String("SQLite ohne Index") ? "2026-01-10T00:10:00"
                                                            : "2026-01-09T23:00:00");
    }
}

QTEST_MAIN(tst_WerteReader)
#include "tst_wertereader.moc"
