#include "runtime/wallclock.h"
#include "statuspage/bucketgrid.h"

#include <QTest>

namespace {

qint64 at(const char *text)
{
    return WallClock::parse(QString::fromLatin1(text))->toSecsSinceEpoch();
}

QString shown(qint64 seconds)
{
    return WallClock::isoText(QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC));
}

} // namespace

// Which rung of the ladder a range gets and where its buckets begin.
class tst_BucketGrid : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void choose_data();
    void choose();
};

void tst_BucketGrid::choose_data()
{
    QTest::addColumn<qint64>("from");
    QTest::addColumn<qint64>("to");
    QTest::addColumn<int>("punkte");
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("raster");
    // The edges of the first three buckets.
    QTest::addColumn<QStringList>("edges");
    QTest::newRow("a minute in 10 s, not in seconds")
        << at("2026-01-10T00:00:03") << at("2026-01-10T00:01:03") << 1000 << qint64(10)
        << "sekunden"
        << QStringList{"2026-01-10T00:00:00", "2026-01-10T00:00:10", "2026-01-10T00:00:20"};
    QTest::newRow("a day in 1000 points")
        << at("2026-01-10T13:07:41") << at("2026-01-11T13:07:41") << 1000 << qint64(300)
        << "sekunden"
        << QStringList{"2026-01-10T13:05:00", "2026-01-10T13:10:00", "2026-01-10T13:15:00"};
    QTest::newRow("30 days in whole hours")
        << at("2026-01-01T00:30") << at("2026-01-31T00:30") << 1000 << qint64(3600) << "sekunden"
        << QStringList{"2026-01-01T00:00:00", "2026-01-01T01:00:00", "2026-01-01T02:00:00"};
    QTest::newRow("a year in 12 h")
        << at("2025-12-08T11:00") << at("2026-12-08T11:00") << 1000 << qint64(43200) << "sekunden"
        << QStringList{"2025-12-08T00:00:00", "2025-12-08T12:00:00", "2025-12-09T00:00:00"};
    QTest::newRow("days that the clocks change in")
        << at("2026-03-28T00:00") << at("2026-03-31T00:00") << 3 << qint64(86400) << "sekunden"
        << QStringList{"2026-03-28T00:00:00", "2026-03-29T00:00:00", "2026-03-30T00:00:00"};
    QTest::newRow("weeks begin on Monday")
        << at("2026-12-06T18:00") << at("2027-02-06T00:00") << 10 << qint64(604800) << "wochen"
        << QStringList{"2026-11-30T00:00:00", "2026-12-07T00:00:00", "2026-12-14T00:00:00"};
    QTest::newRow("ten years in months")
        << at("2016-12-08T11:00") << at("2026-12-08T11:00") << 500 << qint64(31 * 86400) << "monate"
        << QStringList{"2016-12-01T00:00:00", "2017-01-01T00:00:00", "2017-02-01T00:00:00"};
    QTest::newRow("months beyond the points asked for")
        << at("2026-01-15T00:00") << at("2026-03-15T00:00") << 1 << qint64(31 * 86400) << "monate"
        << QStringList{"2026-01-01T00:00:00", "2026-02-01T00:00:00", "2026-03-01T00:00:00"};
    QTest::newRow("before 1970") << at("1969-12-31T23:59:55") << at("1970-01-01T00:00:15") << 10
                                 << qint64(10) << "sekunden"
                                 << QStringList{"1969-12-31T23:59:50", "1970-01-01T00:00:00",
                                                "1970-01-01T00:00:10"};
}

void tst_BucketGrid::choose()
{
    QFETCH(qint64, from);
    QFETCH(qint64, to);
    QFETCH(int, punkte);
    QFETCH(qint64, seconds);
    QFETCH(QString, raster);
    QFETCH(QStringList, edges);
    const BucketGrid grid = BucketGrid::choose(from, to, punkte);
    QCOMPARE(grid.nominalSeconds(), seconds);
    QCOMPARE(grid.name(), raster);
    QStringList found;
    qint64 buckets = 0;
    for (qint64 edge = grid.start(from); edge < to; edge = grid.next(edge)) {
        if (found.size() < 3) {
            found << shown(edge);
        }
        ++buckets;
    }
    QCOMPARE(found, edges);
    QCOMPARE(buckets, grid.count(from, to));
    // Within what was asked for, unless even months are too many.
    QVERIFY(buckets <= punkte || grid.kind() == BucketGrid::Kind::Months);
    // A range that has moved on by a store keeps the edges of its buckets.
    const BucketGrid later = BucketGrid::choose(from + 10, to + 10, punkte);
    if (later.nominalSeconds() == seconds) {
        QCOMPARE(shown(later.start(from + 10)), shown(grid.start(from + 10)));
    }
}

QTEST_APPLESS_MAIN(tst_BucketGrid)
#include "tst_bucketgrid.moc"
