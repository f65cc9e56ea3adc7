#include "stundenwerte.h"

#include "runtime/wallclock.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <algorithm>
#include <cmath>

namespace {

QString reason(const QSqlQuery &query)
{
    const QSqlError error = query.lastError();
    const QString text = error.databaseText().simplified();
    return text.isEmpty() ? error.text().simplified() : text;
}

QString hourText(qint64 hour)
{
    return WallClock::sqlText(QDateTime::fromSecsSinceEpoch(hour, Qt::UTC));
}

std::optional<double> number(const QVariant &value)
{
    if (value.isNull()) {
        return std::nullopt;
    }
    bool ok = false;
    const double wert = value.toDouble(&ok);
    return ok && std::isfinite(wert) ? std::optional<double>(wert) : std::nullopt;
}

} // namespace

namespace Stundenwerte {

void Figures::add(double wert)
{
    minimum = anzahl == 0 ? wert : std::min(minimum, wert);
    maximum = anzahl == 0 ? wert : std::max(maximum, wert);
    summe += wert;
    ++anzahl;
}

void Figures::add(const Figures &other)
{
    if (other.anzahl == 0) {
        return;
    }
    minimum = anzahl == 0 ? other.minimum : std::min(minimum, other.minimum);
    maximum = anzahl == 0 ? other.maximum : std::max(maximum, other.maximum);
    summe += other.summe;
    anzahl += other.anzahl;
}

bool Figures::agrees(const Figures &other) const
{
    const double scale = std::max({1.0, std::abs(summe), std::abs(other.summe)});
    return anzahl == other.anzahl && minimum == other.minimum && maximum == other.maximum
           && std::abs(summe - other.summe) <= scale * 1e-9;
}

bool present(QSqlDatabase &db)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT * FROM Stundenwerte WHERE 1 = 0"))) {
        return false;
    }
    const QSqlRecord record = query.record();
    for (const char *column : {"Stunde", "SensorNummer", "Anzahl", "Minimum", "Summe", "Maximum"}) {
        if (record.indexOf(QLatin1String(column)) < 0) {
            return false;
        }
    }
    return true;
}

void count(Hours &hours, qint32 sensor, const QVariant &zeit, const QVariant &wert)
{
    const std::optional<qint64> seconds = WallClock::secondsOf(zeit);
    const std::optional<double> value = number(wert);
    if (seconds && value) {
        hours[Key{hourOf(*seconds), sensor}].add(*value);
    }
}

QString add(QSqlDatabase &db, const Hours &hours)
{
    // An update first and an insert where it found nothing: the same statements on every engine
    // (an upsert is spelled differently on each, and not at all through some ODBC drivers).
    QSqlQuery update(db);
    QSqlQuery insert(db);
    if (!update.prepare(
            QStringLiteral("UPDATE Stundenwerte SET Anzahl = Anzahl + ?, Summe = Summe + ?, "
                           "Minimum = CASE WHEN Minimum <= ? THEN Minimum ELSE ? END, "
                           "Maximum = CASE WHEN Maximum >= ? THEN Maximum ELSE ? END "
                           "WHERE Stunde = ? AND SensorNummer = ?"))) {
        return reason(update);
    }
    if (!insert.prepare(QStringLiteral("INSERT INTO Stundenwerte (Stunde, SensorNummer, Anzahl, "
                                       "Minimum, Summe, Maximum) VALUES (?, ?, ?, ?, ?, ?)"))) {
        return reason(insert);
    }
    for (const auto &[key, figures] : hours) {
        const QString stunde = hourText(key.first);
        const QVariantList values{figures.anzahl,  figures.summe,   figures.minimum,
                                  figures.minimum, figures.maximum, figures.maximum,
                                  stunde,          key.second};
        for (int i = 0; i < values.size(); ++i) {
            update.bindValue(i, values.at(i));
        }
        if (!update.exec()) {
            return reason(update);
        }
        if (update.numRowsAffected() > 0) {
            continue;
        }
        const QVariantList row{stunde,          key.second,    figures.anzahl,
                               figures.minimum, figures.summe, figures.maximum};
        for (int i = 0; i < row.size(); ++i) {
            insert.bindValue(i, row.at(i));
        }
        if (!insert.exec()) {
            return reason(insert);
        }
    }
    return {};
}

bool read(QSqlDatabase &db, qint64 from, qint64 to, const std::set<qint32> &sensors, Hours *hours,
          QString *failure)
{
    // Sensor by sensor: on a file keyed by sensor first each is one range of the key, and on one
    // keyed by hour first each is a range of hours, as one statement for all would be.
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT Stunde, Anzahl, Minimum, Summe, Maximum FROM "
                                      "Stundenwerte WHERE SensorNummer = ? AND Stunde >= ? AND "
                                      "Stunde < ?"))) {
        *failure = reason(query);
        return false;
    }
    for (const qint32 sensor : sensors) {
        query.bindValue(0, sensor);
        query.bindValue(1, hourText(from));
        query.bindValue(2, hourText(to));
        if (!query.exec()) {
            *failure = reason(query);
            return false;
        }
        while (query.next()) {
            const std::optional<qint64> stunde = WallClock::secondsOf(query.value(0));
            const std::optional<double> minimum = number(query.value(2));
            const std::optional<double> summe = number(query.value(3));
            const std::optional<double> maximum = number(query.value(4));
            const qint64 anzahl = query.value(1).toLongLong();
            // Whatever else stands there is no figure of an hour: the check puts one in its
            // place.
            if (stunde && minimum && summe && maximum && anzahl > 0) {
                (*hours)[Key{hourOf(*stunde), sensor}] =
                    Figures{anzahl, *minimum, *summe, *maximum};
            }
        }
        query.finish();
    }
    return true;
}

std::optional<qint64> extreme(QSqlDatabase &db, bool smallest)
{
    // A value of another kind (a number in an SQLite file, say) sorts outside the bounds.
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(smallest ? QStringLiteral("SELECT min(Zeit) FROM Werte WHERE Zeit >= ?")
                           : QStringLiteral("SELECT max(Zeit) FROM Werte WHERE Zeit < ?"));
    query.bindValue(0, smallest ? QStringLiteral("1900-01-01 00:00:00")
                                : QStringLiteral("3000-01-01 00:00:00"));
    if (!query.exec() || !query.next()) {
        return std::nullopt;
    }
    return WallClock::secondsOf(query.value(0));
}

std::optional<qint64> newestBefore(QSqlDatabase &db, qint64 hour)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT max(Zeit) FROM Werte WHERE Zeit >= ? AND Zeit < ?"));
    query.bindValue(0, QStringLiteral("1900-01-01 00:00:00"));
    query.bindValue(1, hourText(hour));
    if (!query.exec() || !query.next()) {
        return std::nullopt;
    }
    return WallClock::secondsOf(query.value(0));
}

QString reconcile(QSqlDatabase &db, qint64 from, qint64 to, qint64 *rows, qint64 *changed)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT SensorNummer, Zeit, MessWert FROM Werte WHERE "
                                      "Zeit >= ? AND Zeit < ?"))) {
        return reason(query);
    }
    query.bindValue(0, hourText(from));
    query.bindValue(1, hourText(to));
    if (!query.exec()) {
        return reason(query);
    }
    Hours werte;
    *rows = 0;
    while (query.next()) {
        ++*rows;
        bool sensorOk = false;
        const qint32 sensor = query.value(0).toInt(&sensorOk);
        if (sensorOk) {
            count(werte, sensor, query.value(1), query.value(2));
        }
    }
    query.finish();
    std::set<qint32> sensors;
    for (const auto &entry : werte) {
        sensors.insert(entry.first.second);
    }
    Hours figures;
    QString failure;
    if (!read(db, from, to, sensors, &figures, &failure)) {
        return failure;
    }
    Hours wrong;
    for (const auto &[key, hour] : werte) {
        const auto there = figures.find(key);
        if (there == figures.end() || !there->second.agrees(hour)) {
            wrong.insert({key, hour});
        }
    }
    *changed = qint64(wrong.size());
    return wrong.empty() ? QString() : replace(db, wrong);
}

QString replace(QSqlDatabase &db, const Hours &hours)
{
    QSqlQuery remove(db);
    if (!remove.prepare(
            QStringLiteral("DELETE FROM Stundenwerte WHERE Stunde = ? AND SensorNummer = ?"))) {
        return reason(remove);
    }
    for (const auto &entry : hours) {
        remove.bindValue(0, hourText(entry.first.first));
        remove.bindValue(1, entry.first.second);
        if (!remove.exec()) {
            return reason(remove);
        }
    }
    return add(db, hours);
}

} // namespace Stundenwerte
