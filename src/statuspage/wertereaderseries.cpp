// One sensor's series for the charts: from Werte, and for buckets of whole hours from the hourly
// figures wherever they stand in for Werte.
#include "bucketgrid.h"
#include "wertereader.h"

#include "runtime/processsignals.h"
#include "runtime/wallclock.h"
#include "storage/database.h"

#include <QSqlDatabase>
#include <QSqlQuery>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

using Stundenwerte::kHour;

// Further than any time of Werte: an empty Werte leaves all of Stundenwerte as it is.
constexpr qint64 kNoEnd = std::numeric_limits<qint64>::max() / 4;

QString text(qint64 seconds)
{
    return WallClock::sqlText(QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC));
}

qint64 hourAfter(qint64 seconds)
{
    const qint64 hour = Stundenwerte::hourOf(seconds);
    return hour == seconds ? hour : hour + kHour;
}

std::optional<double> finite(const QVariant &value)
{
    bool ok = false;
    const double number = value.toDouble(&ok);
    return ok && std::isfinite(number) ? std::optional<double>(number) : std::nullopt;
}

} // namespace

std::optional<qint64> WerteReader::figuresUntil(bool ready)
{
    if (!m_figures || !m_timeFirst) {
        return std::nullopt;
    }
    QSqlDatabase db = m_database->connection();
    // Ready, the figures hold every hour before the open one; else at least those that Werte
    // has no row of any more.
    const std::optional<qint64> bound = Stundenwerte::extreme(db, !ready);
    return bound ? Stundenwerte::hourOf(*bound) : kNoEnd;
}

WerteReader::Series WerteReader::series(qint32 sensor, const QDateTime &von, const QDateTime &bis,
                                        int punkte, bool figuresReady)
{
    Series series;
    const qint64 from = von.toSecsSinceEpoch();
    // bis belongs to the range: Zeit has whole seconds.
    const qint64 to = bis.toSecsSinceEpoch() + 1;
    if (to <= from) {
        return series;
    }
    const BucketGrid grid = BucketGrid::choose(from, to, std::clamp(punkte, 1, kMaxBuckets));
    series.secondsPerBucket = grid.nominalSeconds();
    series.raster = grid.name();
    if (index() != Index::Present) {
        bucketsFromScan(series, sensor, grid, from, to);
        return series;
    }
    const std::optional<qint64> until =
        grid.wholeHours() ? figuresUntil(figuresReady) : std::nullopt;

    // One aggregate per piece of a bucket, each read from an index alone and in its order: a
    // GROUP BY over the buckets would sort the whole range first, five times slower.
    QSqlQuery werte = prepared(
        QStringLiteral("SELECT min(Zeit), min(MessWert), sum(MessWert), max(MessWert), "
                       "count(MessWert) FROM Werte WHERE SensorNummer = ? AND Zeit >= ? AND "
                       "Zeit < ?"));
    const auto addWerte = [&](Sums &sums, qint64 begin, qint64 end) {
        if (begin >= end) {
            return;
        }
        werte.bindValue(0, sensor);
        werte.bindValue(1, text(begin));
        werte.bindValue(2, text(end));
        exec(werte);
        if (werte.next() && werte.value(4).toLongLong() > 0) {
            const Stundenwerte::Figures piece{werte.value(4).toLongLong(),
                                              werte.value(1).toDouble(), werte.value(2).toDouble(),
                                              werte.value(3).toDouble()};
            if (!sums.first) {
                sums.first = WallClock::secondsOf(werte.value(0));
            }
            sums.figures.add(piece);
        }
        werte.finish();
    };
    QSqlQuery figures;
    QSqlQuery firstRow;
    if (until) {
        figures = prepared(QStringLiteral(
            "SELECT min(Stunde), sum(Anzahl), min(Minimum), sum(Summe), max(Maximum) FROM "
            "Stundenwerte WHERE SensorNummer = ? AND Stunde >= ? AND Stunde < ? AND Anzahl > 0"));
        firstRow = prepared(QStringLiteral("SELECT Zeit FROM Werte WHERE Zeit >= ? AND Zeit < ? "
                                           "AND SensorNummer = ? ORDER BY Zeit LIMIT 1"));
    }
    // The hours [begin, end) from the figures; false for figures that are no numbers, which
    // Werte then answers for.
    const auto addFigures = [&](Sums &sums, qint64 begin, qint64 end) {
        figures.bindValue(0, sensor);
        figures.bindValue(1, text(begin));
        figures.bindValue(2, text(end));
        exec(figures);
        if (!figures.next() || figures.value(1).isNull()) {
            figures.finish();
            return true;
        }
        const std::optional<qint64> hour = WallClock::secondsOf(figures.value(0));
        const qint64 anzahl = figures.value(1).toLongLong();
        const std::optional<double> minimum = finite(figures.value(2));
        const std::optional<double> summe = finite(figures.value(3));
        const std::optional<double> maximum = finite(figures.value(4));
        figures.finish();
        if (!hour || anzahl <= 0 || !minimum || !summe || !maximum) {
            return false;
        }
        if (!sums.first) {
            // The time of the hour's first row, as Werte would give it; the hour itself once
            // Werte has none of it.
            firstRow.bindValue(0, text(*hour));
            firstRow.bindValue(1, text(*hour + kHour));
            firstRow.bindValue(2, sensor);
            exec(firstRow);
            const std::optional<qint64> zeit =
                firstRow.next() ? WallClock::secondsOf(firstRow.value(0)) : std::nullopt;
            firstRow.finish();
            sums.first = zeit ? *zeit : *hour;
        }
        sums.figures.add(Stundenwerte::Figures{anzahl, *minimum, *summe, *maximum});
        series.fromFigures = true;
        return true;
    };

    // The program's end does not wait for a long read: it stops between two statements.
    for (qint64 edge = grid.start(from); edge < to && !isEnding(); edge = grid.next(edge)) {
        const qint64 begin = std::max(edge, from);
        const qint64 end = std::min(grid.next(edge), to);
        Sums sums;
        // Only whole hours before the bound are in the figures; a range's first and last hour
        // may be cut, and the open hour is not there yet.
        const qint64 firstHour = hourAfter(begin);
        const qint64 lastHour = until ? std::min(Stundenwerte::hourOf(end), *until) : firstHour;
        if (firstHour < lastHour) {
            addWerte(sums, begin, firstHour);
            Sums hours = sums;
            if (!addFigures(hours, firstHour, lastHour)) {
                hours = sums;
                addWerte(hours, firstHour, lastHour);
            }
            sums = hours;
            addWerte(sums, lastHour, end);
        } else {
            addWerte(sums, begin, end);
        }
        if (sums.figures.anzahl > 0 && sums.first) {
            const Stundenwerte::Figures &f = sums.figures;
            series.buckets.append(Bucket{QDateTime::fromSecsSinceEpoch(*sums.first, Qt::UTC),
                                         f.minimum, f.summe / double(f.anzahl), f.maximum,
                                         f.anzahl});
        }
    }
    return series;
}

void WerteReader::bucketsFromScan(Series &series, qint32 sensor, const BucketGrid &grid,
                                  qint64 from, qint64 to)
{
    struct Tally
    {
        qint64 first = std::numeric_limits<qint64>::max();
        double minimum = 0;
        double maximum = 0;
        double sum = 0;
        qint64 anzahl = 0;
    };
    const qint64 count = grid.count(from, to);
    std::vector<Tally> sums(static_cast<std::size_t>(count));
    const bool sliced = slices();
    QString statement = QStringLiteral("SELECT Zeit, MessWert FROM Werte WHERE SensorNummer = ? "
                                       "AND Zeit >= ? AND Zeit < ?");
    if (sliced) {
        statement += QStringLiteral(" AND rowid > ? AND rowid <= ?");
    }
    QSqlQuery query = prepared(statement);
    const qint64 last = sliced ? maxRowid() : 0;
    for (qint64 slice = 0; slice <= last && !isEnding(); slice += kSlice) {
        query.bindValue(0, sensor);
        query.bindValue(1, text(from));
        query.bindValue(2, text(to));
        if (sliced) {
            query.bindValue(3, slice);
            query.bindValue(4, slice + kSlice);
        }
        exec(query);
        while (query.next()) {
            const std::optional<qint64> seconds = WallClock::secondsOf(query.value(0));
            bool number = false;
            const double wert = query.value(1).toDouble(&number);
            if (!seconds || !number || *seconds < from || *seconds >= to) {
                continue;
            }
            Tally &bucket = sums[std::size_t(grid.count(from, *seconds + 1) - 1)];
            bucket.minimum = bucket.anzahl == 0 ? wert : std::min(bucket.minimum, wert);
            bucket.maximum = bucket.anzahl == 0 ? wert : std::max(bucket.maximum, wert);
            bucket.sum += wert;
            bucket.first = std::min(bucket.first, *seconds);
            ++bucket.anzahl;
        }
        query.finish();
    }
    for (const Tally &bucket : sums) {
        if (bucket.anzahl > 0) {
            series.buckets.append(Bucket{QDateTime::fromSecsSinceEpoch(bucket.first, Qt::UTC),
                                         bucket.minimum, bucket.sum / double(bucket.anzahl),
                                         bucket.maximum, bucket.anzahl});
        }
    }
}
