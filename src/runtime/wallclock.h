#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

class QVariant;

// Times as Werte holds them: the logger's local time as written ("2026-12-07 14:30:05"), with no
// zone. The status page computes with them as if they were UTC, so that adding an hour is always
// an hour of text and the hour that repeats when the clocks go back maps onto itself instead of
// breaking a range, a bucket or the chart's axis. Such a QDateTime is called a wall-clock time
// here; its time spec is always Qt::UTC.
namespace WallClock {

// The program's local time now, as a wall-clock time.
QDateTime now();
// A local QDateTime (the program's own time stamps) as a wall-clock time.
QDateTime fromLocal(const QDateTime &local);

// What the API and the page take: "2026-12-07T14:30", seconds optional, a blank instead of the
// 'T' allowed, or a date alone for its midnight.
std::optional<QDateTime> parse(const QString &text);

// A value of Werte.Zeit as the driver returns it: the text of an SQLite file, a QDateTime of a
// server's timestamp. Invalid when it is neither.
QDateTime fromDatabase(const QVariant &value);
// The same as whole seconds since 1970 as if UTC, quickly for the common text form; nullopt for
// a value that is no time.
std::optional<qint64> secondsOf(const QVariant &value);

// "2026-12-07T14:30:05", for JSON; "2026-12-07 14:30:05", as Werte holds it and as SQL compares
// it.
QString isoText(const QDateTime &wallClock);
QString sqlText(const QDateTime &wallClock);

} // namespace WallClock
