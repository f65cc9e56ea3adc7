#include "wallclock.h"

#include "runtime/timeformats.h"

#include <QVariant>

namespace {

// "yyyy-MM-dd HH:mm:ss" with a blank or 'T' between; the digits at fixed places.
std::optional<qint64> secondsOfText(QStringView text)
{
    if (text.size() < 19 || text[4] != QLatin1Char('-') || text[7] != QLatin1Char('-')
        || (text[10] != QLatin1Char(' ') && text[10] != QLatin1Char('T'))
        || text[13] != QLatin1Char(':') || text[16] != QLatin1Char(':')) {
        return std::nullopt;
    }
    const auto number = [text](int from, int digits) {
        int value = 0;
        for (int i = from; i < from + digits; ++i) {
            const int digit = text[i].unicode() - '0';
            if (digit < 0 || digit > 9) {
                return -1;
            }
            value = value * 10 + digit;
        }
        return value;
    };
    const QDate date(number(0, 4), number(5, 2), number(8, 2));
    const int hour = number(11, 2);
    const int minute = number(14, 2);
    const int second = number(17, 2);
    if (!date.isValid() || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0
        || second > 59) {
        return std::nullopt;
    }
    constexpr qint64 kJulianDay1970 = 2440588;
    return (date.toJulianDay() - kJulianDay1970) * 86400 + hour * 3600 + minute * 60 + second;
}

} // namespace

namespace WallClock {

QDateTime now()
{
    return fromLocal(QDateTime::currentDateTime());
}

QDateTime fromLocal(const QDateTime &local)
{
    return local.isValid() ? QDateTime(local.date(), local.time(), Qt::UTC) : QDateTime();
}

std::optional<QDateTime> parse(const QString &text)
{
    QString normal = text.trimmed();
    if (normal.size() == 10) {
        normal += QStringLiteral("T00:00:00");
    } else if (normal.size() == 16) {
        normal += QStringLiteral(":00");
    }
    if (normal.size() != 19) {
        return std::nullopt;
    }
    const std::optional<qint64> seconds = secondsOfText(normal);
    if (!seconds) {
        return std::nullopt;
    }
    return QDateTime::fromSecsSinceEpoch(*seconds, Qt::UTC);
}

QDateTime fromDatabase(const QVariant &value)
{
    const std::optional<qint64> seconds = secondsOf(value);
    return seconds ? QDateTime::fromSecsSinceEpoch(*seconds, Qt::UTC) : QDateTime();
}

std::optional<qint64> secondsOf(const QVariant &value)
{
    if (value.typeId() == QMetaType::QDateTime) {
        const QDateTime time = value.toDateTime();
        if (!time.isValid()) {
            return std::nullopt;
        }
        return fromLocal(time).toSecsSinceEpoch();
    }
    if (value.typeId() == QMetaType::QString) {
        return secondsOfText(value.toString());
    }
    return std::nullopt;
}

QString isoText(const QDateTime &wallClock)
{
    return TimeFormat::isoText(wallClock);
}

QString sqlText(const QDateTime &wallClock)
{
    return TimeFormat::werteText(wallClock);
}

} // namespace WallClock
