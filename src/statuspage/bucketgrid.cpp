#include "bucketgrid.h"

#include <QDateTime>

#include <array>

namespace {

constexpr qint64 kDay = 86400;
constexpr qint64 kWeek = 7 * kDay;
// 1970-01-05, the first Monday of wall-clock time.
constexpr qint64 kFirstMonday = 4 * kDay;
constexpr std::array<qint64, 10> kLadder{10,   60,       300,      900,       1800,
                                         3600, 3 * 3600, 6 * 3600, 12 * 3600, kDay};

qint64 floorDiv(qint64 a, qint64 b)
{
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

qint64 monthOf(qint64 t)
{
    const QDate date = QDateTime::fromSecsSinceEpoch(t, Qt::UTC).date();
    return qint64(date.year()) * 12 + date.month() - 1;
}

qint64 monthStart(qint64 month)
{
    const QDate date(int(floorDiv(month, 12)), int(month - floorDiv(month, 12) * 12) + 1, 1);
    return QDateTime(date, QTime(0, 0), Qt::UTC).toSecsSinceEpoch();
}

} // namespace

BucketGrid BucketGrid::choose(qint64 from, qint64 to, int punkte)
{
    for (const qint64 seconds : kLadder) {
        const BucketGrid grid(Kind::Seconds, seconds);
        if (grid.count(from, to) <= punkte) {
            return grid;
        }
    }
    const BucketGrid weeks(Kind::Weeks, kWeek);
    if (weeks.count(from, to) <= punkte) {
        return weeks;
    }
    return BucketGrid(Kind::Months, 31 * kDay);
}

qint64 BucketGrid::nominalSeconds() const
{
    return m_seconds;
}

qint64 BucketGrid::start(qint64 t) const
{
    switch (m_kind) {
    case Kind::Seconds:
        return floorDiv(t, m_seconds) * m_seconds;
    case Kind::Weeks:
        return floorDiv(t - kFirstMonday, kWeek) * kWeek + kFirstMonday;
    case Kind::Months:
        return monthStart(monthOf(t));
    }
    return t;
}

qint64 BucketGrid::next(qint64 edge) const
{
    return m_kind == Kind::Months ? monthStart(monthOf(edge) + 1) : edge + m_seconds;
}

qint64 BucketGrid::count(qint64 from, qint64 to) const
{
    if (to <= from) {
        return 0;
    }
    if (m_kind == Kind::Months) {
        return monthOf(to - 1) - monthOf(from) + 1;
    }
    return (start(to - 1) - start(from)) / m_seconds + 1;
}

QString BucketGrid::name() const
{
    switch (m_kind) {
    case Kind::Seconds:
        return QStringLiteral("sekunden");
    case Kind::Weeks:
        return QStringLiteral("wochen");
    case Kind::Months:
        return QStringLiteral("monate");
    }
    return {};
}
