#pragma once

#include <QString>
#include <QtGlobal>

#include <map>
#include <optional>
#include <set>
#include <utility>

class QSqlDatabase;
class QVariant;

// The table Stundenwerte: per sensor and hour of Werte's Zeit, the number of rows, the smallest
// and largest MessWert and their sum. An hour is a wall-clock hour (see WallClock): the hour of
// the text, so the hour that repeats when the clocks go back is one hour here as in Werte, and the
// hour that is skipped in spring has no rows. Times are wall-clock seconds since 1970.
namespace Stundenwerte {

struct Figures
{
    qint64 anzahl = 0;
    double minimum = 0;
    double summe = 0;
    double maximum = 0;

    void add(double wert);
    void add(const Figures &other);
    // The same within what adding in another order may change of the sum.
    bool agrees(const Figures &other) const;
};

// By hour (its first second) and sensor, in the table's order.
using Key = std::pair<qint64, qint32>;
using Hours = std::map<Key, Figures>;

constexpr qint64 kHour = 3600;
inline qint64 hourOf(qint64 wallClockSeconds)
{
    return wallClockSeconds - ((wallClockSeconds % kHour) + kHour) % kHour;
}

// Whether the database has the table with its columns.
bool present(QSqlDatabase &db);

// A row of Werte as a driver gives it, counted into hours; a Zeit that is no time or a MessWert
// that is no finite number is left out (it cannot be drawn either).
void count(Hours &hours, qint32 sensor, const QVariant &zeit, const QVariant &wert);

// Adds hours to the figures there, inside the caller's transaction. The empty text, or the
// database's own.
QString add(QSqlDatabase &db, const Hours &hours);

// The smallest or largest Zeit of Werte that is a time, in wall-clock seconds; nullopt for an
// empty Werte or one that cannot be read. The hour of the largest is the open hour: the figures
// hold the hours before it, and it gets its figures once a later hour has begun, so that a store
// writes none (each hour would else rewrite its sensors' figures with every store).
std::optional<qint64> extreme(QSqlDatabase &db, bool smallest);
// The same for the rows before the hour given.
std::optional<qint64> newestBefore(QSqlDatabase &db, qint64 hour);

// Puts what Werte holds for the hours [from, to) in place of the figures that differ, in the
// caller's transaction; an hour without rows in Werte keeps its figures. rows: the rows of Werte
// read, changed: the figures put right. The empty text, or the database's own.
QString reconcile(QSqlDatabase &db, qint64 from, qint64 to, qint64 *rows, qint64 *changed);

// The figures there of these sensors for the hours [from, to).
bool read(QSqlDatabase &db, qint64 from, qint64 to, const std::set<qint32> &sensors, Hours *hours,
          QString *failure);
// Puts figures in place of what stands there for the same hour and sensor.
QString replace(QSqlDatabase &db, const Hours &hours);

} // namespace Stundenwerte
